// Function table of the Ethernet library (libkova_eth.so.2).
#pragma once

#include "dl/impl/api_table.hpp"

#include <kova/eth.h>

#include <memory>
#include <string>

// The functions of the table, in table order.
#define KOVA_ETH_API_FUNCTIONS(X) \
	X(kova_eth_rxq_create) \
	X(kova_eth_rxq_destroy) \
	X(kova_eth_rxq_as_kova_ctx) \
	X(kova_eth_rxq_set_max_burst_size) \
	X(kova_eth_rxq_set_max_packet_size) \
	X(kova_eth_rxq_set_max_recv_buf_list_len) \
	X(kova_eth_rxq_set_pkt_buf) \
	X(kova_eth_rxq_set_type) \
	X(kova_eth_rxq_apply_queue_id) \
	X(kova_eth_rxq_get_gpu_handle) \
	X(kova_eth_rxq_cap_get_max_burst_size) \
	X(kova_eth_rxq_cap_get_max_recv_buf_list_len) \
	X(kova_eth_rxq_cap_get_max_packet_size) \
	X(kova_eth_rxq_cap_is_type_supported) \
	X(kova_eth_rxq_estimate_packet_buf_size) \
	X(kova_eth_rxq_task_recv_set_conf) \
	X(kova_eth_rxq_event_managed_recv_register) \
	X(kova_eth_rxq_event_batch_managed_recv_register) \
	X(kova_eth_rxq_task_recv_allocate_init) \
	X(kova_eth_rxq_task_recv_set_pkt) \
	X(kova_eth_rxq_task_recv_get_pkt) \
	X(kova_eth_rxq_task_recv_get_l3_ok) \
	X(kova_eth_rxq_event_managed_recv_get_l3_ok) \
	X(kova_eth_rxq_task_recv_get_l4_ok) \
	X(kova_eth_rxq_event_managed_recv_get_l4_ok) \
	X(kova_eth_rxq_event_managed_recv_get_status) \
	X(kova_eth_rxq_event_batch_managed_recv_pkt_array_free) \
	X(kova_eth_rxq_event_managed_recv_get_ctx) \
	X(kova_eth_rxq_task_recv_as_kova_task) \
	X(kova_eth_txq_create) \
	X(kova_eth_txq_destroy) \
	X(kova_eth_txq_as_kova_ctx) \
	X(kova_eth_txq_set_max_burst_size) \
	X(kova_eth_txq_set_max_send_buf_list_len) \
	X(kova_eth_txq_set_mss) \
	X(kova_eth_txq_set_max_lso_header_size) \
	X(kova_eth_txq_set_type) \
	X(kova_eth_txq_set_l3_chksum_offload) \
	X(kova_eth_txq_set_l4_chksum_offload) \
	X(kova_eth_txq_set_wait_on_time_offload) \
	X(kova_eth_txq_get_gpu_handle) \
	X(kova_eth_txq_cap_get_max_burst_size) \
	X(kova_eth_txq_cap_get_max_send_buf_list_len) \
	X(kova_eth_txq_cap_get_max_lso_header_size) \
	X(kova_eth_txq_cap_is_type_supported) \
	X(kova_eth_txq_cap_is_l3_chksum_offload_supported) \
	X(kova_eth_txq_cap_is_l4_chksum_offload_supported) \
	X(kova_eth_txq_cap_get_max_lso_msg_size) \
	X(kova_eth_txq_cap_get_wait_on_time_offload_supported) \
	X(kova_eth_txq_calculate_timestamp) \
	X(kova_eth_txq_task_send_set_conf) \
	X(kova_eth_txq_task_lso_send_set_conf) \
	X(kova_eth_txq_task_batch_send_set_conf) \
	X(kova_eth_txq_task_batch_lso_send_set_conf) \
	X(kova_eth_txq_task_send_allocate_init) \
	X(kova_eth_txq_task_lso_send_allocate_init) \
	X(kova_eth_txq_task_batch_send_allocate) \
	X(kova_eth_txq_task_batch_lso_send_allocate) \
	X(kova_eth_txq_task_send_set_pkt) \
	X(kova_eth_txq_task_lso_send_set_pkt_payload) \
	X(kova_eth_txq_task_lso_send_set_headers) \
	X(kova_eth_txq_task_send_get_pkt) \
	X(kova_eth_txq_task_lso_send_get_pkt_payload) \
	X(kova_eth_txq_task_lso_send_get_headers) \
	X(kova_eth_txq_task_send_as_kova_task) \
	X(kova_eth_txq_task_lso_send_as_kova_task) \
	X(kova_eth_txq_gpu_event_error_send_packet_register) \
	X(kova_eth_txq_gpu_event_notify_send_packet_register)

namespace kova::bench::dl {

struct kova_eth_api {
	std::shared_ptr<handle_impl> handle;
	std::string path;
	KOVA_ETH_API_FUNCTIONS(KOVA_DL_FUNCTION)

	// The process-wide table, or null when libkova_eth.so.2 is not installed (decided once per process).
	// Throws KOVA_ERROR_INVALID_VALUE naming the first listed function the library lacks; the next call tries
	// again.
	static const kova_eth_api *singleton();
};

} // namespace kova::bench::dl
