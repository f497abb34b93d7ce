// Value handlers of the kova_bench options: each checks and converts one
// option's value and stores it in the scratch record.
#include "impl/configuration_parser.hpp"

#include "kova_exception.hpp"
#include "utility/byte_unit.hpp"
#include "utility/configuration_utils.hpp"
#include "utility/string_utils.hpp"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string>

namespace kova::bench::impl {

namespace {

uint32_t non_negative(const int *value, const char *option)
{
	utility::throw_if_value_is_negative(value, option);
	return static_cast<uint32_t>(*value);
}

// Negative means written with a leading '-'; a large number is not negative.
bool is_negative_text(const char *text)
{
	while (std::isspace(static_cast<unsigned char>(*text)) != 0)
		++text;
	return *text == '-';
}

void throw_if_text_is_negative(const char *text, const std::string &option)
{
	if (is_negative_text(text))
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid value for " + option + ". Value may not be negative");
}

[[noreturn]] void throw_too_large(const std::string &option, const std::string &text)
{
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid value for " + option + ". Value is too large: \"" + text + "\"");
}

// A key or value written between double quotes loses them.
std::string unquote(std::string text)
{
	if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
		return text.substr(1, text.size() - 2);
	return text;
}

std::pair<std::string, std::string> parse_key_value_pair(const std::string &text)
{
	auto const eq = text.find('=');
	if (eq == std::string::npos)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, kova_error_get_descr(KOVA_ERROR_INVALID_VALUE));
	return {unquote(utility::trim(text.substr(0, eq))), unquote(utility::trim(text.substr(eq + 1)))};
}

// One "<number><n|u|m>s" part of a latency bucket range in nanoseconds, or
// empty when malformed; `rest` moves past the "s".
kova::optional<uint64_t> parse_latency_part(const char *&rest)
{
	throw_if_text_is_negative(rest, "latency-bucket-range");
	errno = 0;
	char *end = nullptr;
	unsigned long long const number = std::strtoull(rest, &end, 10);
	if (errno == ERANGE || end[0] == '\0' || end[1] != 's')
		return {};
	uint64_t scale = 0;
	switch (end[0]) {
	case 'n':
		scale = 1;
		break;
	case 'u':
		scale = 1000;
		break;
	case 'm':
		scale = 1000000;
		break;
	default:
		return {};
	}
	if (number > std::numeric_limits<uint64_t>::max() / scale)
		return {};
	rest = end + 2;
	return uint64_t{number * scale};
}

std::pair<uint64_t, uint64_t> parse_latency_bucket_range(const std::string &text)
{
	const char *rest = text.c_str();
	kova::optional<uint64_t> const lower = parse_latency_part(rest);
	if (!lower.has_value() || *rest != ',')
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid latency bucket range");
	++rest;
	kova::optional<uint64_t> const width = parse_latency_part(rest);
	// The histogram's 100 buckets need a width and must end within 64 bits.
	if (!width.has_value() || *width == 0 || *width > (std::numeric_limits<uint64_t>::max() - *lower) / 100)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid latency bucket range");
	return {*lower, *width};
}

// "<count>" fragments per buffer, or "<number><byte unit>" bytes per fragment.
utility::sg_configuration parse_split_value(const std::string &text, const std::string &option)
{
	throw_if_text_is_negative(text.c_str(), option);
	errno = 0;
	char *end = nullptr;
	unsigned long long const number = std::strtoull(text.c_str(), &end, 10);
	if (errno == ERANGE)
		throw_too_large(option, text);
	if (*end == '\0') {
		if (number > std::numeric_limits<uint32_t>::max())
			throw_too_large(option, text);
		return {static_cast<uint32_t>(number), utility::sg_split_type::count};
	}
	auto const bits = static_cast<uint64_t>(utility::from_string<utility::byte_unit>(end));
	unsigned __int128 const bytes = static_cast<unsigned __int128>(number) * bits / 8;
	if (bytes > std::numeric_limits<uint32_t>::max())
		throw_too_large(option, text);
	return {static_cast<uint32_t>(bytes), utility::sg_split_type::bytes_per_fragment};
}

} // namespace

kova_error set_core_mask(const int *value, config_parameters *config)
{
	config->core_mask = uint64_t{non_negative(value, "core-mask")};
	return KOVA_SUCCESS;
}

kova_error set_core_list(const char *value, config_parameters *config)
{
	config->core_list = std::string{value};
	return KOVA_SUCCESS;
}

kova_error set_core_count(const int *value, config_parameters *config)
{
	config->core_count = non_negative(value, "core-count");
	return KOVA_SUCCESS;
}

kova_error set_threads_per_core(const int *value, config_parameters *config)
{
	config->threads_per_core = non_negative(value, "threads-per-core");
	return KOVA_SUCCESS;
}

kova_error set_pipeline_steps(const char *value, config_parameters *config)
{
	std::vector<std::string> steps = utility::split(value, ",");
	for (auto &step : steps)
		utility::trim(step);
	config->pipelines.push_back(std::move(steps));
	return KOVA_SUCCESS;
}

kova_error set_attribute(const char *value, config_parameters *config)
{
	auto [key, text] = parse_key_value_pair(value);
	config->attributes[key] = std::move(text);
	return KOVA_SUCCESS;
}

kova_error set_uniform_job_size(const int *value, config_parameters *config)
{
	config->uniform_job_size = non_negative(value, "uniform-job-size");
	return KOVA_SUCCESS;
}

kova_error set_job_output_buffer_size(const int *value, config_parameters *config)
{
	config->job_output_buffer_size = non_negative(value, "job-output-buffer-size");
	return KOVA_SUCCESS;
}

kova_error set_warm_up_jobs(const int *value, config_parameters *config)
{
	config->warm_up_jobs = non_negative(value, "warm-up-jobs");
	return KOVA_SUCCESS;
}

kova_error set_task_pool_size(const int *value, config_parameters *config)
{
	config->task_pool_size = non_negative(value, "task-pool-size");
	return KOVA_SUCCESS;
}

kova_error set_data_provider(const char *value, config_parameters *config)
{
	config->data_provider = utility::trim(std::string{value});
	return KOVA_SUCCESS;
}

kova_error set_data_provider_input_file_path(const char *value, config_parameters *config)
{
	config->data_provider_input_file = utility::trim(std::string{value});
	return KOVA_SUCCESS;
}

kova_error set_data_provider_job_count(const int *value, config_parameters *config)
{
	config->data_provider_job_count = non_negative(value, "data-provider-job-count");
	return KOVA_SUCCESS;
}

kova_error set_input_cwd(const char *value, config_parameters *config)
{
	config->input_cwd = utility::trim(std::string{value});
	return KOVA_SUCCESS;
}

kova_error set_output_cwd(const char * /*value*/, config_parameters * /*config*/)
{
	KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "-o --output-cwd is not yet supported");
}

kova_error set_latency_bucket_range(const char *value, config_parameters *config)
{
	config->latency_bucket_range = parse_latency_bucket_range(value);
	return KOVA_SUCCESS;
}

kova_error set_run_limit_seconds(const int *value, config_parameters *config)
{
	config->run_limit_seconds = uint64_t{non_negative(value, "run-limit-seconds")};
	return KOVA_SUCCESS;
}

kova_error set_run_limit_jobs(const int *value, config_parameters *config)
{
	config->run_limit_jobs = uint64_t{non_negative(value, "run-limit-jobs")};
	return KOVA_SUCCESS;
}

kova_error set_run_limit_bytes(const int *value, config_parameters *config)
{
	config->run_limit_bytes = uint64_t{non_negative(value, "run-limit-bytes")};
	return KOVA_SUCCESS;
}

kova_error set_use_remote_input_buffers(const bool *value, config_parameters *config)
{
	config->use_remote_input_buffers = *value;
	return KOVA_SUCCESS;
}

kova_error set_use_remote_output_buffers(const bool *value, config_parameters *config)
{
	config->use_remote_output_buffers = *value;
	return KOVA_SUCCESS;
}

kova_error set_benchmark_mode(const char *value, config_parameters *config)
{
	std::string const word{value};
	for (const auto &row : configuration::benchmark_mode_table) {
		if (word == row.word) {
			config->benchmark_mode = row.mode;
			return KOVA_SUCCESS;
		}
	}
	return KOVA_ERROR_INVALID_VALUE;
}

kova_error add_sweep_value(const char *value, config_parameters *config)
{
	config->sweeps.push_back(utility::sweep_definition_from_string(value));
	return KOVA_SUCCESS;
}

kova_error set_csv_file_name(const char *value, config_parameters *config)
{
	config->csv_output_file = std::string{value};
	return KOVA_SUCCESS;
}

kova_error set_csv_stats(const char *value, config_parameters *config)
{
	for (auto &name : utility::split(value, ",")) {
		if (name.empty())
			continue;
		if (name.front() == '-')
			config->csv_stats_deselected.push_back(name.substr(1));
		else
			config->csv_stats_selected.push_back(std::move(name));
	}
	return KOVA_SUCCESS;
}

kova_error set_csv_separate_dynamic_values(const bool *value, config_parameters *config)
{
	config->csv_separate_dynamic_values = *value;
	return KOVA_SUCCESS;
}

kova_error set_gather_split_value(const char *value, config_parameters *config)
{
	config->gather_value = parse_split_value(value, "gather-value");
	return KOVA_SUCCESS;
}

kova_error set_scatter_split_value(const char *value, config_parameters *config)
{
	config->scatter_value = parse_split_value(value, "scatter-value");
	return KOVA_SUCCESS;
}

kova_error set_mtu_size(const char *value, config_parameters *config)
{
	utility::throw_if_value_is_negative(std::string{value}, "mtu-size");
	config->mtu_size = utility::parse_mtu_size(value);
	return KOVA_SUCCESS;
}

kova_error set_send_queue_size(const int *value, config_parameters *config)
{
	config->send_queue_size = non_negative(value, "send-queue-size");
	return KOVA_SUCCESS;
}

kova_error set_recv_queue_size(const int *value, config_parameters *config)
{
	config->receive_queue_size = non_negative(value, "receive-queue-size");
	return KOVA_SUCCESS;
}

kova_error set_companion_connection_string(const char *value, config_parameters *config)
{
	config->companion_connection_string = std::string{value};
	return KOVA_SUCCESS;
}

kova_error set_companion_core_mask(const int *value, config_parameters *config)
{
	config->companion_core_mask = non_negative(value, "companion-core-mask");
	return KOVA_SUCCESS;
}

kova_error set_companion_core_list(const char *value, config_parameters *config)
{
	utility::throw_if_value_is_negative(std::string{value}, "companion-core-list");
	config->companion_core_list = std::string{value};
	return KOVA_SUCCESS;
}

kova_error set_collect_environment_information(const bool *value, config_parameters *config)
{
	config->environment_information = *value;
	return KOVA_SUCCESS;
}

kova_error set_csv_append_mode(const bool *value, config_parameters *config)
{
	config->csv_append_mode = *value;
	return KOVA_SUCCESS;
}

kova_error set_stats_interval(const int *value, config_parameters *config)
{
	config->rt_stats_interval = uint64_t{non_negative(value, "rt-stats-interval")};
	return KOVA_SUCCESS;
}

kova_error set_device(const char *value, config_parameters *config)
{
	config->device = std::string{value};
	return KOVA_SUCCESS;
}

kova_error set_representor(const char *value, config_parameters *config)
{
	config->representor = std::string{value};
	return KOVA_SUCCESS;
}

kova_error set_query_string(const char *value, config_parameters *config)
{
	config->query = std::string{value};
	return KOVA_SUCCESS;
}

kova_error set_record_cpu_usage(const bool *value, config_parameters *config)
{
	config->record_cpu_usage = *value;
	return KOVA_SUCCESS;
}

kova_error set_use_blocking_mode(const bool *value, config_parameters *config)
{
	config->use_blocking_mode = *value;
	return KOVA_SUCCESS;
}

kova_error set_display_poll_result_ratio(const bool *value, config_parameters *config)
{
	config->display_poll_result_ratio = *value;
	return KOVA_SUCCESS;
}

kova_error set_gpu_addr(const char *value, config_parameters *config)
{
	config->gpu = std::string{value};
	return KOVA_SUCCESS;
}

kova_error set_batch_mode(const char *value, config_parameters *config)
{
	using configuration::batch_mode;
	std::string const word{value};
	if (word == "none")
		config->batch_mode = batch_mode::none;
	else if (word == "batch-submit")
		config->batch_mode = batch_mode::batch_submit;
	else if (word == "batch-submit-minimal-reports")
		config->batch_mode = batch_mode::batch_submit_minimal_reports;
	else
		return KOVA_ERROR_INVALID_VALUE;
	return KOVA_SUCCESS;
}

kova_error set_batch_size(const int *value, config_parameters *config)
{
	utility::throw_if_value_is_negative_or_zero(value, "batch-size");
	config->batch_size = static_cast<uint32_t>(*value);
	return KOVA_SUCCESS;
}

} // namespace kova::bench::impl
