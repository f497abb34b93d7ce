#include "configuration_printer.hpp"

#include "utility/join.hpp"
#include "utility/string_utils.hpp"
#include "utility/value_format.hpp"

#include <sstream>

std::ostream &operator<<(std::ostream &os, std::chrono::seconds duration)
{
	return os << duration.count() << " seconds";
}

namespace kova {

std::ostream &operator<<(std::ostream &os, const kova::optional<std::chrono::seconds> &value)
{
	if (!value.has_value())
		return os << not_configured;
	return ::operator<<(os, *value);
}

std::ostream &operator<<(std::ostream &os, const kova::optional<std::string> &value)
{
	if (!value.has_value())
		return os << not_configured;
	return os << '"' << *value << '"';
}

std::ostream &operator<<(std::ostream &os, const kova::optional<bool> &value)
{
	if (!value.has_value())
		return os << not_configured;
	return os << bench::utility::yorn(*value);
}

} // namespace kova

namespace kova::bench {
namespace {

template <typename T>
std::string number_or_empty(const kova::optional<T> &value)
{
	return value.has_value() ? std::to_string(*value) : std::string{kova::not_configured};
}

std::string join_map(const attribute_map &map)
{
	std::string text;
	for (auto const &[key, value] : map) {
		if (!text.empty())
			text += ", ";
		text += key + ":" + value;
	}
	return text;
}

const std::string pipeline_separator = "\t\t" + std::string(32, '-') + "\n";
const std::string step_separator = "\t\t\t" + std::string(11, '-') + "\n";
const std::string permutation_separator = "\t" + std::string(32, '-') + "\n";

} // namespace

namespace configuration {

std::ostream &operator<<(std::ostream &os, benchmark_mode mode)
{
	if (const auto *row = find_benchmark_mode(mode))
		return os << row->word;
	return os << "UNDEFINED!";
}

std::ostream &operator<<(std::ostream &os, batch_mode mode)
{
	switch (mode) {
	case batch_mode::none:
		return os << "none";
	case batch_mode::batch_submit:
		return os << "batch-submit";
	case batch_mode::batch_submit_minimal_reports:
		return os << "batch-submit-minimal-reports";
	}
	return os << "UNDEFINED!";
}

std::ostream &operator<<(std::ostream &os, const stats_configuration &stats)
{
	using utility::yorn;
	os << "\tCSV output: [\n";
	os << "\t\tFile name: " << stats.csv.file_name << "\n";
	os << "\t\tSelected stats: [" << utility::join(stats.csv.selected_stats, ", ") << "]\n";
	os << "\t\tDeselected stats: [" << utility::join(stats.csv.deselected_stats, ", ") << "]\n";
	os << "\t\tSeparate dynamic values: " << yorn(stats.csv.separate_dynamic_values) << "\n";
	os << "\t\tCollect environment information: " << yorn(stats.csv.collect_environment_information) << "\n";
	os << "\t\tAppend to stats file: " << yorn(stats.csv.append) << "\n";
	os << "\t]\n";
	os << "\tDisplay poll result ratio: " << yorn(stats.display_poll_result_ratio) << "\n";
	return os;
}

std::string to_string(const pipeline_configuration::step_definition &step)
{
	return "\t\t\tname: \"" + step.name + "\"\n\t\t\tattributes: [" + join_map(step.attributes) + "]\n";
}

std::string to_string(const pipeline_configuration &pipeline)
{
	using utility::yorn;
	std::string text = "\t\tSteps: [\n";
	for (std::size_t i = 0; i < pipeline.steps.size(); ++i) {
		if (i != 0)
			text += step_separator;
		text += to_string(pipeline.steps[i]);
	}
	text += "\t\t]\n";
	text += std::string{"\t\tUse remote input buffers: "} + yorn(pipeline.use_remote_input_buffers) + "\n";
	text += std::string{"\t\tUse remote output buffers: "} + yorn(pipeline.use_remote_output_buffers) + "\n";
	text += "\t\tLatency bucket_range: " + std::to_string(pipeline.latency_bucket_lower_ns) + "ns-" +
		std::to_string(pipeline.latency_bucket_lower_ns + 100 * pipeline.latency_bucket_width_ns) + "ns\n";
	return text;
}

} // namespace configuration

std::ostream &operator<<(std::ostream &os, const fixed_configuration &config)
{
	using configuration::operator<<;
	using kova::operator<<;
	using utility::yorn;

	os << "\tAttributes: [" << join_map(config.attributes) << "]\n";
	os << "\tCompanion configuration: [\n";
	os << "\t\tDevice: " << config.companion.device << "\n";
	os << "\t\tRemote IP address: " << config.companion.remote_address << "\n";
	os << "\t\tCore set: " << utility::to_string(config.companion.core_set) << "\n";
	os << "\t]\n";
	os << "\tPipelines: [\n";
	for (std::size_t i = 0; i < config.pipelines.size(); ++i) {
		if (i != 0)
			os << pipeline_separator;
		os << configuration::to_string(config.pipelines[i]);
	}
	os << "\t]\n";
	os << "\tRun limits: [\n";
	os << "\t\tMax execution time: " << config.run_limits.max_execution_time << "\n";
	os << "\t\tMax jobs executed: " << number_or_empty(config.run_limits.max_jobs) << "\n";
	os << "\t\tMax bytes processed: " << number_or_empty(config.run_limits.max_bytes) << "\n";
	os << "\t]\n";
	os << "\tData provider: [\n";
	os << "\t\tName: \"" << config.data_provider.name << "\"\n";
	os << "\t]\n";
	os << "\tDevice: \"" << config.device << "\"\n";
	os << "\tDevice representor: " << config.representor << "\n";
	os << "\tWarm up job count: " << config.warm_up_jobs << "\n";
	os << "\tInput files dir: " << config.input_cwd << "\n";
	os << "\tOutput files dir: " << config.output_cwd << "\n";
	os << "\tCore set: " << utility::to_string(config.core_set) << "\n";
	os << "\tBenchmark mode: " << config.benchmark_mode << "\n";
	os << "\tBatch mode: " << config.batch_mode << "\n";
	os << "\tBatch size: " << config.batch_size << "\n";
	os << "\tWarnings as errors: " << yorn(config.warnings_as_errors) << "\n";
	os << "\tUsing blocking mode: " << yorn(config.use_blocking_mode) << "\n";
	return os << config.stats;
}

std::string to_string(const dynamic_configuration &config)
{
	using kova::operator<<;
	std::ostringstream os;
	os << "\tAttributes: [" << join_map(config.attributes) << "]\n";
	os << "\tUniform job size: " << number_or_empty(config.uniform_job_size) << "\n";
	os << "\tJob output buffer size: " << utility::auto_or_int(config.job_output_buffer_size) << "\n";
	os << "\tCore count: " << config.core_count << "\n";
	os << "\tPer core thread count: " << config.threads_per_core << "\n";
	os << "\tTask pool size: " << config.task_pool_size << "\n";
	os << "\tData provider job count: " << config.data_provider_job_count << "\n";
	os << "\tMTU size: " << (config.mtu_size.has_value() ? ::to_string(*config.mtu_size) : kova::not_configured)
	   << "\n";
	os << "\tSQ depth: " << number_or_empty(config.send_queue_size) << "\n";
	os << "\tRQ depth: " << number_or_empty(config.receive_queue_size) << "\n";
	os << "\tInput data file: " << config.input_data_file << "\n";
	return os.str();
}

std::ostream &operator<<(std::ostream &os, const dynamic_configuration &config)
{
	return os << to_string(config);
}

std::ostream &operator<<(std::ostream &os, const configuration_collection &collection)
{
	os << "KOVA bench configuration\n";
	os << "Static configuration: [\n";
	os << collection.fixed << "\n";
	os << "]\n";
	os << "Test permutations: [\n";
	for (std::size_t i = 0; i < collection.permutations.size(); ++i) {
		if (i != 0)
			os << permutation_separator;
		os << collection.permutations[i];
	}
	return os << "]\n";
}

} // namespace kova::bench
