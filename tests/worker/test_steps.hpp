// Steps for worker tests: a copy step over the test-only copy library, a step that yields no task,
// and a GPU-like step whose "kernel" is simulated by its counters.
#pragma once

#include "stats/permutation_stats.hpp"
#include "step/object.hpp"
#include "support/copy_library.hpp"
#include "utility/async/sequence.hpp"
#include "utility/kova_utils.hpp"

#include <kova/buf.h>
#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/pe.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kova::bench::worker_test {

// Copies its input list to its output list; the next step reads the same input (pass-through).
class copy_step : public step::object {
public:
	copy_step(const attributes &attrs, kova_pe *pe, step::completion_callback on_success,
		  step::completion_callback on_error, kova_data ctx_user_data)
		: m_pe{pe}, m_instance{sdk_test::copy_create()}
	{
		kova_ctx *ctx = sdk_test::copy_as_ctx(m_instance);
		kova_ctx_set_user_data(ctx, ctx_user_data);
		sdk_test::copy_set_conf(m_instance, on_success, on_error, std::max<uint32_t>(attrs.job_count, 1));
		kova_pe_connect_ctx(pe, ctx);
		kova_ctx_start(ctx);
	}
	~copy_step() override
	{
		utility::stop_ctx(sdk_test::copy_as_ctx(m_instance), m_pe, "test_copy", &m_tasks);
		sdk_test::copy_destroy(m_instance);
	}
	copy_step(const copy_step &) = delete;
	copy_step &operator=(const copy_step &) = delete;

	const char *get_name() const override { return "test_copy"; }
	step::io_buffer_ranges get_io_buffer_ranges() const override { return {}; }
	std::unique_ptr<utility::async::sequence> start_async_setup() override { return nullptr; }
	std::unique_ptr<utility::async::sequence> start_async_teardown() override { return nullptr; }
	uint32_t get_companion_worker_id() const override { return 0; }
	void set_mmaps(kova_mmap *, kova_mmap *) override {}

	step::task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare, kova_data user_data) override
	{
		sdk_test::copy_task *task = nullptr;
		if (sdk_test::copy_alloc_init(m_instance, input, output, user_data, &task) != KOVA_SUCCESS)
			return {nullptr, input, output, spare};
		m_tasks.push_back(sdk_test::copy_as_task(task));
		m_outputs.push_back(output);
		return {sdk_test::copy_as_task(task), input, output, spare};
	}

	void destroy_all_tasks() override
	{
		for (kova_task *task : m_tasks)
			kova_task_free(task);
		m_tasks.clear();
	}

	// The output list of each job, in job order.
	const std::vector<kova_buf *> &outputs() const { return m_outputs; }

private:
	kova_pe *m_pe;
	sdk_test::copy_instance *m_instance;
	std::vector<kova_task *> m_tasks;
	std::vector<kova_buf *> m_outputs;
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
