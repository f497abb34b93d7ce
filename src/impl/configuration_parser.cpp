// The kova_bench command-line driver: registers the options in their order,
// lets the SDK's parser run the handlers and hands the result to the builder.
#include "impl/configuration_parser.hpp"

#include "impl/configuration_builder.hpp"
#include "kova_exception.hpp"
#include "utility/arg_parser.hpp"

#include <kova/version.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace kova::bench {

namespace impl {

namespace {

template <typename Value, kova_error (*Handler)(const Value *, config_parameters *)>
kova_error callback(void *value, void *config)
{
	return Handler(static_cast<const Value *>(value), static_cast<config_parameters *>(config));
}

char lower(char c)
{
	return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

char key(const utility::configuration_property &row)
{
	return lower(row.short_name != nullptr ? row.short_name[0] : row.long_name[0]);
}

utility::argp_callback parser_for_property(const utility::configuration_property &row)
{
	switch (row.id) {
	case 45: return callback<int, set_core_mask>;
	case 57: return callback<char, set_core_list>;
	case 69: return callback<int, set_core_count>;
	case 81: return callback<int, set_threads_per_core>;
	case 93: return callback<char, set_pipeline_steps>;
	case 105: return callback<char, set_attribute>;
	case 141: return callback<int, set_uniform_job_size>;
	case 153: return callback<int, set_job_output_buffer_size>;
	case 166: return callback<int, set_warm_up_jobs>;
	case 178: return callback<int, set_task_pool_size>;
	case 190: return callback<char, set_data_provider>;
	case 202: return callback<char, set_data_provider_input_file_path>;
	case 214: return callback<int, set_data_provider_job_count>;
	case 226: return callback<char, set_input_cwd>;
	case 238: return callback<char, set_output_cwd>;
	case 250: return callback<char, set_latency_bucket_range>;
	case 266: return callback<int, set_run_limit_seconds>;
	case 278: return callback<int, set_run_limit_jobs>;
	case 290: return callback<int, set_run_limit_bytes>;
	case 302: return callback<bool, set_use_remote_input_buffers>;
	case 314: return callback<bool, set_use_remote_output_buffers>;
	case 326: return callback<char, set_benchmark_mode>;
	case 338: return callback<char, add_sweep_value>;
	case 366: return callback<char, set_csv_file_name>;
	case 378: return callback<char, set_csv_stats>;
	case 391: return callback<bool, set_csv_separate_dynamic_values>;
	case 404: return callback<char, set_gather_split_value>;
	case 418: return callback<char, set_scatter_split_value>;
	case 432: return callback<char, set_mtu_size>;
	case 444: return callback<int, set_send_queue_size>;
	case 456: return callback<int, set_recv_queue_size>;
	case 468: return callback<char, set_companion_connection_string>;
	case 483: return callback<int, set_companion_core_mask>;
	case 495: return callback<char, set_companion_core_list>;
	case 507: return callback<bool, set_collect_environment_information>;
	case 519: return callback<bool, set_csv_append_mode>;
	case 531: return callback<int, set_stats_interval>;
	case 117: return callback<char, set_device>;
	case 129: return callback<char, set_representor>;
	case 543: return callback<char, set_query_string>;
	case 554: return callback<bool, set_record_cpu_usage>;
	case 565: return callback<bool, set_use_blocking_mode>;
	case 577: return callback<bool, set_display_poll_result_ratio>;
	case 589: return callback<char, set_gpu_addr>;
	case 601: return callback<char, set_batch_mode>;
	case 613: return callback<int, set_batch_size>;
	default: return nullptr;
	}
}

kova_argp_type argp_type(utility::cfg_value_type type)
{
	switch (type) {
	case utility::cfg_value_type::integer:
		return KOVA_ARGP_TYPE_INT;
	case utility::cfg_value_type::string:
		return KOVA_ARGP_TYPE_STRING;
	case utility::cfg_value_type::boolean:
		return KOVA_ARGP_TYPE_BOOLEAN;
	default:
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "[BUG] Unexpected value type");
	}
}

void register_parameter(const utility::configuration_property &row)
{
	kova_argp_type const type = argp_type(row.value_type);
	utility::argp_callback const handler = parser_for_property(row);
	if (handler == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "[BUG] No parser defined for registered param");
	utility::details::register_kova_argp_arg(type, row.short_name, row.long_name, row.description, handler,
						 row.mandatory != 0, row.multiple != 0);
}

} // namespace

bool alpha_by_name_short_then_long(const utility::configuration_property &a, const utility::configuration_property &b)
{
	bool const a_short = a.short_name != nullptr;
	bool const b_short = b.short_name != nullptr;
	if (a_short && b_short)
		return key(a) < key(b);
	if (a_short)
		return key(a) <= key(b);
	if (b_short)
		return key(a) < key(b);
	const char *x = a.long_name;
	const char *y = b.long_name;
	while (*x != '\0' && *x == *y) {
		++x;
		++y;
	}
	if (*x == '\0' || *y == '\0')
		return *x == '\0' && *y != '\0';
	return lower(*x) < lower(*y);
}

std::array<utility::configuration_property, option_count> options_in_registration_order()
{
	auto rows = option_table;
	// Stable: options with short names that share a first letter keep table order.
	std::stable_sort(rows.begin(), rows.end(), alpha_by_name_short_then_long);
	return rows;
}

kova_error print_kova_bench_version(void * /*value*/, void * /*config*/)
{
	std::printf("KOVA SDK     Version (Compilation): %s\n", KOVA_VERSION_STRING);
	std::printf("KOVA Runtime Version (Runtime):     %s\n", kova_version_runtime());
	std::fflush(stdout);
	std::exit(0);
}

} // namespace impl

configuration_collection make_configuration_from_cli_args(int argc, char **argv)
{
	impl::config_parameters params;
	utility::configuration_parser parser{&params};
	parser.register_version_callback(impl::print_kova_bench_version);
	for (const auto &row : impl::options_in_registration_order())
		impl::register_parameter(row);
	kova_error const result = parser.parse_args(argc, argv);
	if (result != KOVA_SUCCESS)
		KOVA_THROW(result, "Failed to parse cli arguments");
	return impl::configuration_from_config_params(params);
}

} // namespace kova::bench
