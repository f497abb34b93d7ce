// Runs real worker threads over the stand-in SDK: builds a pipeline of test jobs, makes a worker
// for it, starts its thread behind a closed start gate, opens the gate and joins it.
#pragma once

#include "support/thrown_by.hpp"
#include "configuration.hpp"
#include "impl/shared_thread_control_block.hpp"
#include "impl/thread_data.hpp"
#include "kova_exception.hpp"
#include "runtime_state.hpp"
#include "step/factory.hpp"
#include "stats/permutation_stats.hpp"
#include "utility/pipeline_info.hpp"
#include "worker/test_steps.hpp"

#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kova::bench::worker_test {

// Every step the test creator made since the last harness set-up, in creation order.
inline std::vector<step::object *> created_steps;

// The test steps by their names ("recorded:<name>" records a factory step); any other name
// through the step factory.
inline std::unique_ptr<step::object> create_test_step(const std::string &name,
						      const step::object::attributes &attributes,
						      runtime_state &state, kova_pe *pe,
						      step::completion_callback on_success,
						      step::completion_callback on_error, kova_data ctx_user_data)
{
	std::unique_ptr<step::object> created;
	if (name.starts_with("recorded:"))
		created = std::make_unique<recording_step>(step::factory::create_step(
			name.substr(9), attributes, state, pe, on_success, on_error, ctx_user_data));
	else if (name == "kova_tessel::nop")
		created = std::make_unique<fake_gpu_step>();
	else if (name.starts_with("kova_tessel::"))
		created = std::make_unique<taskless_step>(name);
	else
		created = step::factory::create_step(name, attributes, state, pe, on_success, on_error, ctx_user_data);
	created_steps.push_back(created.get());
	return created;
}

using kova::test::thrown_by;

struct run_result {
	thread_stats stats;
	std::string out;
	std::string err;
	bool critical = false;
	bool stop = false;
	uint16_t running_count = 0;
	std::chrono::nanoseconds wall{0};
};

inline configuration::run_limits time_limit(int64_t seconds)
{
	configuration::run_limits limits;
	limits.max_execution_time = std::chrono::seconds{seconds};
	return limits;
}

inline configuration::run_limits job_limit(uint64_t jobs)
{
	configuration::run_limits limits;
	limits.max_jobs = jobs;
	return limits;
}

inline configuration::run_limits byte_limit(uint64_t bytes)
{
	configuration::run_limits limits;
	limits.max_bytes = bytes;
	return limits;
}

class worker_harness : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		created_steps.clear();
		fake_gpu_step::jobs_per_gather = 8;
		fake_gpu_step::job_size = 64;
		fake_gpu_step::stalled = false;
		state.open_device_and_representor("03:00.0", {});
	}

	void TearDown() override { kova_test_reset(); }

	// `jobs` jobs of `job_size` bytes each; job j holds bytes j, j + 1, j + 2, ...
	utility::pipeline_info pipeline(std::vector<std::string> steps, uint32_t jobs = 4, uint32_t job_size = 64)
	{
		job_data.clear();
		utility::pipeline_info info;
		for (uint32_t job = 0; job != jobs; ++job) {
			std::vector<char> bytes(job_size);
			for (uint32_t i = 0; i != job_size; ++i)
				bytes[i] = static_cast<char>(job + i);
			job_data.push_back(std::move(bytes));
		}
		for (auto const &bytes : job_data)
			info.jobs.push_back({bytes.data(), bytes.size(), job_size});
		for (auto const &name : steps) {
			utility::pipeline_info::step_definition definition;
			definition.name = name;
			definition.attributes.task_pool_size = jobs;
			definition.attributes.job_output_buffer_size = job_size;
			definition.attributes.job_count = jobs;
			definition.attributes.job_input_size = job_size;
			info.steps.push_back(std::move(definition));
		}
		info.latency_lower_bound_ns = 0;
		info.latency_bucket_width_ns = 1000;
		info.task_pool_size = jobs;
		return info;
	}

	std::unique_ptr<impl::thread_data> make_worker(const utility::pipeline_info &info, uint32_t thread_index = 0)
	{
		auto worker = std::make_unique<impl::thread_data>(thread_index, 0, 0, info, control, state,
								   &create_test_step);
		worker->prepare_tasks(info, state);
		return worker;
	}

	// `while_running` is called on this thread after the gate opened, before the join.
	run_result run(impl::thread_data &worker, configuration::benchmark_mode mode,
		       const configuration::run_limits &limits, bool stop_at_gate = false,
		       const std::function<void()> &while_running = {})
	{
		control->start_gate.exchange(1);
		control->stop.exchange(stop_at_gate ? 1 : 0);
		control->running_count.fetch_add(1);

		::testing::internal::CaptureStdout();
		::testing::internal::CaptureStderr();
		auto const start = std::chrono::steady_clock::now();
		std::thread thread{[&worker, mode, &limits] { worker.thread_proc(mode, limits); }};
		if (!stop_at_gate)
			control->start_gate.exchange(0);
		if (while_running)
			while_running();
		thread.join();

		run_result result;
		result.wall = std::chrono::steady_clock::now() - start;
		result.out = ::testing::internal::GetCapturedStdout();
		result.err = ::testing::internal::GetCapturedStderr();
		result.stats = worker.get_stats();
		result.critical = control->critical.load() != 0;
		result.stop = control->stop.load() != 0;
		result.running_count = control->running_count.load();
		return result;
	}

	run_result run_pipeline(const utility::pipeline_info &info, configuration::benchmark_mode mode,
				const configuration::run_limits &limits)
	{
		auto worker = make_worker(info);
		return run(*worker, mode, limits);
	}

	std::shared_ptr<impl::shared_thread_control_block> control =
		std::make_shared<impl::shared_thread_control_block>();
	runtime_state state;
	std::vector<std::vector<char>> job_data;
};

} // namespace kova::bench::worker_test
