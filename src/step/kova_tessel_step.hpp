// The GPU-initiated steps: the step launches one kernel, raises its stop byte at the end and reads
// the counters the kernel's GPU threads keep; it submits no tasks.
//   kova_tessel_base_step: GPU memory for the stop byte and the counters, the launch geometry.
//   kova_tessel_nop_step ("kova_tessel::nop"): a kernel that only counts.
//   kova_tessel_rdma_gpu_step ("kova_tessel::rdma_gpu"): receives over RDMA from the companion's
//   "rdma_gpu_send" worker, paced by the two sides' flags.
//   kova_tessel_rdma_step ("kova_tessel::rdma", built only directly): receives over RDMA from the
//   companion's CPU "rdma_send" worker; no flags.
// A GPU RDMA step whose connection breaks while its kernel runs throws from gather_stats.
#pragma once

#include "dl/kova_rdma_api.hpp"
#include "dl/kova_tessel_api.hpp"
#include "runtime_state.hpp"
#include "step/object.hpp"
#include "utility/tessel_common.hpp"

#include <kova/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace kova::bench::step {

class kova_tessel_base_step : public object {
public:
	// Stops a running kernel first.
	~kova_tessel_base_step() override;

	[[nodiscard]] io_buffer_ranges get_io_buffer_ranges() const override;
	void set_mmaps(kova_mmap *input_mmap, kova_mmap *output_mmap) override;
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;
	void destroy_all_tasks() override;

	// Raises the stop byte and, when a kernel runs, waits until it has ended: code 9 when it did not
	// end in time (it then counts as running still).
	void stop() override;
	// The counters since the last reset_stats: jobs as enqueued and dequeued jobs, bytes as ingress bytes.
	void gather_stats(thread_stats &stats) override;
	// Takes the counters as they stand as the new baseline; the kernel's records are not written.
	void reset_stats() override;

	[[nodiscard]] uint32_t get_num_blocks() const noexcept { return m_num_blocks; }
	[[nodiscard]] uint32_t get_threads_per_block() const noexcept { return m_threads_per_block; }
	[[nodiscard]] bool kernel_running() const noexcept { return m_kernel_running; }
	[[nodiscard]] const uint8_t *stop_byte() const noexcept
	{
		return static_cast<const uint8_t *>(m_stop_flag.cpu_address());
	}

protected:
	kova_tessel_base_step(const attributes &attributes, const runtime_state &state, kova_pe *pe);

	// Lowers the stop byte and launches; a non-zero result is thrown with "Unable to start kernels".
	// Code 18 while a kernel of the step runs.
	void launch(kova_error (*launcher)(const void *params), const void *params);
	// stop() for destructors: prints instead of throwing.
	void stop_quietly() noexcept;

	const dl::kova_tessel_api *m_api;
	kova_dev *m_device;
	kova_gpu *m_gpu;
	kova_pe *m_pe;
	const runtime_state *m_state;
	uint32_t m_num_blocks = 1;
	uint32_t m_threads_per_block = 32;
	utility::gpu_memory m_stop_flag;
	utility::gpu_memory m_counters;

private:
	void set_num_blocks(const std::string &text);
	void set_threads_per_block(const std::string &text);
	[[nodiscard]] utility::gpu_counter_record sum_counters() const noexcept;

	uint32_t m_gpu_threads = 0;
	bool m_kernel_running = false;
	utility::gpu_counter_record m_baseline{0, 0};
};

class kova_tessel_nop_step final : public kova_tessel_base_step {
public:
	kova_tessel_nop_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
			     completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);

	[[nodiscard]] const char *get_name() const override;
	std::unique_ptr<utility::async::sequence> start_async_setup() override;
	std::unique_ptr<utility::async::sequence> start_async_teardown() override;
	[[nodiscard]] uint32_t get_companion_worker_id() const override;
	void start() override;

	[[nodiscard]] const utility::nop_kernel_params &kernel_params() const noexcept { return m_params; }

private:
	utility::nop_kernel_params m_params;
};

// What both GPU RDMA steps hold and do: the GPU RDMA context, the companion worker id and the
// receive kernel's block; set-up starts with the activity the derived step names, teardown has the
// companion's workers destroyed.
class kova_tessel_rdma_step_base : public kova_tessel_base_step {
public:
	// Stops the kernel before the GPU RDMA context goes.
	~kova_tessel_rdma_step_base() override;

	std::unique_ptr<utility::async::sequence> start_async_setup() override;
	std::unique_ptr<utility::async::sequence> start_async_teardown() override;
	[[nodiscard]] uint32_t get_companion_worker_id() const override;
	// Code 11 (connection reset) once the RDMA connection is lost while the kernel runs.
	void gather_stats(thread_stats &stats) override;

	virtual void create_async_start_activities(utility::async::sequence &sequence) = 0;
	void create_async_teardown_activities(utility::async::sequence &sequence);

	[[nodiscard]] const utility::rdma_kernel_params &kernel_params() const noexcept { return m_params; }
	utility::rdma_gpu_ctx &gpu_context() noexcept { return *m_context; }

protected:
	kova_tessel_rdma_step_base(const attributes &attributes, const runtime_state &state, kova_pe *pe,
				   kova_data ctx_user_data, const char *first_setup_activity);

	const dl::kova_rdma_api *m_rdma_api;
	std::unique_ptr<utility::rdma_gpu_ctx> m_context;
	uint32_t m_companion_worker_id = 0;
	utility::rdma_kernel_params m_params;

private:
	const char *m_first_setup_activity;
};

class kova_tessel_rdma_gpu_step final : public kova_tessel_rdma_step_base {
public:
	kova_tessel_rdma_gpu_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
				  completion_callback success_cb, completion_callback error_cb,
				  kova_data ctx_user_data);

	[[nodiscard]] const char *get_name() const override;
	// Code 4 "setup not complete" until the set-up has imported the worker's flag map.
	void start() override;

	void create_async_start_activities(utility::async::sequence &sequence) override;
};

class kova_tessel_rdma_step final : public kova_tessel_rdma_step_base {
public:
	kova_tessel_rdma_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
			      completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);

	[[nodiscard]] const char *get_name() const override;
	void start() override;

	void create_async_start_activities(utility::async::sequence &sequence) override;
};

// The buffers asked of the companion for a step of `task_count` jobs: 1 up to 3, else half.
uint32_t tessel_rdma_worker_buffer_count(uint32_t task_count) noexcept;

} // namespace kova::bench::step
