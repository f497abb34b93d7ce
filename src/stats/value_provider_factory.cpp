#include "stats/value_provider_factory.hpp"

#include "configuration.hpp"
#include "kova_exception.hpp"
#include "stats/sample_order.hpp"
#include "utility/configuration_utils.hpp"
#include "utility/value_format.hpp"

#include <utility>

namespace kova::bench::utility {

template <typename T>
std::string stringify(const T &value);

template <>
std::string stringify<configuration::benchmark_mode>(const configuration::benchmark_mode &mode)
{
	if (const auto *row = configuration::find_benchmark_mode(mode))
		return row->report_name;
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "[BUG] Unknown benchmark mode");
}

template <>
std::string stringify<configuration::batch_mode>(const configuration::batch_mode &mode)
{
	switch (mode) {
	case configuration::batch_mode::none:
		return "none";
	case configuration::batch_mode::batch_submit:
		return "batch-submit";
	case configuration::batch_mode::batch_submit_minimal_reports:
		return "batch-submit-minimal-reports";
	}
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "[BUG] Unknown batch mode");
}

template <>
std::string stringify<cpu_core_set>(const cpu_core_set &core_set)
{
	return to_string(core_set);
}

template <>
std::string stringify<std::chrono::seconds>(const std::chrono::seconds &duration)
{
	return std::to_string(duration.count());
}

} // namespace kova::bench::utility

namespace kova::bench::stats {
namespace {

using utility::stringify;

constexpr uint32_t fixed_flags = value_provider::fixed_config_value;
constexpr uint32_t dynamic_flags = value_provider::dynamic_config_value | value_provider::per_permutation_value;
constexpr uint32_t statistics_flags =
	value_provider::statistics_value | value_provider::per_permutation_value | value_provider::per_thread_value;
constexpr uint32_t per_permutation_statistics_flags =
	value_provider::statistics_value | value_provider::per_permutation_value;

// The erasure-coding attributes reported in the CSV output.
constexpr utility::property_definition kova_ec{0, "kova_ec", nullptr, utility::cfg_value_type::group, 0};
constexpr utility::property_definition kova_ec_matrix_type{0, "matrix_type", &kova_ec, utility::cfg_value_type::string, 0};
constexpr utility::property_definition kova_ec_data_block_count{0, "data_block_count", &kova_ec,
								utility::cfg_value_type::string, 0};
constexpr utility::property_definition kova_ec_redundancy_block_count{0, "redundancy_block_count", &kova_ec,
								      utility::cfg_value_type::string, 0};
constexpr utility::property_definition kova_ec_use_precomputed_matrix{0, "use_precomputed_matrix", &kova_ec,
								      utility::cfg_value_type::string, 0};

std::string flag_text(bool value) { return value ? "1" : "0"; }

template <typename T>
std::string optional_number(const kova::optional<T> &value)
{
	return value.has_value() ? std::to_string(*value) : std::string{};
}

std::string optional_text(const kova::optional<std::string> &value)
{
	return value.has_value() ? *value : std::string{};
}

std::string operation_rate(uint64_t job_count, std::chrono::nanoseconds duration)
{
	return std::to_string(calc_operation_rate(job_count, duration)) + " Operations/s";
}

std::string permutation_count_error(permutation_id id, std::size_t count)
{
	return "[BUG] Tried to get stats for permutation " + std::to_string(id) +
	       " which exceeds permutation count: " + std::to_string(count);
}

struct fixed_cfg_getter {
	std::function<std::string(const fixed_configuration &)> value;

	std::string operator()(const data_store &store, permutation_id /*id*/, const thread_id & /*thread*/) const
	{
		return value(store.get_configuration().fixed);
	}
};

struct dynamic_cfg_getter {
	std::function<std::string(const dynamic_configuration &)> value;

	std::string operator()(const data_store &store, permutation_id id, const thread_id & /*thread*/) const
	{
		auto const &permutations = store.get_configuration().permutations;
		if (id >= permutations.size())
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, permutation_count_error(id, permutations.size()));
		return value(permutations[id]);
	}
};

struct permutation_stats_getter {
	std::function<std::string(const thread_stats &)> value;

	std::string operator()(const data_store &store, permutation_id id, const thread_id &thread) const
	{
		auto const count = store.get_configuration().permutations.size();
		if (id >= count)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, permutation_count_error(id, count));
		auto const &stats = store.get_permutation_stats(id);
		if (!thread.has_value())
			return value(stats.aggregate);
		if (*thread < stats.threads.size())
			return value(stats.threads[*thread]);
		return {};
	}
};

struct fixed_cfg_attribute_getter {
	std::string key;

	explicit fixed_cfg_attribute_getter(const utility::property_definition &attribute)
		: key{utility::fully_qualified_name(attribute)}
	{
	}

	std::string operator()(const data_store &store, permutation_id /*id*/, const thread_id & /*thread*/) const
	{
		auto const &attributes = store.get_configuration().fixed.attributes;
		auto const found = attributes.find(key);
		return found == attributes.end() ? std::string{} : found->second;
	}
};

struct dynamic_cfg_attribute_getter {
	std::string key;

	explicit dynamic_cfg_attribute_getter(const utility::property_definition &attribute)
		: key{utility::fully_qualified_name(attribute)}
	{
	}

	std::string operator()(const data_store &store, permutation_id id, const thread_id & /*thread*/) const
	{
		auto const &permutations = store.get_configuration().permutations;
		if (id >= permutations.size())
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, permutation_count_error(id, permutations.size()));
		auto const &attributes = permutations[id].attributes;
		auto const found = attributes.find(key);
		return found == attributes.end() ? std::string{} : found->second;
	}
};

struct map_value_provider {
	uint32_t flag;
	std::string key;

	std::string operator()(const data_store &store, permutation_id /*id*/, const thread_id & /*thread*/) const
	{
		bool const dpu = flag == value_provider::dpu_environment_value;
		auto const &env = dpu ? store.get_dpu_env() : store.get_host_env();
		auto const found = env.find(key);
		if (found == env.end()) {
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
				   std::string{"[BUG] could not find "} + (dpu ? "DPU" : "HOST") + " env value for : " + key);
		}
		return found->second;
	}
};

// A value of the first pipeline, empty when there is none.
std::function<std::string(const fixed_configuration &)>
first_pipeline(std::function<std::string(const configuration::pipeline_configuration &)> value)
{
	return [value = std::move(value)](const fixed_configuration &cfg) {
		return cfg.pipelines.empty() ? std::string{} : value(cfg.pipelines.front());
	};
}

std::string pipeline_steps(const fixed_configuration &cfg)
{
	std::string text = "[";
	if (!cfg.pipelines.empty()) {
		auto const &steps = cfg.pipelines.front().steps;
		for (std::size_t i = 0; i != steps.size(); ++i) {
			if (i != 0)
				text += ',';
			text += steps[i].name;
		}
	}
	text += ']';
	return text;
}

// Order statistics of the latency samples; "---" without samples.
std::function<std::string(const thread_stats &)>
latency_figure(std::function<uint64_t(const std::vector<uint64_t> &sorted)> figure)
{
	return [figure = std::move(figure)](const thread_stats &stats) {
		if (stats.step.latency_samples.empty())
			return std::string{"---"};
		std::vector<uint64_t> storage;
		return std::to_string(figure(sorted_samples(stats.step.latency_samples, storage)));
	};
}

} // namespace

std::string format_throughput(uint64_t byte_count, std::chrono::nanoseconds duration, utility::byte_unit unit)
{
	return utility::format_double(calc_throughput_rate(byte_count, duration, unit), {3, 3, '0'}) + " " +
	       utility::to_string(unit) + "/s";
}

std::vector<value_provider> make_fixed_configuration_value_providers()
{
	using cfg = fixed_configuration;
	using pipeline = configuration::pipeline_configuration;
	auto fixed = [](std::string id, std::function<std::string(const cfg &)> value) {
		return value_provider{std::move(id), fixed_cfg_getter{std::move(value)}, fixed_flags};
	};
	auto attribute = [](std::string id, const utility::property_definition &definition) {
		return value_provider{std::move(id), fixed_cfg_attribute_getter{definition}, fixed_flags};
	};
	namespace attr = utility::attribute;

	return {
		fixed("cfg.companion.connection_string",
		      [](const cfg &c) { return optional_text(c.companion.connection_string); }),
		fixed("cfg.pipeline.steps", pipeline_steps),
		fixed("cfg.pipeline.use_remote_input_buffers",
		      first_pipeline([](const pipeline &p) { return flag_text(p.use_remote_input_buffers); })),
		fixed("cfg.pipeline.use_remote_output_buffers",
		      first_pipeline([](const pipeline &p) { return flag_text(p.use_remote_output_buffers); })),
		fixed("cfg.pipeline.bulk_latency.lower_bound",
		      first_pipeline([](const pipeline &p) { return std::to_string(p.latency_bucket_lower_ns); })),
		fixed("cfg.pipeline.bulk_latency.bucket_width",
		      first_pipeline([](const pipeline &p) { return std::to_string(p.latency_bucket_width_ns); })),
		fixed("cfg.run_limit.duration",
		      [](const cfg &c) {
			      auto const &limit = c.run_limits.max_execution_time;
			      return limit.has_value() ? stringify(*limit) : std::string{};
		      }),
		fixed("cfg.run_limit.jobs", [](const cfg &c) { return optional_number(c.run_limits.max_jobs); }),
		fixed("cfg.run_limit.bytes", [](const cfg &c) { return optional_number(c.run_limits.max_bytes); }),
		fixed("cfg.data_provider.type", [](const cfg &c) { return c.data_provider.name; }),
		fixed("cfg.device.pci_address", [](const cfg &c) { return c.device; }),
		fixed("cfg.input.cwd", [](const cfg &c) { return optional_text(c.input_cwd); }),
		fixed("cfg.output.cwd", [](const cfg &c) { return optional_text(c.output_cwd); }),
		fixed("cfg.warmup_job_count", [](const cfg &c) { return std::to_string(c.warm_up_jobs); }),
		fixed("cfg.core_set", [](const cfg &c) { return stringify(c.core_set); }),
		fixed("cfg.benchmark_mode", [](const cfg &c) { return stringify(c.benchmark_mode); }),
		fixed("cfg.warnings_are_errors", [](const cfg &c) { return flag_text(c.warnings_as_errors); }),
		fixed("cfg.use_blocking_mode", [](const cfg &c) { return flag_text(c.use_blocking_mode); }),
		fixed("cfg.batch_mode", [](const cfg &c) { return stringify(c.batch_mode); }),
		attribute("cfg.attribute.kova_compress.algorithm", attr::kova_compress_algorithm),
		attribute("cfg.attribute.kova_ec.matrix_type", kova_ec_matrix_type),
		attribute("cfg.attribute.kova_ec.data_block_count", kova_ec_data_block_count),
		attribute("cfg.attribute.kova_ec.redundancy_block_count", kova_ec_redundancy_block_count),
		attribute("cfg.attribute.kova_ec.use_precomputed_matrix", kova_ec_use_precomputed_matrix),
		attribute("cfg.attribute.kova_eth.l3_chksum_offload", attr::kova_eth_l3_chksum_offload),
		attribute("cfg.attribute.kova_eth.l4_chksum_offload", attr::kova_eth_l4_chksum_offload),
		attribute("cfg.attribute.kova_sha.algorithm", attr::kova_sha_algorithm),
	};
}

std::vector<value_provider> make_dynamic_configuration_value_providers()
{
	using cfg = dynamic_configuration;
	auto dynamic = [](std::string id, std::function<std::string(const cfg &)> value) {
		return value_provider{std::move(id), dynamic_cfg_getter{std::move(value)}, dynamic_flags};
	};
	auto attribute = [](std::string id, const utility::property_definition &definition) {
		return value_provider{std::move(id), dynamic_cfg_attribute_getter{definition}, dynamic_flags};
	};
	namespace attr = utility::attribute;

	return {
		dynamic("cfg.uniform_job_size", [](const cfg &c) { return optional_number(c.uniform_job_size); }),
		dynamic("cfg.core_count", [](const cfg &c) { return std::to_string(c.core_count); }),
		dynamic("cfg.per_core_thread_count", [](const cfg &c) { return std::to_string(c.threads_per_core); }),
		dynamic("cfg.task_pool_size", [](const cfg &c) { return std::to_string(c.task_pool_size); }),
		dynamic("cfg.data_provider_job_count", [](const cfg &c) { return std::to_string(c.data_provider_job_count); }),
		dynamic("cfg.gather_config", [](const cfg &c) { return utility::sg_config_info(c.gather_value); }),
		dynamic("cfg.scatter_config", [](const cfg &c) { return utility::sg_config_info(c.scatter_value); }),
		dynamic("cfg.mtu-size",
			[](const cfg &c) { return c.mtu_size.has_value() ? ::to_string(*c.mtu_size) : std::string{}; }),
		dynamic("cfg.send-queue-size", [](const cfg &c) { return optional_number(c.send_queue_size); }),
		dynamic("cfg.receive-queue-size", [](const cfg &c) { return optional_number(c.receive_queue_size); }),
		dynamic("cfg.data-provider-input-file", [](const cfg &c) { return optional_text(c.input_data_file); }),
		attribute("cfg.attribute.mmo.log_qp_depth", attr::zoption_mmo_log_qp_depth),
		attribute("cfg.attribute.mmo.log_num_qps", attr::zoption_mmo_log_num_qps),
	};
}

std::vector<value_provider> make_permutation_stats_value_providers()
{
	auto stat = [](std::string id, std::function<std::string(const thread_stats &)> value,
		       uint32_t flags = statistics_flags) {
		return value_provider{std::move(id), permutation_stats_getter{std::move(value)}, flags};
	};
	constexpr auto gib = utility::byte_unit::Gib;

	return {
		stat("stats.input.job_count", [](const thread_stats &t) { return std::to_string(t.step.enqueued_jobs); }),
		stat("stats.output.job_count", [](const thread_stats &t) { return std::to_string(t.step.dequeued_jobs); }),
		stat("stats.input.byte_count", [](const thread_stats &t) { return std::to_string(t.step.ingress_bytes); }),
		stat("stats.output.byte_count", [](const thread_stats &t) { return std::to_string(t.step.egress_bytes); }),
		stat("stats.input.throughput.bytes",
		     [](const thread_stats &t) { return format_throughput(t.step.ingress_bytes, t.duration, gib); }),
		stat("stats.output.throughput.bytes",
		     [](const thread_stats &t) { return format_throughput(t.step.egress_bytes, t.duration, gib); }),
		stat("stats.input.throughput.rate",
		     [](const thread_stats &t) { return operation_rate(t.step.enqueued_jobs, t.duration); }),
		stat("stats.output.throughput.rate",
		     [](const thread_stats &t) { return operation_rate(t.step.dequeued_jobs, t.duration); }),
		stat("cfg.data_provider.output_buffer_size",
		     [](const thread_stats &t) { return std::to_string(t.max_output_buffer_size); },
		     per_permutation_statistics_flags),
	};
}

std::vector<value_provider> make_permutation_precision_latency_value_providers()
{
	using samples = std::vector<uint64_t>;
	auto stat = [](std::string id, std::function<uint64_t(const samples &)> figure) {
		return value_provider{std::move(id), permutation_stats_getter{latency_figure(std::move(figure))},
				      statistics_flags};
	};
	auto percentile = [](float p) {
		return [p](const samples &v) { return v[percentile_index(v.size(), p)]; };
	};

	return {
		stat("stats.latency.min", [](const samples &v) { return v.front(); }),
		stat("stats.latency.max", [](const samples &v) { return v.back(); }),
		stat("stats.latency.median", [](const samples &v) { return v[v.size() / 2]; }),
		stat("stats.latency.mean",
		     [](const samples &v) {
			     uint64_t sum = 0;
			     for (uint64_t const sample : v)
				     sum += sample;
			     return sum / v.size();
		     }),
		stat("stats.latency.90th %ile", percentile(reported_percentiles[0])),
		stat("stats.latency.95th %ile", percentile(reported_percentiles[1])),
		stat("stats.latency.99th %ile", percentile(reported_percentiles[2])),
		stat("stats.latency.99.9th %ile", percentile(reported_percentiles[3])),
		stat("stats.latency.99.99th %ile", percentile(reported_percentiles[4])),
	};
}

std::vector<value_provider> make_permutation_bulk_latency_value_providers()
{
	std::vector<value_provider> providers;
	providers.reserve(step_stats::latency_bucket_count);
	for (std::size_t bucket = 0; bucket != step_stats::latency_bucket_count; ++bucket) {
		std::size_t const cell = step_stats::histogram_first_bucket_cell + bucket;
		providers.push_back(value_provider{
			"stats.bulk-latency.b[" + std::to_string(bucket) + "]",
			permutation_stats_getter{
				[cell](const thread_stats &t) { return std::to_string(t.step.latency_histogram[cell]); }},
			statistics_flags});
	}
	return providers;
}

std::vector<value_provider> make_environment_value_providers(const std::unordered_map<std::string, std::string> &env,
							     bool dpu)
{
	uint32_t const flag = dpu ? value_provider::dpu_environment_value : value_provider::host_environment_value;
	std::vector<value_provider> providers;
	providers.reserve(env.size());
	for (auto const &entry : env)
		providers.push_back(value_provider{entry.first, map_value_provider{flag, entry.first}, flag});
	return providers;
}

} // namespace kova::bench::stats
