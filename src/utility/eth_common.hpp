// Owners of the Ethernet library's receive and send queues, shared by the Ethernet steps and the
// companion's Ethernet workers. A started receive queue takes a queue id and has its device's
// traffic steered to it through the flow library: one flow port and one root pipe per device,
// shared by all receive queues of the process on that device and rebuilt as queues come and go.
#pragma once

#include "dl/kova_eth_api.hpp"
#include "dl/kova_flow_api.hpp"
#include "utility/dpdk_common.hpp"

#include <kova/eth.h>
#include <kova/types.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace kova::bench::utility {

// The largest frame the Ethernet steps and workers receive into a buffer of this size.
inline constexpr uint32_t eth_max_frame_size = 1518;
inline uint32_t eth_rx_max_packet_size(uint32_t buffer_size) noexcept
{
	return buffer_size < eth_max_frame_size ? buffer_size : eth_max_frame_size;
}

class eth_rxq {
public:
	struct configuration {
		uint32_t memory_model;
		uint32_t max_packet_size;
		uint32_t num_tasks;
		uint32_t max_burst_size;
	};

	struct callbacks {
		kova_task_completion_cb_t task_completion;
		kova_task_completion_cb_t task_error;
	};

	// This queue's id and its share of the device's flow port.
	class flow_data;

	eth_rxq(const configuration &cfg, kova_data ctx_user_data, kova_dev *dev, kova_pe *pe, dpdk_context *dpdk);
	~eth_rxq();
	eth_rxq(const eth_rxq &) = delete;
	eth_rxq &operator=(const eth_rxq &) = delete;
	eth_rxq(eth_rxq &&) = delete;
	eth_rxq &operator=(eth_rxq &&) = delete;

	void configure_task_pool(callbacks cbs);
	void start();
	kova_eth_rxq_task_recv *create_task(kova_buf *packet_buffer, kova_data task_user);
	void destroy_all_tasks() noexcept;

	[[nodiscard]] kova_eth_rxq *get_kova_obj() noexcept { return m_queue; }
	[[nodiscard]] const configuration &get_cfg() const noexcept { return m_cfg; }
	// The queue id the flow steering forwards to; 0 before start.
	[[nodiscard]] uint16_t get_queue_id() const noexcept;

private:
	const dl::kova_eth_api *m_api;
	configuration m_cfg;
	callbacks m_callbacks{};
	kova_pe *m_pe;
	kova_dev *m_dev;
	kova_eth_rxq *m_queue = nullptr;
	std::vector<kova_task *> m_tasks;
	std::unique_ptr<flow_data> m_flow;
	uint16_t m_port_id;
};

class eth_txq {
public:
	struct configuration {
		uint32_t memory_model;
		uint32_t max_packet_size;
		uint32_t num_tasks;
		uint32_t max_burst_size;
		uint32_t l3_chksum_offload;
		uint32_t l4_chksum_offload;
	};

	struct callbacks {
		kova_task_completion_cb_t task_completion;
		kova_task_completion_cb_t task_error;
	};

	eth_txq(const configuration &cfg, kova_data ctx_user_data, kova_dev *dev, kova_pe *pe);
	~eth_txq();
	eth_txq(const eth_txq &) = delete;
	eth_txq &operator=(const eth_txq &) = delete;
	eth_txq(eth_txq &&) = delete;
	eth_txq &operator=(eth_txq &&) = delete;

	void configure_task_pool(callbacks cbs);
	void start();
	kova_eth_txq_task_send *create_task(const kova_buf *packet_buffer, kova_data task_user);
	void destroy_all_tasks() noexcept;

	[[nodiscard]] kova_eth_txq *get_kova_obj() noexcept { return m_queue; }
	[[nodiscard]] const configuration &get_cfg() const noexcept { return m_cfg; }

private:
	const dl::kova_eth_api *m_api;
	configuration m_cfg;
	callbacks m_callbacks{};
	kova_pe *m_pe;
	kova_eth_txq *m_queue = nullptr;
	std::vector<kova_task *> m_tasks;
};

} // namespace kova::bench::utility
