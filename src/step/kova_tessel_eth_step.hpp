// The GPU Ethernet steps: a kernel receives or sends frames itself through GPU Ethernet queues
// while the companion runs an Ethernet worker of the opposite role.
//   kova_tessel_eth_rx_step ("kova_tessel::eth_rx"): receive queues; the companion's "eth_send".
//   kova_tessel_eth_tx_step ("kova_tessel::eth_tx"): send queues; the companion's "eth_recv".
//   kova_tessel_eth_bidir_step ("kova_tessel::eth_bidir"): both; the companion's "eth_bidir".
#pragma once

#include "dl/kova_eth_api.hpp"
#include "step/kova_tessel_step.hpp"
#include "utility/tessel_common.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kova::bench::step {

// The kernels' parameter blocks, as the kernel launch library reads them.
struct eth_recv_kernel_params {
	uint32_t blocks;
	uint32_t threads_per_block;
	void *stop_flag;
	void *counters;
	kova_gpu_eth_rxq *const *rxqs;
	uint32_t max_rx_packets;
	uint32_t padding;
	uint64_t timeout_ns;
};
static_assert(offsetof(eth_recv_kernel_params, stop_flag) == 8 && offsetof(eth_recv_kernel_params, counters) == 16 &&
	      offsetof(eth_recv_kernel_params, rxqs) == 24 && offsetof(eth_recv_kernel_params, max_rx_packets) == 32 &&
	      offsetof(eth_recv_kernel_params, timeout_ns) == 40 && sizeof(eth_recv_kernel_params) == 48);

struct eth_send_kernel_params {
	uint32_t blocks;
	uint32_t threads_per_block;
	void *stop_flag;
	void *counters;
	kova_gpu_eth_txq *const *txqs;
	kova_gpu_buf_arr *buf_arr;
	uint32_t job_size;
	uint32_t padding;
};
static_assert(offsetof(eth_send_kernel_params, txqs) == 24 && offsetof(eth_send_kernel_params, buf_arr) == 32 &&
	      offsetof(eth_send_kernel_params, job_size) == 40 && sizeof(eth_send_kernel_params) == 48);

struct eth_bidir_kernel_params {
	uint32_t blocks;
	uint32_t threads_per_block;
	void *stop_flag;
	void *counters;
	kova_gpu_eth_txq *const *txqs;
	kova_gpu_buf_arr *buf_arr;
	kova_gpu_eth_rxq *const *rxqs;
	uint32_t job_size;
	uint32_t max_rx_packets;
	uint64_t timeout_ns;
};
static_assert(offsetof(eth_bidir_kernel_params, txqs) == 24 && offsetof(eth_bidir_kernel_params, buf_arr) == 32 &&
	      offsetof(eth_bidir_kernel_params, rxqs) == 40 && offsetof(eth_bidir_kernel_params, job_size) == 48 &&
	      offsetof(eth_bidir_kernel_params, max_rx_packets) == 52 &&
	      offsetof(eth_bidir_kernel_params, timeout_ns) == 56 && sizeof(eth_bidir_kernel_params) == 64);

// The receive limits of the receive and bidirectional kernels.
struct eth_rx_limits {
	uint32_t max_rx_packets = 2048;
	uint64_t timeout_ns = 2000;
};

// Reads "kova_tessel.eth-rx-max-rx-packets" and "kova_tessel.eth-rx-timeout-ns" (a suffix after the
// number is ignored): 6 for a text that is no number, more than 2048 packets, or both 0.
eth_rx_limits read_eth_rx_limits(const object::attributes &attributes);

class kova_tessel_eth_step_base : public kova_tessel_base_step {
public:
	[[nodiscard]] uint32_t get_companion_worker_id() const override { return m_worker_id; }
	std::unique_ptr<utility::async::sequence> start_async_teardown() override;
	// Raises the stop byte; then reports the kernel's failed sends (code 17).
	void stop() override;

protected:
	kova_tessel_eth_step_base(const attributes &attributes, const runtime_state &state, kova_pe *pe);
	std::unique_ptr<utility::async::sequence> create_worker(const char *worker_type, uint32_t buffer_count,
								uint32_t buffer_size, uint32_t burst_size);

	const dl::kova_eth_api *m_eth_api;
	uint32_t m_worker_id = 0;
	// The send queues whose failed sends stop reports; null for the receive step.
	const utility::gpu_eth_txq *m_reported_txq = nullptr;
	uint64_t m_send_errors_reported = 0;
};

class kova_tessel_eth_rx_step final : public kova_tessel_eth_step_base {
public:
	kova_tessel_eth_rx_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
				completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);
	~kova_tessel_eth_rx_step() override;

	[[nodiscard]] const char *get_name() const override;
	std::unique_ptr<utility::async::sequence> start_async_setup() override;
	void start() override;

	[[nodiscard]] const eth_recv_kernel_params &kernel_params() const noexcept { return m_params; }
	[[nodiscard]] const utility::gpu_eth_rxq &queues() const noexcept { return *m_rxq; }

private:
	eth_recv_kernel_params m_params{};
	std::unique_ptr<utility::gpu_eth_rxq> m_rxq;
};

class kova_tessel_eth_tx_step final : public kova_tessel_eth_step_base {
public:
	kova_tessel_eth_tx_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
				completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);
	~kova_tessel_eth_tx_step() override;

	[[nodiscard]] const char *get_name() const override;
	std::unique_ptr<utility::async::sequence> start_async_setup() override;
	void start() override;

	[[nodiscard]] const eth_send_kernel_params &kernel_params() const noexcept { return m_params; }
	[[nodiscard]] const utility::gpu_eth_txq &queues() const noexcept { return *m_txq; }

private:
	eth_send_kernel_params m_params{};
	std::unique_ptr<utility::gpu_eth_txq> m_txq;
};

class kova_tessel_eth_bidir_step final : public kova_tessel_eth_step_base {
public:
	kova_tessel_eth_bidir_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
				   completion_callback success_cb, completion_callback error_cb,
				   kova_data ctx_user_data);
	~kova_tessel_eth_bidir_step() override;

	[[nodiscard]] const char *get_name() const override;
	std::unique_ptr<utility::async::sequence> start_async_setup() override;
	void start() override;

	[[nodiscard]] const eth_bidir_kernel_params &kernel_params() const noexcept { return m_params; }
	[[nodiscard]] const utility::gpu_eth_txq &send_queues() const noexcept { return *m_txq; }
	[[nodiscard]] const utility::gpu_eth_rxq &receive_queues() const noexcept { return *m_rxq; }

private:
	eth_bidir_kernel_params m_params{};
	std::unique_ptr<utility::gpu_eth_txq> m_txq;
	std::unique_ptr<utility::gpu_eth_rxq> m_rxq;
};

} // namespace kova::bench::step
