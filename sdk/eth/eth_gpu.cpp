// The GPU side of the Ethernet queues: the packet memory of cyclic receive queues, the handles that
// kernels drive the queues through, and the send-error event of GPU send queues.
#include "eth_internal.hpp"

#include <kova_internal/capability.hpp>

#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/mmap.h>

using kova::sdk::control_call;

KOVA_EXPORT kova_error kova_eth_rxq_set_pkt_buf(kova_eth_rxq *rxq, kova_mmap *mmap, uint32_t offset, uint32_t size)
{
	if (rxq == nullptr || mmap == nullptr || size == 0)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_eth_rxq_set_pkt_buf", true, size))
		return forced;
	if (rxq->ctx.state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	void *addr = nullptr;
	size_t len = 0;
	if (kova_error const err = kova_mmap_get_memrange(mmap, &addr, &len))
		return err;
	if (uint64_t{offset} + size > len)
		return KOVA_ERROR_INVALID_VALUE;
	rxq->pkt_buf = static_cast<uint8_t *>(addr) + offset;
	rxq->pkt_buf_size = size;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_eth_rxq_get_gpu_handle(const kova_eth_rxq *rxq, kova_gpu_eth_rxq **gpu_rxq)
{
	if (rxq == nullptr || gpu_rxq == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_eth_rxq_get_gpu_handle"))
		return forced;
	if (rxq->ctx.gpu_datapath == nullptr || rxq->ctx.state != KOVA_CTX_STATE_RUNNING)
		return KOVA_ERROR_BAD_STATE;
	*gpu_rxq = const_cast<kova_gpu_eth_rxq *>(&rxq->gpu);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_eth_rxq_estimate_packet_buf_size(uint32_t type, uint32_t rate_mbps,
							     uint16_t pkt_max_time_us, uint32_t max_packet_size,
							     uint32_t max_burst_size, uint32_t *buf_size)
{
	if (buf_size == nullptr || type != KOVA_ETH_RXQ_TYPE_CYCLIC || max_packet_size == 0)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_eth_rxq_estimate_packet_buf_size", true, max_packet_size))
		return forced;
	// Room for what arrives at the rate within the time window, and never less than a burst (at least one
	// packet), in whole packets.
	uint64_t const window_bytes = uint64_t{rate_mbps} * pkt_max_time_us / 8;
	uint64_t packets = (window_bytes + max_packet_size - 1) / max_packet_size;
	if (packets < max_burst_size)
		packets = max_burst_size;
	if (packets == 0)
		packets = 1;
	uint64_t const size = packets * max_packet_size;
	if (size > UINT32_MAX)
		return KOVA_ERROR_INVALID_VALUE;
	*buf_size = static_cast<uint32_t>(size);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_eth_txq_get_gpu_handle(const kova_eth_txq *txq, kova_gpu_eth_txq **gpu_txq)
{
	if (txq == nullptr || gpu_txq == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_eth_txq_get_gpu_handle"))
		return forced;
	if (txq->ctx.gpu_datapath == nullptr || txq->ctx.state != KOVA_CTX_STATE_RUNNING)
		return KOVA_ERROR_BAD_STATE;
	*gpu_txq = const_cast<kova_gpu_eth_txq *>(&txq->gpu);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_eth_txq_gpu_event_error_send_packet_register(
	kova_eth_txq *txq, kova_eth_txq_gpu_event_error_send_packet_cb_t error_cb, kova_data user_data)
{
	if (txq == nullptr || error_cb == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_eth_txq_gpu_event_error_send_packet_register"))
		return forced;
	if (txq->ctx.state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	txq->gpu_error_cb = error_cb;
	txq->gpu_error_user_data = user_data;
	return KOVA_SUCCESS;
}
