// Tests for configuration_validation.
#include "configuration_validation.hpp"

#include <gtest/gtest.h>

#include <functional>

using namespace kova::bench;
using configuration::validation_report;

namespace {

configuration_collection valid_collection()
{
	configuration_collection c;
	c.fixed.device = "03:00.0";
	c.fixed.pipelines.push_back({{{"kova_dma", {}}}, false, false, 10000, 1000});
	c.fixed.data_provider.name = "random-data";
	c.fixed.run_limits.max_jobs = 100;
	c.fixed.core_set.cores = {0, 1};
	dynamic_configuration d;
	d.core_count = 2;
	d.threads_per_core = 1;
	d.task_pool_size = 1024;
	d.data_provider_job_count = 64;
	d.gather_value = {1, utility::sg_split_type::count};
	d.scatter_value = {1, utility::sg_split_type::count};
	c.permutations.push_back(d);
	return c;
}

std::vector<std::string> messages(const std::vector<validation_report> &reports)
{
	std::vector<std::string> out;
	for (auto const &r : reports) {
		EXPECT_TRUE(r.is_error);
		out.push_back(r.message);
	}
	return out;
}

} // namespace

TEST(validate, valid_configuration_and_query_give_no_report)
{
	EXPECT_TRUE(validate(valid_collection()).empty());

	configuration_collection query_only;
	query_only.fixed.query = std::string{"sweep-properties"};
	EXPECT_TRUE(validate(query_only).empty());
}

TEST(validate, single_faults)
{
	struct case_t {
		const char *name;
		std::function<void(configuration_collection &)> change;
		std::vector<std::string> options;
		std::string message;
	};
	std::vector<case_t> const cases{
		{"no device", [](auto &c) { c.fixed.device.clear(); }, {"device"}, "Device must be provided"},
		{"no pipelines", [](auto &c) { c.fixed.pipelines.clear(); }, {"pipeline-steps"}, "Step name(s) must be provided"},
		{"no provider", [](auto &c) { c.fixed.data_provider.name.clear(); }, {"data-provider"},
		 "Data provider name must be provided"},
		{"no run limit", [](auto &c) { c.fixed.run_limits.max_jobs.destruct(); },
		 {"run-limit-bytes", "run-limit-seconds", "run-limit-jobs"}, "At least one run limit must be provided"},
		{"port without address", [](auto &c) { c.fixed.companion.port = uint16_t{1000}; },
		 {"companion-connection-string"}, "TCP address not provided"},
		{"seconds with precision latency",
		 [](auto &c) {
			 c.fixed.run_limits.max_execution_time = std::chrono::seconds{1};
			 c.fixed.benchmark_mode = configuration::benchmark_mode::precision_latency;
		 },
		 {"run-limit-seconds"}, "A run-limit-seconds value cannot be used with precision latency mode."},
		{"bytes with precision latency",
		 [](auto &c) {
			 c.fixed.run_limits.max_jobs.destruct();
			 c.fixed.run_limits.max_bytes = uint64_t{4096};
			 c.fixed.benchmark_mode = configuration::benchmark_mode::precision_latency;
		 },
		 {"run-limit-bytes"}, "A run-limit-bytes value cannot be used with precision latency mode."},
		{"batch outside throughput",
		 [](auto &c) {
			 c.fixed.batch_mode = configuration::batch_mode::batch_submit;
			 c.fixed.batch_size = 8;
			 c.fixed.benchmark_mode = configuration::benchmark_mode::bulk_latency;
		 },
		 {"mode"}, "Batch mode only supported in throughput mode"},
		{"batch without size", [](auto &c) { c.fixed.batch_mode = configuration::batch_mode::batch_submit; },
		 {"batch-mode", "batch-size"}, "Batch size must be provided when a batch mode is used"},
		{"core count above set", [](auto &c) { c.permutations[0].core_count = 3; }, {"core-mask", "core-count"},
		 "Iteration core count: 3 exceeds core mask or core list capacity: 2"},
		{"zero cores", [](auto &c) { c.permutations[0].core_count = 0; }, {"core-count"},
		 "Iteration core count must not be zero"},
		{"zero task pool", [](auto &c) { c.permutations[0].task_pool_size = 0; }, {"task-pool-size"},
		 "Iteration task pool size must not be zero"},
		{"zero jobs", [](auto &c) { c.permutations[0].data_provider_job_count = 0; }, {"data-provider-job-count"},
		 "Iteration data provider job count must not be zero"},
		{"zero threads", [](auto &c) { c.permutations[0].threads_per_core = 0; }, {"threads-per-core"},
		 "Iteration number of threads per core must not be zero"},
		{"job larger than output",
		 [](auto &c) {
			 c.permutations[0].uniform_job_size = 4097u;
			 c.permutations[0].job_output_buffer_size = 4096;
		 },
		 {"uniform-job-size", "job-output-buffer-size"}, "Iteration uniform job size must not exceed output buffer size"},
		{"zero gather", [](auto &c) { c.permutations[0].gather_value.value = 0; }, {"gather-value"},
		 "Gather value must not be zero"},
		{"zero scatter", [](auto &c) { c.permutations[0].scatter_value.value = 0; }, {"scatter-value"},
		 "Scatter value must not be zero"},
		{"remote input without companion", [](auto &c) { c.fixed.pipelines[0].use_remote_input_buffers = true; },
		 {"use-remote-input-buffers", "companion-connection-string"},
		 "Remote input buffers requested but no companion connection string was provided"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		auto collection = valid_collection();
		c.change(collection);
		auto const reports = validate(collection);
		ASSERT_EQ(reports.size(), 1u);
		EXPECT_EQ(reports[0].option_names, c.options);
		EXPECT_EQ(reports[0].message, c.message);
		EXPECT_TRUE(reports[0].is_error);
	}
}

TEST(validate, boundaries_that_pass)
{
	auto c = valid_collection();
	c.fixed.device.clear();
	c.fixed.gpu = std::string{"01:00.0"};
	c.permutations[0].core_count = 2;                 // equal to the set size
	c.permutations[0].uniform_job_size = 4096u;
	c.permutations[0].job_output_buffer_size = 4096; // equal sizes
	c.fixed.pipelines[0].use_remote_output_buffers = true;
	c.fixed.companion.connection_string = std::string{"proto=tcp,addr=127.0.0.1,port=1234"};
	EXPECT_TRUE(validate(c).empty());

	auto automatic = valid_collection();
	automatic.permutations[0].uniform_job_size = 1u << 20;
	automatic.permutations[0].job_output_buffer_size = 0;
	EXPECT_TRUE(validate(automatic).empty());
}

TEST(validate, reports_keep_their_order)
{
	auto c = valid_collection();
	c.fixed.device.clear();
	c.permutations.push_back(c.permutations[0]);
	c.permutations.push_back(c.permutations[0]);
	for (auto &p : c.permutations)
		p.task_pool_size = 0;
	c.fixed.pipelines.push_back(c.fixed.pipelines[0]);
	for (auto &p : c.fixed.pipelines) {
		p.use_remote_input_buffers = true;
		p.use_remote_output_buffers = true;
	}
	c.fixed.core_set.cores.clear();

	auto const pool = std::string{"Iteration task pool size must not be zero"};
	auto const core = std::string{"Iteration core count: 2 exceeds core mask or core list capacity: 0"};
	auto const in = std::string{"Remote input buffers requested but no companion connection string was provided"};
	auto const out = std::string{"Remote output buffers requested but no companion connection string was provided"};
	std::vector<std::string> const expected{"Device must be provided",
						"Core mask or core list must contain at least one CPU core",
						core, pool, core, pool, core, pool, in, out, in, out};
	EXPECT_EQ(messages(validate(c)), expected);
}
