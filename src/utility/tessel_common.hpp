// What the GPU steps and the GPU worker share: owned GPU memory, the kernel geometry, the stop
// byte protocol of the kernel launch library, and the GPU RDMA context.
//
// Stop byte: 0 lets a kernel run; the CPU raises it (a release store of 1) and the kernel, once all
// its GPU threads have ended, stores 2 into it. stop_kernel waits for that 2.
#pragma once

#include "dl/kova_dpdk_bridge_api.hpp"
#include "dl/kova_eth_api.hpp"
#include "dl/kova_flow_api.hpp"
#include "dl/kova_rdma_api.hpp"
#include "dl/kova_tessel_api.hpp"
#include "step/object.hpp"
#include "utility/dpdk_common.hpp"
#include "utility/eth_common.hpp"
#include "utility/rdma_common.hpp"

#include <kova/buf_arr.h>
#include <kova/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kova::bench::utility {

// One allocation of GPU memory, freed with kova_gpu_mem_free when the owner goes (a failure is printed).
class gpu_memory {
public:
	gpu_memory() = default;
	// Throws the call's code (7 when it succeeded with a null address) with `failure`; type 0 memory
	// has no CPU address.
	gpu_memory(const dl::kova_tessel_api *api, kova_gpu *gpu, uint64_t size, uint64_t alignment, uint32_t mem_type,
		   const char *failure);
	~gpu_memory();
	gpu_memory(gpu_memory &&other) noexcept;
	gpu_memory &operator=(gpu_memory &&other) noexcept;
	gpu_memory(const gpu_memory &) = delete;
	gpu_memory &operator=(const gpu_memory &) = delete;

	[[nodiscard]] void *gpu_address() const noexcept { return m_gpu_address; }
	[[nodiscard]] void *cpu_address() const noexcept { return m_cpu_address; }
	void reset() noexcept;

private:
	const dl::kova_tessel_api *m_api = nullptr;
	kova_gpu *m_gpu = nullptr;
	void *m_gpu_address = nullptr;
	void *m_cpu_address = nullptr;
};

// The GPU threads of a launch: blocks times threads per block, 6 when either is 0 or the product
// exceeds 4294967295.
uint32_t gpu_thread_count(uint32_t blocks, uint32_t threads_per_block);

// The data buffers of a GPU RDMA context: the GPU threads rounded up to a power of two, in integer
// arithmetic (1 -> 1, 32 -> 32, 33 -> 64, 96 -> 128); 6 above 2147483648.
uint32_t rdma_gpu_buffer_count(uint32_t gpu_threads);

// How long stop_kernel waits for a kernel to end.
inline constexpr std::chrono::milliseconds kernel_stop_limit{5000};

// Raises the stop byte (through its CPU address) and waits until the kernel has ended. False when
// it did not end within `limit`.
bool stop_kernel(uint8_t *stop_byte, std::chrono::milliseconds limit = kernel_stop_limit) noexcept;

// Lowers the stop byte before a launch.
void clear_stop_byte(uint8_t *stop_byte) noexcept;

// An RDMA context whose data path runs on a GPU: data buffers and an 8-byte flag in GPU memory
// published as buffer arrays, the flag's map exported for the peer, and the peer's flag imported.
// Torn down in reverse: the RDMA context is stopped, then the buffer arrays, the maps and the memory go.
class rdma_gpu_ctx {
public:
	rdma_gpu_ctx(const dl::kova_rdma_api *rdma_api, const dl::kova_tessel_api *gpu_api,
		     const rdma_context::configuration &cfg, uint32_t num_blocks, uint32_t threads_per_block,
		     uint32_t buffer_size, kova_pe *pe, kova_dev *dev, kova_gpu *gpu, kova_data user_data);
	~rdma_gpu_ctx();
	rdma_gpu_ctx(const rdma_gpu_ctx &) = delete;
	rdma_gpu_ctx &operator=(const rdma_gpu_ctx &) = delete;

	rdma_context *get_rdma_context() noexcept { return &*m_rdma; }
	[[nodiscard]] kova_gpu_dev_rdma *get_rdma_gpu() const noexcept { return m_rdma_gpu; }
	[[nodiscard]] kova_gpu_buf_arr *get_buf_arr_gpu() const noexcept { return m_data.handle; }
	[[nodiscard]] kova_gpu_buf_arr *get_local_flag_buf_arr_gpu() const noexcept { return m_local_flag.handle; }
	[[nodiscard]] kova_gpu_buf_arr *get_remote_flag_buf_arr_gpu() const noexcept { return m_remote_flag.handle; }
	[[nodiscard]] uint32_t get_num_blocks() const noexcept { return m_num_blocks; }
	[[nodiscard]] uint32_t get_threads_per_block() const noexcept { return m_threads_per_block; }
	[[nodiscard]] uint32_t get_buffer_size() const noexcept { return m_buffer_size; }
	[[nodiscard]] uint32_t get_buffer_count() const noexcept { return m_buffer_count; }
	// The data memory's CPU address (buffer count x buffer size bytes).
	[[nodiscard]] void *get_data_cpu_address() const noexcept { return m_data_memory.cpu_address(); }

	// The export descriptor of the local flag's map, raw bytes (zeros included).
	[[nodiscard]] std::string export_flag_mmap() const;
	// Imports the peer's flag map and publishes it as the remote flag array.
	void create_flag_mmap_from_export(const std::string &exported);

	// The fixed pattern the data buffers hold after construction: byte i is (i * 7 + 1) mod 256.
	static uint8_t pattern_byte(uint64_t i) noexcept { return static_cast<uint8_t>(i * 7 + 1); }

private:
	struct mmap_owner {
		void operator()(kova_mmap *mmap) const noexcept;
	};
	struct buf_arr_owner {
		void operator()(kova_buf_arr *array) const noexcept;
	};
	using mmap_ptr = std::unique_ptr<kova_mmap, mmap_owner>;
	struct published {
		std::unique_ptr<kova_buf_arr, buf_arr_owner> array;
		kova_gpu_buf_arr *handle = nullptr;
		void reset() noexcept;
	};

	void create_flag_mmap();
	published create_buf_arr(kova_mmap *mmap, uint32_t count, uint32_t element_size) const;

	const dl::kova_rdma_api *m_rdma_api;
	const dl::kova_tessel_api *m_gpu_api;
	std::optional<rdma_context> m_rdma;
	kova_gpu *m_gpu;
	kova_dev *m_dev;
	uint32_t m_num_blocks;
	uint32_t m_threads_per_block;
	uint32_t m_buffer_count = 0;
	kova_gpu_dev_rdma *m_rdma_gpu = nullptr;
	uint32_t m_buffer_size;
	gpu_memory m_data_memory;
	mmap_ptr m_data_mmap;
	published m_data;
	gpu_memory m_local_flag_memory;
	mmap_ptr m_local_flag_mmap;
	published m_local_flag;
	mmap_ptr m_remote_flag_mmap;
	published m_remote_flag;
};

// Makes a started map over GPU memory (by its GPU address) on the device.
void create_mmap_gpu(kova_mmap **out, void *address, uint64_t length, kova_dev *device);

// GPU Ethernet queues: one queue per GPU block whose data path is on the GPU; a kernel gets only the
// queues' GPU handles (and, to send, a buffer array of ready-made frames).
//
// The device's DPDK port is set up once per process for every GPU Ethernet user (stopped, configured
// with one queue pair per block, MTU 2048 and the IPv4/UDP/TCP transmit checksum offloads, an mbuf
// pool, started) and reference counted: the last user stops the port, then frees the pool. The flow
// library is the process's, shared with the Ethernet queues' steering; receive queue ids come from
// the same allocator.
class gpu_eth_base {
public:
	[[nodiscard]] uint32_t get_job_size() const noexcept { return m_job_size; }
	[[nodiscard]] kova_flow_port *get_df_port() const noexcept { return m_flow_port; }

	// The most GPU blocks (queue pairs) one port set-up takes: the DPDK queue count is 8 bits.
	static constexpr uint32_t max_blocks = 255;

protected:
	// With a null flow port the instance sets the DPDK port and the flow library up and starts its own
	// flow port on the device.
	gpu_eth_base(const dl::kova_eth_api *eth_api, const dl::kova_tessel_api *gpu_api, uint32_t job_size,
		     dpdk_context *dpdk, kova_flow_port *flow_port, uint32_t num_blocks, uint32_t threads_per_block,
		     kova_dev *dev, kova_gpu *gpu);
	~gpu_eth_base();
	gpu_eth_base(const gpu_eth_base &) = delete;
	gpu_eth_base &operator=(const gpu_eth_base &) = delete;

	const dl::kova_eth_api *m_eth_api;
	const dl::kova_tessel_api *m_gpu_api;
	const dl::kova_flow_api *m_flow_api;
	const dl::kova_dpdk_bridge_api *m_dpdk_api;
	uint32_t m_num_blocks;
	uint32_t m_threads_per_block;
	uint32_t m_job_size;
	kova_dev *m_dev;
	kova_gpu *m_gpu;
	kova_flow_port *m_flow_port = nullptr;
	bool m_owns_flow_port;

private:
	void init_kova_flow(uint16_t port_id, uint8_t nb_queues);
	void release() noexcept;

	uint16_t m_port_id = 0;
	bool m_port_held = false;
	bool m_library_held = false;
};

// Receive queues into GPU packet memory, and the flow pipes that spread the device's IPv4/UDP traffic
// over them.
class gpu_eth_rxq : public gpu_eth_base {
public:
	struct gpu_rxq {
		std::unique_ptr<eth_rxq> queue;
		kova_gpu_eth_rxq *handle = nullptr;
		kova_mmap *mmap = nullptr;
		gpu_memory memory;
		int32_t dmabuf_fd = -1;
		uint16_t queue_id = 0;
	};

	gpu_eth_rxq(const dl::kova_eth_api *eth_api, const dl::kova_tessel_api *gpu_api,
		    const step::object::attributes &attributes, dpdk_context *dpdk, kova_flow_port *flow_port,
		    unsigned num_blocks, unsigned threads_per_block, kova_pe *pe, kova_dev *dev, kova_gpu *gpu,
		    kova_data user);
	~gpu_eth_rxq();

	[[nodiscard]] const eth_rxq::configuration &get_eth_cfg() const noexcept { return m_cfg; }
	[[nodiscard]] kova_gpu_eth_rxq *const *get_gpu_rxq() const noexcept { return m_handles.data(); }
	[[nodiscard]] const std::vector<gpu_rxq> &queues() const noexcept { return m_queues; }
	// The queue list the RXQ pipe spreads the traffic over.
	[[nodiscard]] const std::vector<uint16_t> &queue_list() const noexcept { return m_queue_list; }

private:
	void create_queues(kova_data user, kova_pe *pe, dpdk_context *dpdk);
	void create_pipe();
	void create_root_pipe();
	void release() noexcept;

	eth_rxq::configuration m_cfg;
	std::vector<gpu_rxq> m_queues;
	std::vector<kova_gpu_eth_rxq *> m_handles;
	std::vector<uint16_t> m_queue_list;
	kova_flow_pipe *m_rxq_pipe = nullptr;
	kova_flow_pipe *m_root_pipe = nullptr;
	kova_flow_pipe_entry *m_root_entry = nullptr;
};

// Send queues and the GPU packet buffer of ready-made frames, one per GPU thread.
class gpu_eth_txq : public gpu_eth_base {
public:
	struct gpu_txq {
		std::unique_ptr<eth_txq> queue;
		kova_gpu_eth_txq *handle = nullptr;
	};

	gpu_eth_txq(const dl::kova_eth_api *eth_api, const dl::kova_tessel_api *gpu_api,
		    const step::object::attributes &attributes, dpdk_context *dpdk, kova_flow_port *flow_port,
		    unsigned num_blocks, unsigned threads_per_block, kova_pe *pe, kova_dev *dev, kova_gpu *gpu,
		    kova_data user);
	~gpu_eth_txq();

	[[nodiscard]] const eth_txq::configuration &get_eth_cfg() const noexcept { return m_cfg; }
	[[nodiscard]] kova_gpu_eth_txq *const *get_gpu_txq() const noexcept { return m_handles.data(); }
	[[nodiscard]] kova_gpu_buf_arr *get_buf_arr() const noexcept { return m_buf_arr_gpu; }
	[[nodiscard]] uint32_t get_packet_count() const noexcept { return m_packet_count; }
	// The frames as the host wrote them (packet count x job size bytes).
	[[nodiscard]] const uint8_t *packets_cpu() const noexcept
	{
		return static_cast<const uint8_t *>(m_packets.cpu_address());
	}
	// Sends of the kernel that failed, as the queues' error events reported them.
	[[nodiscard]] uint64_t send_errors() const noexcept { return m_send_errors.load(std::memory_order_acquire); }

private:
	void create_packet_buffer();
	void create_txq(kova_data user, kova_pe *pe);
	void populate_packets();
	void release() noexcept;

	eth_txq::configuration m_cfg{};
	std::vector<gpu_txq> m_queues;
	std::vector<kova_gpu_eth_txq *> m_handles;
	uint32_t m_packet_count = 0;
	kova_mmap *m_packets_mmap = nullptr;
	gpu_memory m_packets;
	kova_buf_arr *m_buf_arr = nullptr;
	kova_gpu_buf_arr *m_buf_arr_gpu = nullptr;
	std::atomic<uint64_t> m_send_errors{0};
};

// The frames of the GPU send queues: 2^ceil(log2(blocks x threads per block)) (1 -> 1, 3 -> 4, 33 -> 64).
uint32_t gpu_eth_packet_count(uint32_t blocks, uint32_t threads_per_block);

// The smallest job the GPU Ethernet queues and steps take: an Ethernet header.
inline constexpr uint32_t gpu_eth_min_job_size = 14;
// Throws 29 "Job size is too small for ethernet header, job must be at least 14 bytes" below it.
void check_gpu_eth_job_size(uint32_t job_size);

// Exactly one of the words strto<bool> knows, nothing after it; else 6.
bool as_bool(const std::string &text);

// The GPU send queues' error event: prints "Received TXQ Packet error" and counts the failed send in the
// counter user_data points to, which the step reports.
void on_task_error(kova_eth_txq_gpu_event_error_send_packet *event, kova_data user_data);

} // namespace kova::bench::utility

namespace kova::bench::utility {

// The nop kernel's parameter block, as the kernel launch library reads it.
struct nop_kernel_params {
	uint32_t blocks;
	uint32_t threads_per_block;
	void *stop_flag;  // GPU address of the stop byte
	void *counters;   // GPU address of the counter records
};
static_assert(offsetof(nop_kernel_params, threads_per_block) == 4 && offsetof(nop_kernel_params, stop_flag) == 8 &&
	      offsetof(nop_kernel_params, counters) == 16 && sizeof(nop_kernel_params) == 24);

// The RDMA receive kernel's parameter block; the send kernel takes the same layout.
struct rdma_kernel_params {
	uint32_t blocks;
	uint32_t threads_per_block;
	void *stop_flag;
	void *counters;
	kova_gpu_dev_rdma *rdma_gpu;
	kova_gpu_buf_arr *buf_arr;
	kova_gpu_buf_arr *local_flag_buf_arr;
	kova_gpu_buf_arr *remote_flag_buf_arr;
	uint32_t buffer_size;
};
static_assert(offsetof(rdma_kernel_params, stop_flag) == 8 && offsetof(rdma_kernel_params, counters) == 16 &&
	      offsetof(rdma_kernel_params, rdma_gpu) == 24 && offsetof(rdma_kernel_params, buf_arr) == 32 &&
	      offsetof(rdma_kernel_params, local_flag_buf_arr) == 40 &&
	      offsetof(rdma_kernel_params, remote_flag_buf_arr) == 48 &&
	      offsetof(rdma_kernel_params, buffer_size) == 56 && sizeof(rdma_kernel_params) == 64);

// One counter record per GPU thread: jobs, then bytes.
struct gpu_counter_record {
	uint64_t jobs;
	uint64_t bytes;
};
static_assert(sizeof(gpu_counter_record) == 16);

} // namespace kova::bench::utility
