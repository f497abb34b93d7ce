// The option table of kova_bench: one row per command-line option, with its
// help text, in table order, and beside it where the option is wired: the
// handler that stores its value in the scratch record and, for an option a
// sweep may name, how a sweep of it sets the permutations.
#include "impl/configuration_parser.hpp"

#include "impl/configuration_values.hpp"
#include "kova_exception.hpp"
#include "utility/configuration_utils.hpp"
#include "utility/string_utils.hpp"

#include <string>
#include <type_traits>

namespace kova::bench::impl {

namespace {

using utility::cfg_value_type;
using utility::configuration_options_group;

constexpr uint8_t not_mandatory = 0;
constexpr uint8_t single = 0;
constexpr uint8_t repeatable = 1;
constexpr uint8_t not_sweepable = 0;
constexpr uint8_t sweepable = 1;

// The type a field holds, or would hold when it is an optional one.
template <typename T>
struct held {
	using type = T;
};
template <typename T>
struct held<kova::optional<T>> {
	using type = T;
};
template <auto Field>
using held_by = typename held<std::remove_cvref_t<decltype(std::declval<config_parameters &>().*Field)>>::type;

// Handlers shared by options of one kind; the value's type follows the row's value type.

// Integer: not negative, widened to the field.
template <auto Field>
kova_error non_negative(const void *value, config_parameters &config, const char *option)
{
	auto const *number = static_cast<const int *>(value);
	utility::throw_if_value_is_negative(number, option);
	config.*Field = static_cast<held_by<Field>>(static_cast<uint32_t>(*number));
	return KOVA_SUCCESS;
}

// Integer: at least 1.
template <auto Field>
kova_error at_least_one(const void *value, config_parameters &config, const char *option)
{
	auto const *number = static_cast<const int *>(value);
	utility::throw_if_value_is_negative_or_zero(number, option);
	config.*Field = static_cast<held_by<Field>>(*number);
	return KOVA_SUCCESS;
}

// Text stored as given.
template <auto Field>
kova_error as_given(const void *value, config_parameters &config, const char * /*option*/)
{
	config.*Field = std::string{static_cast<const char *>(value)};
	return KOVA_SUCCESS;
}

// Text stored trimmed.
template <auto Field>
kova_error trimmed(const void *value, config_parameters &config, const char * /*option*/)
{
	config.*Field = utility::trim(std::string{static_cast<const char *>(value)});
	return KOVA_SUCCESS;
}

// Boolean stored as the parser passes it.
template <auto Field>
kova_error flag(const void *value, config_parameters &config, const char * /*option*/)
{
	config.*Field = *static_cast<const bool *>(value);
	return KOVA_SUCCESS;
}

// "<count>" or "<number><byte unit>": a gather or scatter split.
template <auto Field>
kova_error split_value(const void *value, config_parameters &config, const char *option)
{
	config.*Field = parse_split_value(static_cast<const char *>(value), option);
	return KOVA_SUCCESS;
}

// Handlers of one option each.

kova_error set_pipeline_steps(const void *value, config_parameters &config, const char * /*option*/)
{
	std::vector<std::string> steps = utility::split(static_cast<const char *>(value), ",");
	for (auto &step : steps)
		utility::trim(step);
	config.pipelines.push_back(std::move(steps));
	return KOVA_SUCCESS;
}

kova_error set_attribute(const void *value, config_parameters &config, const char * /*option*/)
{
	auto [key, text] = parse_key_value_pair(static_cast<const char *>(value));
	config.attributes[key] = std::move(text);
	return KOVA_SUCCESS;
}

kova_error set_output_cwd(const void * /*value*/, config_parameters & /*config*/, const char * /*option*/)
{
	KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "-o --output-cwd is not yet supported");
}

kova_error set_latency_bucket_range(const void *value, config_parameters &config, const char * /*option*/)
{
	config.latency_bucket_range = parse_latency_bucket_range(static_cast<const char *>(value));
	return KOVA_SUCCESS;
}

// A word of the mode table; any other leaves the field and returns KOVA_ERROR_INVALID_VALUE.
kova_error set_benchmark_mode(const void *value, config_parameters &config, const char * /*option*/)
{
	std::string const word{static_cast<const char *>(value)};
	for (const auto &row : configuration::benchmark_mode_table) {
		if (word == row.word) {
			config.benchmark_mode = row.mode;
			return KOVA_SUCCESS;
		}
	}
	return KOVA_ERROR_INVALID_VALUE;
}

kova_error add_sweep_value(const void *value, config_parameters &config, const char * /*option*/)
{
	config.sweeps.push_back(utility::sweep_definition_from_string(static_cast<const char *>(value)));
	return KOVA_SUCCESS;
}

// Names, each selected or, after a leading '-', deselected.
kova_error set_csv_stats(const void *value, config_parameters &config, const char * /*option*/)
{
	for (auto &name : utility::split(static_cast<const char *>(value), ",")) {
		if (name.empty())
			continue;
		if (name.front() == '-')
			config.csv_stats_deselected.push_back(name.substr(1));
		else
			config.csv_stats_selected.push_back(std::move(name));
	}
	return KOVA_SUCCESS;
}

kova_error set_mtu_size(const void *value, config_parameters &config, const char *option)
{
	std::string const text{static_cast<const char *>(value)};
	utility::throw_if_value_is_negative(text, option);
	config.mtu_size = utility::parse_mtu_size(text);
	return KOVA_SUCCESS;
}

kova_error set_companion_core_list(const void *value, config_parameters &config, const char *option)
{
	std::string const text{static_cast<const char *>(value)};
	utility::throw_if_value_is_negative(text, option);
	config.companion_core_list = text;
	return KOVA_SUCCESS;
}

// Any other word returns KOVA_ERROR_INVALID_VALUE.
kova_error set_batch_mode(const void *value, config_parameters &config, const char * /*option*/)
{
	using configuration::batch_mode;
	std::string const word{static_cast<const char *>(value)};
	if (word == "none")
		config.batch_mode = batch_mode::none;
	else if (word == "batch-submit")
		config.batch_mode = batch_mode::batch_submit;
	else if (word == "batch-submit-minimal-reports")
		config.batch_mode = batch_mode::batch_submit_minimal_reports;
	else
		return KOVA_ERROR_INVALID_VALUE;
	return KOVA_SUCCESS;
}

// Sweep setters: the swept value is read through the view of the field's kind.
template <auto Field>
void apply_swept(dynamic_configuration &permutation, const utility::sweep_definition &sweep, uint32_t index)
{
	using value_type = typename held<std::remove_cvref_t<decltype(permutation.*Field)>>::type;
	const std::string &name = sweep.get_property_name();
	if constexpr (std::is_same_v<value_type, utility::sg_configuration>)
		permutation.*Field = require_view(sweep.get_sg_config_view(), name)->get_nth_value(index);
	else if constexpr (std::is_same_v<value_type, std::string>)
		permutation.*Field = require_view(sweep.get_string_view(), name)->get_nth_value(index);
	else
		permutation.*Field = require_view(sweep.get_numeric_view(), name)->get_nth_value(index);
}

// An MTU size sweep's values are MTU words, whatever the sweep's store.
void apply_mtu_size(dynamic_configuration &permutation, const utility::sweep_definition &sweep, uint32_t index)
{
	permutation.mtu_size = utility::parse_mtu_size(sweep_value_text(sweep, index));
}

template <auto Field>
bool given(const config_parameters &config)
{
	return (config.*Field).has_value();
}

constexpr sweep_wiring not_swept{};

// Swept into the permutation's field; a plain value of the option is refused with the sweep.
template <auto Plain, auto Field>
constexpr sweep_wiring swept{apply_swept<Field>, given<Plain>};

// Swept into the permutation's field; the swept value replaces a plain one.
template <auto Field>
constexpr sweep_wiring swept_over{apply_swept<Field>, nullptr};

} // namespace

const std::array<option_row, option_count> option_table{{
	{{45, "core-mask", &configuration_options_group, cfg_value_type::integer, "c",
		"Hexadecimal core mask specifying which cores to use for data path activities (default: 0x1)",
		not_mandatory, single, not_sweepable},
		non_negative<&config_parameters::core_mask>, not_swept},
	{{57, "core-list", &configuration_options_group, cfg_value_type::string, nullptr,
		"List of cores to use for data path activities. EG 1-6,9,0xF",
		not_mandatory, single, not_sweepable},
		as_given<&config_parameters::core_list>, not_swept},
	{{69, "core-count", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Specify the maximum number of cores to use",
		not_mandatory, single, sweepable},
		non_negative<&config_parameters::core_count>,
		swept<&config_parameters::core_count, &dynamic_configuration::core_count>},
	{{81, "threads-per-core", &configuration_options_group, cfg_value_type::integer, "t",
		"Specify the number of data path execution threads to run on each core (default: 1)",
		not_mandatory, single, sweepable},
		non_negative<&config_parameters::threads_per_core>,
		swept<&config_parameters::threads_per_core, &dynamic_configuration::threads_per_core>},
	{{93, "pipeline-steps", &configuration_options_group, cfg_value_type::string, nullptr,
		"Provide a comma separated list of step names that defines the data path pipeline steps",
		not_mandatory, repeatable, not_sweepable},
		set_pipeline_steps, not_swept},
	{{105, "attribute", &configuration_options_group, cfg_value_type::string, "a",
		"Specify an attribute which can be substituted into any config file",
		not_mandatory, repeatable, not_sweepable},
		set_attribute, not_swept},
	{{141, "uniform-job-size", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Specify the size of job that will be produced by a uniform data provider. Not applicable for all data providers",
		not_mandatory, single, sweepable},
		non_negative<&config_parameters::uniform_job_size>,
		swept<&config_parameters::uniform_job_size, &dynamic_configuration::uniform_job_size>},
	{{153, "job-output-buffer-size", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Some steps will create a new data from their input, the size of this data is non deterministic and must be determined by\n"
		"                                    the user. Default 16KiB",
		not_mandatory, single, not_sweepable},
		non_negative<&config_parameters::job_output_buffer_size>, not_swept},
	{{166, "warm-up-jobs", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Specify the number of jobs to discard at the start of the benchmark to warm up caches before measuring performance",
		not_mandatory, single, not_sweepable},
		non_negative<&config_parameters::warm_up_jobs>, not_swept},
	{{178, "task-pool-size", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Specify the size of task pools used on the data path (default: 1024)",
		not_mandatory, single, sweepable},
		non_negative<&config_parameters::task_pool_size>,
		swept<&config_parameters::task_pool_size, &dynamic_configuration::task_pool_size>},
	{{190, "data-provider", &configuration_options_group, cfg_value_type::string, "I",
		"Specify the input data provider to use",
		not_mandatory, single, not_sweepable},
		trimmed<&config_parameters::data_provider>, not_swept},
	// Not listed as sweepable, yet a --sweep of it (a list of files) reaches the permutations.
	{{202, "data-provider-input-file", &configuration_options_group, cfg_value_type::string, nullptr,
		"Specify a file which a data provider can use to produce job data",
		not_mandatory, single, not_sweepable},
		trimmed<&config_parameters::data_provider_input_file>,
		swept<&config_parameters::data_provider_input_file, &dynamic_configuration::input_data_file>},
	{{214, "data-provider-job-count", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Specify the number of jobs the data provider should produce. Each working thread will get a unique copy of these jobs",
		not_mandatory, single, sweepable},
		non_negative<&config_parameters::data_provider_job_count>,
		swept_over<&dynamic_configuration::data_provider_job_count>},
	{{226, "input-cwd", &configuration_options_group, cfg_value_type::string, "i",
		"Specify the path to use as the current working directory when loading files from disk",
		not_mandatory, single, not_sweepable},
		trimmed<&config_parameters::input_cwd>, not_swept},
	{{238, "output-cwd", &configuration_options_group, cfg_value_type::string, "o",
		"Specify the path to use as the current working directory when saving files to disk",
		not_mandatory, single, not_sweepable},
		set_output_cwd, not_swept},
	{{250, "latency-bucket-range", &configuration_options_group, cfg_value_type::string, nullptr,
		"<lower_bound><unit>,<bucket_width><unit> Lower bound and bucket width for latency measurements (default 1ms,10ms)\n"
		"                                      <lower_bound>     Start value for latency buckets, all values less than this value will go to the lowest bucket\n"
		"                                      <bucket_width>    Width of each bucket\n"
		"                                      <unit>            ms, us or ns for milliseconds, microseconds and nanoseconds respectively\n"
		"                                    All parts must be specified together including the comma separator and not contain any whitespace.",
		not_mandatory, single, not_sweepable},
		set_latency_bucket_range, not_swept},
	{{266, "run-limit-seconds", &configuration_options_group, cfg_value_type::integer, "s",
		"Terminate execution after N seconds",
		not_mandatory, single, not_sweepable},
		non_negative<&config_parameters::run_limit_seconds>, not_swept},
	{{278, "run-limit-jobs", &configuration_options_group, cfg_value_type::integer, "J",
		"Terminate execution after N jobs",
		not_mandatory, single, not_sweepable},
		non_negative<&config_parameters::run_limit_jobs>, not_swept},
	{{290, "run-limit-bytes", &configuration_options_group, cfg_value_type::integer, "b",
		"Terminate execution after N bytes",
		not_mandatory, single, not_sweepable},
		non_negative<&config_parameters::run_limit_bytes>, not_swept},
	{{302, "use-remote-input-buffers", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Use remote memory as the source for input buffers",
		not_mandatory, single, not_sweepable},
		flag<&config_parameters::use_remote_input_buffers>, not_swept},
	{{314, "use-remote-output-buffers", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Use remote memory as the destination for output buffers",
		not_mandatory, single, not_sweepable},
		flag<&config_parameters::use_remote_output_buffers>, not_swept},
	{{326, "mode", &configuration_options_group, cfg_value_type::string, nullptr,
		"Set the benchmark mode. Can be one of: throughput, bulk-latency, precision-latency (default: throughput)",
		not_mandatory, repeatable, not_sweepable},
		set_benchmark_mode, not_swept},
	{{338, "sweep", &configuration_options_group, cfg_value_type::string, nullptr,
		"<property-name>,<initial_value><unit>,<final_value><unit>,<increment_type><increment_value><unit> Repeat the benchmark for\n"
		"                                    each value in a given range of values. Value is increased at the end of each run so the normal run limits can be used to\n"
		"                                    control how long each sub test takes\n"
		"                                      <property-name>    Name of the property to sweep. Use --query sweep-properties to get a detailed list of sweep enabled\n"
		"                                                         properties\n"
		"                                      <initial_value>    First value to use for the sweep test\n"
		"                                      <unit>             Optional scaling unit such as k|KiB|m|MeB|g|GiB to specify kilobytes, kibibytes, megabytes, mebibytes,\n"
		"                                                         gigabytes or gibibytes\n"
		"                                      <final_value>      Maximum value to use for the sweep test (inclusive, as long as initial_value increased by increment\n"
		"                                                         produces this value)\n"
		"                                      <unit>             Optional scaling unit such as k|KiB|m|MeB|g|GiB to specify kilobytes, kibibytes, megabytes, mebibytes,\n"
		"                                                         gigabytes or gibibytes\n"
		"                                      <increment_type>   How should the value be incremented supported values are + and * meaning add the increment value or\n"
		"                                                         multiply by the increment value\n"
		"                                      <increment_value>  How much to increment the sweeped value by between each iteration\n"
		"                                      <unit>             Optional scaling unit such as k|KiB|m|MeB|g|GiB to specify kilobytes, kibibytes, megabytes, mebibytes,\n"
		"                                                         gigabytes or gibibytes",
		not_mandatory, repeatable, not_sweepable},
		add_sweep_value, not_swept},
	{{366, "csv-output-file", &configuration_options_group, cfg_value_type::string, nullptr,
		"Provide a filename to enable the stats to be emitted into a CSV file.",
		not_mandatory, single, not_sweepable},
		as_given<&config_parameters::csv_output_file>, not_swept},
	{{378, "csv-stats", &configuration_options_group, cfg_value_type::string, nullptr,
		"A comma separated list of stats names to include in the csv output, wild cards are supported to select groups of stats,\n"
		"                                    negations are allowed to omit specific stats",
		not_mandatory, single, not_sweepable},
		set_csv_stats, not_swept},
	{{391, "csv-separate-dynamic-values", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Create a non standard CSV which separates the fixed configuration values that do not change per permutation into a\n"
		"                                    distinct block at the top of the file",
		not_mandatory, single, not_sweepable},
		flag<&config_parameters::csv_separate_dynamic_values>, not_swept},
	{{404, "gather-value", &configuration_options_group, cfg_value_type::string, nullptr,
		"<value><unit> Gather value for buffer split, optional unit\n"
		"                                      <value>    Gather value for buffer split\n"
		"                                      <unit>     KB, MB or B for kilobytes, megabytes and bytes respectively",
		not_mandatory, single, sweepable},
		split_value<&config_parameters::gather_value>,
		swept<&config_parameters::gather_value, &dynamic_configuration::gather_value>},
	{{418, "scatter-value", &configuration_options_group, cfg_value_type::string, nullptr,
		"<value><unit> Scatter value for buffer split, optional unit\n"
		"                                      <value>    Scatter value for buffer split\n"
		"                                      <unit>     KB, MB or B for kilobytes, megabytes and bytes respectively",
		not_mandatory, single, sweepable},
		split_value<&config_parameters::scatter_value>,
		swept_over<&dynamic_configuration::scatter_value>},
	{{432, "mtu-size", &configuration_options_group, cfg_value_type::string, nullptr,
		"The mtu size type. Valid values are: 256B, 512B, 1KB, 2KB, 4KB, raw_eth.",
		not_mandatory, single, sweepable},
		set_mtu_size, sweep_wiring{apply_mtu_size, given<&config_parameters::mtu_size>}},
	{{444, "send-queue-size", &configuration_options_group, cfg_value_type::integer, nullptr,
		"The size of the send queue.",
		not_mandatory, single, sweepable},
		non_negative<&config_parameters::send_queue_size>,
		swept<&config_parameters::send_queue_size, &dynamic_configuration::send_queue_size>},
	{{456, "receive-queue-size", &configuration_options_group, cfg_value_type::integer, nullptr,
		"The size of the receive queue.",
		not_mandatory, single, sweepable},
		non_negative<&config_parameters::receive_queue_size>,
		swept<&config_parameters::receive_queue_size, &dynamic_configuration::receive_queue_size>},
	{{468, "companion-connection-string", &configuration_options_group, cfg_value_type::string, nullptr,
		"Specify all the values required to connect to the companion in argument. Examples:\n"
		"                                      proto=tcp,port=12345,addr=172.17.0.1,dev=3b:00.0\n"
		"                                      proto=qrv,mode=dpu,user=root,addr=172.17.0.1,dev=03:00.0,rep=3b:00.0\n"
		"                                      proto=qrv,mode=host,user=root,addr=172.17.0.1,dev=3b:00.0",
		not_mandatory, single, not_sweepable},
		as_given<&config_parameters::companion_connection_string>, not_swept},
	{{483, "companion-core-mask", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Specify the CPU cores the companion can use as a core mask.",
		not_mandatory, single, not_sweepable},
		non_negative<&config_parameters::companion_core_mask>, not_swept},
	{{495, "companion-core-list", &configuration_options_group, cfg_value_type::string, nullptr,
		"Specify the CPU cores the companion can use as a core list.",
		not_mandatory, single, not_sweepable},
		set_companion_core_list, not_swept},
	{{507, "enable-environment-information", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Enable environment information collection.",
		not_mandatory, single, not_sweepable},
		flag<&config_parameters::environment_information>, not_swept},
	{{519, "csv-append-mode", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Append the csv output data to the file if it already exists",
		not_mandatory, single, not_sweepable},
		flag<&config_parameters::csv_append_mode>, not_swept},
	{{531, "rt-stats-interval", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Display the current stats every N milliseconds",
		not_mandatory, single, not_sweepable},
		non_negative<&config_parameters::rt_stats_interval>, not_swept},
	{{117, "device", &configuration_options_group, cfg_value_type::string, "A",
		"Specify the Brixel device to use",
		not_mandatory, single, not_sweepable},
		as_given<&config_parameters::device>, not_swept},
	{{129, "representor", &configuration_options_group, cfg_value_type::string, "R",
		"Specify the Brixel device representor to use",
		not_mandatory, single, not_sweepable},
		as_given<&config_parameters::representor>, not_swept},
	{{543, "query", &configuration_options_group, cfg_value_type::string, nullptr,
		"Get capabilities of the device",
		not_mandatory, single, not_sweepable},
		as_given<&config_parameters::query>, not_swept},
	{{554, "record-cpu-usage", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Record CPU Usage statistics",
		not_mandatory, single, not_sweepable},
		flag<&config_parameters::record_cpu_usage>, not_swept},
	{{565, "use-blocking-mode", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Use an event driven mechanism to reduce polling CPU overhead",
		not_mandatory, single, not_sweepable},
		flag<&config_parameters::use_blocking_mode>, not_swept},
	{{577, "display-poll-result-ratio", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Display the ratio of polls which had a task result to the number that did not",
		not_mandatory, single, not_sweepable},
		flag<&config_parameters::display_poll_result_ratio>, not_swept},
	{{589, "gpu", &configuration_options_group, cfg_value_type::string, "G",
		"Specify the GPU device to use",
		not_mandatory, single, not_sweepable},
		as_given<&config_parameters::gpu>, not_swept},
	{{601, "batch-mode", &configuration_options_group, cfg_value_type::string, nullptr,
		"Set the batch mode. Can be one of: none, batch-submit, batch-submit-minimal-reports (default: none)",
		not_mandatory, single, not_sweepable},
		set_batch_mode, not_swept},
	{{613, "batch-size", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Specify the number of jobs to be included in a batch before ringing the doorbell",
		not_mandatory, single, not_sweepable},
		at_least_one<&config_parameters::batch_size>, not_swept},
}};

} // namespace kova::bench::impl
