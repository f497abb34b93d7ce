#include "configuration_validation.hpp"

#include <string>

namespace kova::bench {
namespace {

using configuration::validation_report;

void add_error(std::vector<validation_report> &reports, std::vector<std::string> names, std::string message)
{
	reports.push_back(validation_report{std::move(names), std::move(message), true});
}

void validate(const fixed_configuration &fixed, const dynamic_configuration &dynamic,
	      std::vector<validation_report> &reports)
{
	auto const core_capacity = fixed.core_set.cores.size();
	if (core_capacity < dynamic.core_count) {
		add_error(reports, {"core-mask", "core-count"},
			  "Iteration core count: " + std::to_string(dynamic.core_count) +
				  " exceeds core mask or core list capacity: " + std::to_string(core_capacity));
	}
	// A permutation without cores would start no worker thread at all.
	if (dynamic.core_count == 0)
		add_error(reports, {"core-count"}, "Iteration core count must not be zero");
	if (dynamic.task_pool_size == 0)
		add_error(reports, {"task-pool-size"}, "Iteration task pool size must not be zero");
	if (dynamic.data_provider_job_count == 0)
		add_error(reports, {"data-provider-job-count"}, "Iteration data provider job count must not be zero");
	if (dynamic.threads_per_core == 0)
		add_error(reports, {"threads-per-core"}, "Iteration number of threads per core must not be zero");
	if (dynamic.job_output_buffer_size != 0 && dynamic.uniform_job_size.has_value() &&
	    dynamic.job_output_buffer_size < *dynamic.uniform_job_size) {
		add_error(reports, {"uniform-job-size", "job-output-buffer-size"},
			  "Iteration uniform job size must not exceed output buffer size");
	}
	if (dynamic.gather_value.value == 0)
		add_error(reports, {"gather-value"}, "Gather value must not be zero");
	if (dynamic.scatter_value.value == 0)
		add_error(reports, {"scatter-value"}, "Scatter value must not be zero");
}

} // namespace

std::vector<validation_report> validate(const configuration_collection &collection)
{
	using configuration::batch_mode;
	using configuration::benchmark_mode;

	std::vector<validation_report> reports;
	auto const &fixed = collection.fixed;
	if (fixed.query.has_value())
		return reports;

	if (fixed.device.empty() && (!fixed.gpu.has_value() || fixed.gpu->empty()))
		add_error(reports, {"device"}, "Device must be provided");
	if (fixed.pipelines.empty())
		add_error(reports, {"pipeline-steps"}, "Step name(s) must be provided");
	if (fixed.data_provider.name.empty())
		add_error(reports, {"data-provider"}, "Data provider name must be provided");
	auto const &limits = fixed.run_limits;
	if (!limits.max_bytes.has_value() && !limits.max_execution_time.has_value() && !limits.max_jobs.has_value()) {
		add_error(reports, {"run-limit-bytes", "run-limit-seconds", "run-limit-jobs"},
			  "At least one run limit must be provided");
	}
	if (fixed.core_set.cores.empty())
		add_error(reports, {"core-mask"}, "Core mask or core list must contain at least one CPU core");
	if (fixed.companion.port.has_value() && !fixed.companion.address.has_value())
		add_error(reports, {"companion-connection-string"}, "TCP address not provided");
	if (limits.max_execution_time.has_value() && fixed.benchmark_mode == benchmark_mode::precision_latency)
		add_error(reports, {"run-limit-seconds"}, "A run-limit-seconds value cannot be used with precision latency mode.");
	// Precision latency counts jobs only: a byte limit would fail the run after its set-up.
	if (limits.max_bytes.has_value() && fixed.benchmark_mode == benchmark_mode::precision_latency)
		add_error(reports, {"run-limit-bytes"}, "A run-limit-bytes value cannot be used with precision latency mode.");
	if (fixed.batch_mode != batch_mode::none && fixed.benchmark_mode != benchmark_mode::throughput)
		add_error(reports, {"mode"}, "Batch mode only supported in throughput mode");
	// A batch of size 0 would never ring the doorbell.
	if (fixed.batch_mode != batch_mode::none && fixed.batch_size == 0)
		add_error(reports, {"batch-mode", "batch-size"}, "Batch size must be provided when a batch mode is used");

	for (auto const &permutation : collection.permutations)
		validate(fixed, permutation, reports);

	if (!fixed.companion.connection_string.has_value() || fixed.companion.connection_string->empty()) {
		for (auto const &pipeline : fixed.pipelines) {
			if (pipeline.use_remote_input_buffers) {
				add_error(reports, {"use-remote-input-buffers", "companion-connection-string"},
					  "Remote input buffers requested but no companion connection string was provided");
			}
			if (pipeline.use_remote_output_buffers) {
				add_error(reports, {"use-remote-output-buffers", "companion-connection-string"},
					  "Remote output buffers requested but no companion connection string was provided");
			}
		}
	}
	return reports;
}

} // namespace kova::bench
