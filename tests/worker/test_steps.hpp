// Steps for worker tests: a recorder around a real step, a step that yields no task, and a GPU-like
// step whose "kernel" is simulated by its counters.
#pragma once

#include "stats/permutation_stats.hpp"
#include "step/object.hpp"
#include "utility/async/sequence.hpp"

#include <kova/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kova::bench::worker_test {

// Passes every call on to a real step and records what task preparation handed it.
class recording_step : public step::object {
public:
	explicit recording_step(std::unique_ptr<step::object> inner) : m_inner{std::move(inner)} {}

	const char *get_name() const override { return m_inner->get_name(); }
	step::io_buffer_ranges get_io_buffer_ranges() const override { return m_inner->get_io_buffer_ranges(); }
	std::unique_ptr<utility::async::sequence> start_async_setup() override { return m_inner->start_async_setup(); }
	std::unique_ptr<utility::async::sequence> start_async_teardown() override
	{
		return m_inner->start_async_teardown();
	}
	uint32_t get_companion_worker_id() const override { return m_inner->get_companion_worker_id(); }
	void set_mmaps(kova_mmap *input, kova_mmap *output) override { m_inner->set_mmaps(input, output); }
	step::task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare, kova_data user_data) override
	{
		m_outputs.push_back(output);
		m_user_data.push_back(user_data.ptr);
		return m_inner->create_task_set(input, output, spare, user_data);
	}
	void destroy_all_tasks() override { m_inner->destroy_all_tasks(); }
	void start() override { m_inner->start(); }
	void stop() override { m_inner->stop(); }
	void gather_stats(thread_stats &stats) override { m_inner->gather_stats(stats); }
	void reset_stats() override { m_inner->reset_stats(); }

	// Per job, in job order: the output list and the task user data.
	const std::vector<kova_buf *> &outputs() const { return m_outputs; }
	const std::vector<void *> &user_data() const { return m_user_data; }

private:
	std::unique_ptr<step::object> m_inner;
	std::vector<kova_buf *> m_outputs;
	std::vector<void *> m_user_data;
};

// A step that runs no tasks under the given name.
class taskless_step : public step::object {
public:
	explicit taskless_step(std::string name) : m_name{std::move(name)} {}

	const char *get_name() const override { return m_name.c_str(); }
	step::io_buffer_ranges get_io_buffer_ranges() const override { return {}; }
	std::unique_ptr<utility::async::sequence> start_async_setup() override { return nullptr; }
	std::unique_ptr<utility::async::sequence> start_async_teardown() override { return nullptr; }
	uint32_t get_companion_worker_id() const override { return 0; }
	void set_mmaps(kova_mmap *, kova_mmap *) override {}
	step::task_set create_task_set(const kova_buf *, kova_buf *, kova_buf *, kova_data) override
	{
		return {nullptr, nullptr, nullptr, nullptr};
	}
	void destroy_all_tasks() override {}

private:
	std::string m_name;
};

// A GPU-led step: between start() and stop() its "kernel" completes `jobs_per_gather` jobs of
// `job_size` bytes per gather_stats call (none while stalled).
class fake_gpu_step : public taskless_step {
public:
	fake_gpu_step() : taskless_step{"kova_tessel::nop"} {}

	void start() override { m_running = true; }
	void stop() override
	{
		m_running = false;
		++m_stops;
	}
	void gather_stats(thread_stats &stats) override
	{
		if (!m_running || stalled)
			return;
		stats.step.enqueued_jobs += jobs_per_gather;
		stats.step.dequeued_jobs += jobs_per_gather;
		stats.step.ingress_bytes += jobs_per_gather * job_size;
		stats.step.egress_bytes += jobs_per_gather * job_size;
	}

	uint32_t stops() const { return m_stops; }

	static inline uint64_t jobs_per_gather = 8;
	static inline uint64_t job_size = 64;
	static inline bool stalled = false;

private:
	bool m_running = false;
	uint32_t m_stops = 0;
};

} // namespace kova::bench::worker_test
