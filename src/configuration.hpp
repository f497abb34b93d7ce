// The run configuration of kova_bench: settings shared by every permutation,
// the swept values of each permutation, and their defaults. Plain value types.
#pragma once

#include "kova_optional.hpp"
#include "utility/cpu_core_set.hpp"
#include "utility/sg_configuration.hpp"

#include <kova/mtu.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace kova::bench {

// Step attributes by fully qualified name ("kova_rdma.transport-type").
using attribute_map = std::unordered_map<std::string, std::string>;

namespace configuration {

enum class benchmark_mode : uint8_t {
	throughput = 0,
	bulk_latency = 1,
	precision_latency = 2,
	max_bandwidth = 3,
};

// Each mode's word on the command line and in printed configurations, and its
// name in reports and CSV values.
struct benchmark_mode_names {
	benchmark_mode mode;
	const char *word;
	const char *report_name;
};
inline constexpr benchmark_mode_names benchmark_mode_table[] = {
	{benchmark_mode::throughput, "throughput", "throughput"},
	{benchmark_mode::bulk_latency, "bulk-latency", "bulk_latency"},
	{benchmark_mode::precision_latency, "precision-latency", "precision_latency"},
	{benchmark_mode::max_bandwidth, "max-bandwidth", "max_bandwidth"},
};

// The row of the mode, or null for a value outside the enumeration.
inline const benchmark_mode_names *find_benchmark_mode(benchmark_mode mode)
{
	for (const auto &row : benchmark_mode_table) {
		if (row.mode == mode)
			return &row;
	}
	return nullptr;
}

enum class batch_mode : uint8_t {
	none = 0,
	batch_submit = 1,
	batch_submit_minimal_reports = 2,
};

struct pipeline_configuration {
	struct step_definition {
		std::string name;
		attribute_map attributes;
	};

	std::vector<step_definition> steps;
	bool use_remote_input_buffers = false;
	bool use_remote_output_buffers = false;
	// The histogram has 100 buckets from the lower bound.
	uint64_t latency_bucket_lower_ns = 0;
	uint64_t latency_bucket_width_ns = 0;
};

struct run_limits {
	kova::optional<std::chrono::seconds> max_execution_time;
	kova::optional<uint64_t> max_jobs;
	kova::optional<uint64_t> max_bytes;
};

struct stats_configuration {
	struct csv_configuration {
		kova::optional<std::string> file_name;
		std::vector<std::string> selected_stats;
		std::vector<std::string> deselected_stats; // without the leading '-'
		bool separate_dynamic_values = false;
		bool collect_environment_information = false;
		bool append = false;
	};

	csv_configuration csv; // inactive while the file name is empty
	bool display_poll_result_ratio = false;
};

struct companion_configuration {
	kova::optional<std::string> connection_string;
	kova::optional<std::string> channel_name;
	kova::optional<std::string> representor;
	kova::optional<std::string> address;
	kova::optional<std::string> remote_address; // ssh destination: [user@]address
	kova::optional<std::string> gpu;
	kova::optional<uint16_t> port;
	kova::optional<uint16_t> ssh_port;
	std::string device;
	utility::cpu_core_set core_set;
	uint32_t protocol = 0; // 0 qrv host, 1 qrv dpu, 2 tcp
	bool no_launch = false;
};

struct data_provider_configuration {
	std::string name; // "file", "file-set" or "random-data"
};

// One finding of validation.
struct validation_report {
	std::vector<std::string> option_names; // long names, without dashes
	std::string message;                   // one sentence, no trailing newline
	bool is_error = false;
};

} // namespace configuration

// Everything that cannot vary between permutations.
struct fixed_configuration {
	configuration::companion_configuration companion;
	std::vector<configuration::pipeline_configuration> pipelines;
	attribute_map attributes;
	configuration::run_limits run_limits;
	configuration::data_provider_configuration data_provider;
	configuration::stats_configuration stats;
	std::string device;
	utility::cpu_core_set core_set;
	kova::optional<std::string> representor;
	kova::optional<std::string> input_cwd;
	kova::optional<std::string> output_cwd;
	uint32_t warm_up_jobs = 0;
	uint64_t rt_stats_interval = 0; // milliseconds; 0 when not given
	configuration::benchmark_mode benchmark_mode = configuration::benchmark_mode::throughput;
	kova::optional<std::string> query;
	kova::optional<std::string> gpu;
	bool warnings_as_errors = false;
	bool record_cpu_usage = false;
	bool use_blocking_mode = false;
	configuration::batch_mode batch_mode = configuration::batch_mode::none;
	uint32_t batch_size = 0;
};

// The swept values of one permutation.
struct dynamic_configuration {
	kova::optional<uint32_t> uniform_job_size;
	uint32_t core_count = 0;
	uint32_t threads_per_core = 0;
	attribute_map attributes;
	uint32_t task_pool_size = 0;
	uint32_t job_output_buffer_size = 0; // 0: auto
	uint32_t data_provider_job_count = 0;
	utility::sg_configuration gather_value;
	utility::sg_configuration scatter_value;
	kova::optional<kova_mtu_size> mtu_size;
	kova::optional<uint32_t> send_queue_size;
	kova::optional<uint32_t> receive_queue_size;
	kova::optional<std::string> input_data_file;
};

struct configuration_collection {
	fixed_configuration fixed;
	std::vector<dynamic_configuration> permutations;
};

// Process-wide default records, built on first use.
const fixed_configuration &default_fixed_configuration();
const dynamic_configuration &default_dynamic_configuration();
const configuration_collection &default_configuration_collection_values();

} // namespace kova::bench
