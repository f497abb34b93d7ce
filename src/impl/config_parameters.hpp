// The scratch record that the option handlers fill while the command line is
// parsed, and that the configuration builder then reads. Empty means "not given".
#pragma once

#include "configuration.hpp"
#include "kova_optional.hpp"
#include "utility/sg_configuration.hpp"
#include "utility/sweep_definition.hpp"

#include <kova/mtu.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kova::bench::impl {

struct config_parameters {
	std::unordered_map<std::string, std::string> attributes;
	std::vector<std::vector<std::string>> pipelines; // step names, one list per --pipeline-steps
	kova::optional<uint64_t> run_limit_seconds;
	kova::optional<uint64_t> run_limit_jobs;
	kova::optional<uint64_t> run_limit_bytes;
	kova::optional<std::string> data_provider;
	kova::optional<std::string> data_provider_input_file;
	kova::optional<uint32_t> data_provider_job_count;
	kova::optional<uint32_t> job_output_buffer_size;
	kova::optional<bool> use_remote_input_buffers;
	kova::optional<bool> use_remote_output_buffers;
	kova::optional<std::pair<uint64_t, uint64_t>> latency_bucket_range; // lower bound, width; ns
	std::vector<utility::sweep_definition> sweeps;
	kova::optional<uint32_t> uniform_job_size;
	kova::optional<uint32_t> core_count;
	kova::optional<uint32_t> threads_per_core;
	kova::optional<uint32_t> task_pool_size;
	kova::optional<std::string> device;
	kova::optional<std::string> representor;
	kova::optional<std::string> input_cwd;
	kova::optional<std::string> output_cwd;
	kova::optional<std::string> core_list;
	kova::optional<uint32_t> warm_up_jobs;
	kova::optional<uint64_t> core_mask;
	kova::optional<configuration::benchmark_mode> benchmark_mode;
	kova::optional<bool> warnings_as_errors;
	kova::optional<std::string> csv_output_file;
	std::vector<std::string> csv_stats_selected;
	std::vector<std::string> csv_stats_deselected;
	kova::optional<bool> csv_separate_dynamic_values;
	kova::optional<utility::sg_configuration> gather_value;
	kova::optional<utility::sg_configuration> scatter_value;
	kova::optional<kova_mtu_size> mtu_size;
	kova::optional<uint32_t> send_queue_size;
	kova::optional<uint32_t> receive_queue_size;
	kova::optional<std::string> companion_connection_string;
	kova::optional<std::string> companion_core_list;
	kova::optional<uint32_t> companion_core_mask;
	kova::optional<uint64_t> rt_stats_interval; // milliseconds
	kova::optional<bool> environment_information;
	kova::optional<bool> csv_append_mode;
	kova::optional<bool> record_cpu_usage;
	kova::optional<std::string> query;
	kova::optional<bool> use_blocking_mode;
	kova::optional<bool> display_poll_result_ratio;
	kova::optional<std::string> gpu;
	kova::optional<configuration::batch_mode> batch_mode;
	kova::optional<uint32_t> batch_size;
};

} // namespace kova::bench::impl
