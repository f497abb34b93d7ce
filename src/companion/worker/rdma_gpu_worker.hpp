// The companion's GPU RDMA worker ("rdma_gpu_send"): the far end of "kova_tessel::rdma_gpu". It
// builds a GPU RDMA context on the companion's GPU, connects to the step, exports its flag map and,
// once started, launches a send kernel that runs until the worker is terminated. Also the command
// and reply maps of the family.
#pragma once

#include "companion/worker/worker.hpp"
#include "dl/kova_rdma_api.hpp"
#include "dl/kova_tessel_api.hpp"
#include "kova_delegated_deleter.hpp"
#include "kova_optional.hpp"
#include "utility/kova_utils.hpp"
#include "utility/tessel_common.hpp"

#include <kova/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace kova::bench::companion::worker {

struct create_rdma_gpu_worker_command {
	uint32_t buffer_size = 0;
	uint32_t num_blocks = 0;
	uint32_t threads_per_block = 0;
	std::string connection_string;
	kova::optional<uint32_t> gid_idx;
};

struct create_rdma_gpu_worker_response {
	std::string connection_string;
	std::string exported_mmap;
};

attribute_map create_rdma_gpu_worker_command_to_map(const create_rdma_gpu_worker_command &command);
// Code 6 "[BUG] invalid create_rdma_gpu_worker_command" for a missing key, then per number.
create_rdma_gpu_worker_command create_rdma_gpu_worker_command_from_map(const attribute_map &map);
attribute_map create_rdma_gpu_worker_response_to_map(const create_rdma_gpu_worker_response &response);
// Code 6 without "connection-string"; "exported-mmap" may be absent (empty).
create_rdma_gpu_worker_response create_rdma_gpu_worker_response_from_map(const attribute_map &map);

class rdma_gpu_worker final : public worker {
public:
	// Connected and flag map exported on return; throws what fails.
	rdma_gpu_worker(uint32_t id, const attribute_map &map, kova_dev *device, kova_gpu *gpu);
	// Ends a kernel still running, then frees the GPU memory, the context and the engine.
	~rdma_gpu_worker() override;
	rdma_gpu_worker(const rdma_gpu_worker &) = delete;
	rdma_gpu_worker &operator=(const rdma_gpu_worker &) = delete;

	void populate_create_worker_response_fields(attribute_map &fields) override;
	// Waits until the connection runs (its poll thread, then the engine for at most 30 s), launches
	// the send kernel and returns; a failed launch or a connection that never runs is thrown.
	void thread_proc() override;
	// Raises the stop byte and waits until the kernel has ended.
	void terminate() override;
	[[nodiscard]] uint32_t get_id() const override;
	[[nodiscard]] const char *get_type() const override;

	[[nodiscard]] const utility::rdma_kernel_params &kernel_params() const noexcept { return m_params; }
	[[nodiscard]] bool kernel_running() const noexcept { return m_launched.load(); }

private:
	void end_kernel() noexcept;
	// Drives the engine until the connection runs or the worker is terminated.
	void poll_connection() noexcept;
	void join_poll_thread() noexcept;

	const dl::kova_rdma_api *m_rdma_api;
	const dl::kova_tessel_api *m_gpu_api;
	uint32_t m_id;
	std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> m_pe;
	std::unique_ptr<utility::rdma_gpu_ctx> m_context;
	std::string m_connection_string;
	std::string m_exported_mmap;
	utility::gpu_memory m_stop_flag;
	utility::gpu_memory m_counter;
	utility::rdma_kernel_params m_params;
	std::atomic<bool> m_launched{false};
	std::atomic<bool> m_terminated{false};
	// Completes the connection while the benchmark's set-up waits for it (before thread_proc).
	std::thread m_poll_thread;
};

std::unique_ptr<worker> create_rdma_gpu_worker(uint32_t id, const attribute_map &map, kova_dev *device, kova_gpu *gpu);

} // namespace kova::bench::companion::worker
