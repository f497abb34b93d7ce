// Ethernet receive and send queue owners.
#include "utility/eth_common.hpp"

#include "kova_exception.hpp"
#include "utility/eth_flow_ports.hpp"
#include "utility/kova_utils.hpp"

#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <cstdio>
#include <string>

namespace kova::bench::utility {

namespace {

const dl::kova_eth_api *get_eth_api_or_throw()
{
	const dl::kova_eth_api *api = dl::kova_eth_api::singleton();
	if (api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_eth library is not installed");
	return api;
}

// Frees every task it can; one still in flight stays listed for the teardown, which frees it once
// the stopped queue has delivered it.
void free_tasks(std::vector<kova_task *> &tasks) noexcept
{
	std::erase_if(tasks, [](kova_task *task) { return kova_task_free(task) == KOVA_SUCCESS; });
}

} // namespace

// The queue id of a started receive queue and its place among the targets of the device's root pipe.
class eth_rxq::flow_data {
public:
	flow_data(const dl::kova_eth_api &api, kova_eth_rxq *queue, kova_dev *dev, uint16_t port_id)
	    : m_port_id{port_id}, m_queue_id{eth_queue_ids::take()}
	{
		try {
			if (kova_error const err = api.kova_eth_rxq_apply_queue_id(queue, m_queue_id))
				KOVA_THROW(err, "Failed to apply queue id of RXQ");
			eth_flow_ports::instance().add_queue(dev, m_port_id, m_queue_id);
		} catch (...) {
			eth_queue_ids::give(m_queue_id);
			throw;
		}
	}
	flow_data(const flow_data &) = delete;
	flow_data &operator=(const flow_data &) = delete;
	~flow_data()
	{
		eth_flow_ports::instance().remove_queue(m_port_id, m_queue_id);
		eth_queue_ids::give(m_queue_id);
	}

	[[nodiscard]] uint16_t queue_id() const noexcept { return m_queue_id; }

private:
	uint16_t m_port_id;
	uint16_t m_queue_id;
};

eth_rxq::eth_rxq(const configuration &cfg, kova_data ctx_user_data, kova_dev *dev, kova_pe *pe, dpdk_context *dpdk)
    : m_api{get_eth_api_or_throw()}, m_cfg{cfg}, m_pe{pe}, m_dev{dev},
      m_port_id{dpdk != nullptr ? dpdk->get_dev_port_id() : uint16_t{0}}
{
	if (kova_error const err = m_api->kova_eth_rxq_create(dev, m_cfg.max_burst_size, m_cfg.max_packet_size, &m_queue))
		KOVA_THROW(err, "Failed to create rxq instance.");
	try {
		if (m_cfg.memory_model > 2)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
				   "Unknown rxq memory model: (" + std::to_string(m_cfg.memory_model) + ")");
		if (kova_error const err = m_api->kova_eth_rxq_set_type(m_queue, 2 - m_cfg.memory_model))
			KOVA_THROW(err, "Failed to set rxq memory model");
		m_tasks.reserve(m_cfg.num_tasks);
		kova_ctx *ctx = m_api->kova_eth_rxq_as_kova_ctx(m_queue);
		if (kova_error const err = kova_ctx_set_user_data(ctx, ctx_user_data))
			KOVA_THROW(err, "Failed to set rxq user data");
		if (kova_error const err = kova_pe_connect_ctx(m_pe, ctx))
			KOVA_THROW(err, "Unable to connect kova_pe to rxq");
	} catch (...) {
		static_cast<void>(m_api->kova_eth_rxq_destroy(m_queue));
		throw;
	}
}

eth_rxq::~eth_rxq()
{
	// Stop first: the engine delivers what is still posted, so nothing in flight is freed.
	stop_ctx(m_api->kova_eth_rxq_as_kova_ctx(m_queue), m_pe, "kova_eth_rxq");
	destroy_all_tasks();
	m_flow.reset();
	if (kova_error const err = m_api->kova_eth_rxq_destroy(m_queue))
		std::fprintf(stderr, "Failed to destroy rxq: %s\n", kova_error_get_name(err));
}

void eth_rxq::configure_task_pool(callbacks cbs)
{
	m_callbacks = cbs;
	if (kova_error const err = m_api->kova_eth_rxq_task_recv_set_conf(m_queue, cbs.task_completion, cbs.task_error,
									  m_cfg.num_tasks))
		KOVA_THROW(err, "Failed to configure rxq task pool");
}

void eth_rxq::start()
{
	if (kova_error const err = kova_ctx_start(m_api->kova_eth_rxq_as_kova_ctx(m_queue)))
		KOVA_THROW(err, "Failed to start KOVA ETH RXQ context");
	auto next = std::make_unique<flow_data>(*m_api, m_queue, m_dev, m_port_id);
	m_flow = std::move(next);
}

uint16_t eth_rxq::get_queue_id() const noexcept
{
	return m_flow ? m_flow->queue_id() : uint16_t{0};
}

kova_eth_rxq_task_recv *eth_rxq::create_task(kova_buf *packet_buffer, kova_data task_user)
{
	kova_eth_rxq_task_recv *task = nullptr;
	if (kova_error const err = m_api->kova_eth_rxq_task_recv_allocate_init(m_queue, packet_buffer, task_user, &task))
		KOVA_THROW(err, "Unable to allocate kova_eth_rxq_task_recv task");
	m_tasks.push_back(m_api->kova_eth_rxq_task_recv_as_kova_task(task));
	return task;
}

void eth_rxq::destroy_all_tasks() noexcept
{
	free_tasks(m_tasks);
}

eth_txq::eth_txq(const configuration &cfg, kova_data ctx_user_data, kova_dev *dev, kova_pe *pe)
    : m_api{get_eth_api_or_throw()}, m_cfg{cfg}, m_pe{pe}
{
	if (kova_error const err = m_api->kova_eth_txq_create(dev, m_cfg.max_burst_size, &m_queue))
		KOVA_THROW(err, "Unable to create txq instance.");
	try {
		if (m_cfg.memory_model != 0)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
				   "Unknown txq memory model: (" + std::to_string(m_cfg.memory_model) + ")");
		if (kova_error const err = m_api->kova_eth_txq_set_type(m_queue, 0))
			KOVA_THROW(err, "Failed to set txq memory model");
		if (kova_error const err = m_api->kova_eth_txq_set_l3_chksum_offload(m_queue, m_cfg.l3_chksum_offload == 1))
			KOVA_THROW(err, "Failed to set txq l3_checksum offload");
		if (kova_error const err = m_api->kova_eth_txq_set_l4_chksum_offload(m_queue, m_cfg.l4_chksum_offload == 1))
			KOVA_THROW(err, "Failed to set txq l4_checksum offload");
		m_tasks.reserve(m_cfg.num_tasks);
		kova_ctx *ctx = m_api->kova_eth_txq_as_kova_ctx(m_queue);
		if (kova_error const err = kova_ctx_set_user_data(ctx, ctx_user_data))
			KOVA_THROW(err, "Failed to set txq user data");
		if (kova_error const err = kova_pe_connect_ctx(m_pe, ctx))
			KOVA_THROW(err, "Unable to connect kova_pe to txq");
	} catch (...) {
		static_cast<void>(m_api->kova_eth_txq_destroy(m_queue));
		throw;
	}
}

eth_txq::~eth_txq()
{
	kova_ctx *ctx = m_api->kova_eth_txq_as_kova_ctx(m_queue);
	if (is_context_running(ctx)) {
		kova_error const err = kova_ctx_stop(ctx);
		if (err == KOVA_ERROR_IN_PROGRESS || err == KOVA_ERROR_IN_USE)
			stop_ctx(ctx, m_pe, "kova_eth_txq"); // sends in flight complete before their tasks are freed
		else if (err != KOVA_SUCCESS)
			std::fprintf(stderr, "Failed to stop txq ctx: %s\n", kova_error_get_name(err));
	}
	destroy_all_tasks();
	if (kova_error const err = m_api->kova_eth_txq_destroy(m_queue))
		std::fprintf(stderr, "Failed to destroy txq: %s\n", kova_error_get_name(err));
}

void eth_txq::configure_task_pool(callbacks cbs)
{
	m_callbacks = cbs;
	if (kova_error const err = m_api->kova_eth_txq_task_send_set_conf(m_queue, cbs.task_completion, cbs.task_error,
									  m_cfg.num_tasks))
		KOVA_THROW(err, "Failed to configure txq task pool");
}

void eth_txq::start()
{
	if (kova_error const err = kova_ctx_start(m_api->kova_eth_txq_as_kova_ctx(m_queue)))
		KOVA_THROW(err, "Failed to start txq ctx");
}

kova_eth_txq_task_send *eth_txq::create_task(const kova_buf *packet_buffer, kova_data task_user)
{
	kova_eth_txq_task_send *task = nullptr;
	if (kova_error const err = m_api->kova_eth_txq_task_send_allocate_init(m_queue, packet_buffer, task_user, &task))
		KOVA_THROW(err, "Unable to allocate kova_eth_txq_task_send task");
	m_tasks.push_back(m_api->kova_eth_txq_task_send_as_kova_task(task));
	return task;
}

void eth_txq::destroy_all_tasks() noexcept
{
	free_tasks(m_tasks);
}

} // namespace kova::bench::utility
