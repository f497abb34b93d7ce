// The command line of kova_bench: its option table, the order in which the
// options are registered, their value handlers and the driver that turns argv
// into a configuration collection.
#pragma once

#include "configuration.hpp"
#include "impl/config_parameters.hpp"
#include "utility/configuration_property.hpp"

#include <kova/error.h>

#include <array>
#include <cstddef>

namespace kova::bench {

// Registers every option, parses argv and builds the configuration. Throws
// kova::exception; the parser's state is released on every way out.
configuration_collection make_configuration_from_cli_args(int argc, char **argv);

namespace impl {

inline constexpr std::size_t option_count = 46;

// The options in table order.
extern const std::array<utility::configuration_property, option_count> option_table;

// Registration order: by the lower-cased first letter of the short name, else
// of the long name; at equal letters an option with a short name goes first;
// two options without short names compare their long names.
bool alpha_by_name_short_then_long(const utility::configuration_property &a, const utility::configuration_property &b);

// The table sorted into registration order.
std::array<utility::configuration_property, option_count> options_in_registration_order();

// Version callback: prints the compiled and the run-time SDK versions and exits with 0.
[[noreturn]] kova_error print_kova_bench_version(void *value, void *config);

// Value handlers, one per option (value, record) -> 0 on success.
kova_error set_core_mask(const int *value, config_parameters *config);
kova_error set_core_list(const char *value, config_parameters *config);
kova_error set_core_count(const int *value, config_parameters *config);
kova_error set_threads_per_core(const int *value, config_parameters *config);
kova_error set_pipeline_steps(const char *value, config_parameters *config);
kova_error set_attribute(const char *value, config_parameters *config);
kova_error set_uniform_job_size(const int *value, config_parameters *config);
kova_error set_job_output_buffer_size(const int *value, config_parameters *config);
kova_error set_warm_up_jobs(const int *value, config_parameters *config);
kova_error set_task_pool_size(const int *value, config_parameters *config);
kova_error set_data_provider(const char *value, config_parameters *config);
kova_error set_data_provider_input_file_path(const char *value, config_parameters *config);
kova_error set_data_provider_job_count(const int *value, config_parameters *config);
kova_error set_input_cwd(const char *value, config_parameters *config);
kova_error set_output_cwd(const char *value, config_parameters *config);
kova_error set_latency_bucket_range(const char *value, config_parameters *config);
kova_error set_run_limit_seconds(const int *value, config_parameters *config);
kova_error set_run_limit_jobs(const int *value, config_parameters *config);
kova_error set_run_limit_bytes(const int *value, config_parameters *config);
kova_error set_use_remote_input_buffers(const bool *value, config_parameters *config);
kova_error set_use_remote_output_buffers(const bool *value, config_parameters *config);
kova_error set_benchmark_mode(const char *value, config_parameters *config);
kova_error add_sweep_value(const char *value, config_parameters *config);
kova_error set_csv_file_name(const char *value, config_parameters *config);
kova_error set_csv_stats(const char *value, config_parameters *config);
kova_error set_csv_separate_dynamic_values(const bool *value, config_parameters *config);
kova_error set_gather_split_value(const char *value, config_parameters *config);
kova_error set_scatter_split_value(const char *value, config_parameters *config);
kova_error set_mtu_size(const char *value, config_parameters *config);
kova_error set_send_queue_size(const int *value, config_parameters *config);
kova_error set_recv_queue_size(const int *value, config_parameters *config);
kova_error set_companion_connection_string(const char *value, config_parameters *config);
kova_error set_companion_core_mask(const int *value, config_parameters *config);
kova_error set_companion_core_list(const char *value, config_parameters *config);
kova_error set_collect_environment_information(const bool *value, config_parameters *config);
kova_error set_csv_append_mode(const bool *value, config_parameters *config);
kova_error set_stats_interval(const int *value, config_parameters *config);
kova_error set_device(const char *value, config_parameters *config);
kova_error set_representor(const char *value, config_parameters *config);
kova_error set_query_string(const char *value, config_parameters *config);
kova_error set_record_cpu_usage(const bool *value, config_parameters *config);
kova_error set_use_blocking_mode(const bool *value, config_parameters *config);
kova_error set_display_poll_result_ratio(const bool *value, config_parameters *config);
kova_error set_gpu_addr(const char *value, config_parameters *config);
kova_error set_batch_mode(const char *value, config_parameters *config);
kova_error set_batch_size(const int *value, config_parameters *config);

} // namespace impl
} // namespace kova::bench
