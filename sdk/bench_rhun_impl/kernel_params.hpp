// The parameter blocks the launchers read, as the benchmark lays them out, and the kernels.
#pragma once

#include <kova_internal/gpu_handles.hpp>

#include <kova/types.h>

#include <cstddef>
#include <cstdint>

namespace kova::sdk::kernels {

struct nop_params {
	uint32_t blocks;
	uint32_t threads_per_block;
	uint8_t *stop_flag;
	uint64_t *counters; // {jobs, bytes} per GPU thread
};
static_assert(offsetof(nop_params, threads_per_block) == 4 && offsetof(nop_params, stop_flag) == 8 &&
	      offsetof(nop_params, counters) == 16 && sizeof(nop_params) == 24);

// The receive kernel's block; the send kernel takes the same layout.
struct rdma_params {
	uint32_t blocks;
	uint32_t threads_per_block;
	uint8_t *stop_flag;
	uint64_t *counters;
	kova_gpu_dev_rdma *rdma;
	kova_gpu_buf_arr *buffers;
	kova_gpu_buf_arr *local_flag;
	kova_gpu_buf_arr *remote_flag;
	uint32_t buffer_size;
};
static_assert(offsetof(rdma_params, stop_flag) == 8 && offsetof(rdma_params, counters) == 16 &&
	      offsetof(rdma_params, rdma) == 24 && offsetof(rdma_params, buffers) == 32 &&
	      offsetof(rdma_params, local_flag) == 40 && offsetof(rdma_params, remote_flag) == 48 &&
	      offsetof(rdma_params, buffer_size) == 56 && sizeof(rdma_params) == 64);

// The Ethernet receive kernel's block: one receive queue per GPU block.
struct eth_recv_params {
	uint32_t blocks;
	uint32_t threads_per_block;
	uint8_t *stop_flag;
	uint64_t *counters;
	kova_gpu_eth_rxq *const *rxqs;
	uint32_t max_rx_packets;
	uint64_t timeout_ns;
};
static_assert(offsetof(eth_recv_params, rxqs) == 24 && offsetof(eth_recv_params, max_rx_packets) == 32 &&
	      offsetof(eth_recv_params, timeout_ns) == 40 && sizeof(eth_recv_params) == 48);

// The Ethernet send kernel's block: one send queue per GPU block, one frame per GPU thread.
struct eth_send_params {
	uint32_t blocks;
	uint32_t threads_per_block;
	uint8_t *stop_flag;
	uint64_t *counters;
	kova_gpu_eth_txq *const *txqs;
	kova_gpu_buf_arr *packets;
	uint32_t job_size;
};
static_assert(offsetof(eth_send_params, txqs) == 24 && offsetof(eth_send_params, packets) == 32 &&
	      offsetof(eth_send_params, job_size) == 40 && sizeof(eth_send_params) == 48);

// Both directions: each GPU block sends its threads' frames and receives on its own queue.
struct eth_bidir_params {
	uint32_t blocks;
	uint32_t threads_per_block;
	uint8_t *stop_flag;
	uint64_t *counters;
	kova_gpu_eth_txq *const *txqs;
	kova_gpu_buf_arr *packets;
	kova_gpu_eth_rxq *const *rxqs;
	uint32_t job_size;
	uint32_t max_rx_packets;
	uint64_t timeout_ns;
};
static_assert(offsetof(eth_bidir_params, txqs) == 24 && offsetof(eth_bidir_params, packets) == 32 &&
	      offsetof(eth_bidir_params, rxqs) == 40 && offsetof(eth_bidir_params, job_size) == 48 &&
	      offsetof(eth_bidir_params, max_rx_packets) == 52 && offsetof(eth_bidir_params, timeout_ns) == 56 &&
	      sizeof(eth_bidir_params) == 64);

// The number of GPU threads of a block's geometry; 0 when a factor is 0 or the product exceeds 32 bits.
inline uint32_t gpu_threads(uint32_t blocks, uint32_t threads_per_block) noexcept
{
	uint64_t const product = uint64_t{blocks} * threads_per_block;
	return product > UINT32_MAX ? 0 : static_cast<uint32_t>(product);
}

// What a kernel's last emulator thread does: the stop byte becomes 2.
void mark_ended(uint8_t *stop_flag) noexcept;

// Whether the stop byte is raised (an acquire load).
bool stop_raised(const uint8_t *stop_flag) noexcept;

// One more job of len bytes for GPU thread t: two atomic 64-bit stores.
void count(uint64_t *counters, uint32_t t, uint64_t len) noexcept;

kova_error start_nop(const nop_params &params) noexcept;
kova_error start_rdma_send(const rdma_params &params) noexcept;
kova_error start_rdma_recv(const rdma_params &params) noexcept;
kova_error start_eth_recv(const eth_recv_params &params) noexcept;
kova_error start_eth_send(const eth_send_params &params) noexcept;
kova_error start_eth_bidir(const eth_bidir_params &params) noexcept;

} // namespace kova::sdk::kernels
