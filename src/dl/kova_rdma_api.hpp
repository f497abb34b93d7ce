// Function table of the RDMA library (libkova_rdma.so.2).
#pragma once

#include "dl/impl/api_table.hpp"

#include <kova/rdma.h>

#include <memory>
#include <string>

// The functions of the table, in table order.
#define KOVA_RDMA_API_FUNCTIONS(X) \
	X(kova_rdma_create) \
	X(kova_rdma_destroy) \
	X(kova_rdma_as_ctx) \
	X(kova_rdma_export) \
	X(kova_rdma_connect) \
	X(kova_rdma_cap_get_max_recv_queue_size) \
	X(kova_rdma_cap_get_max_send_queue_size) \
	X(kova_rdma_cap_get_max_send_buf_list_len) \
	X(kova_rdma_cap_get_max_message_size) \
	X(kova_rdma_cap_get_gid_table_size) \
	X(kova_rdma_cap_get_gid) \
	X(kova_rdma_cap_transport_type_is_supported) \
	X(kova_rdma_set_send_queue_size) \
	X(kova_rdma_set_recv_queue_size) \
	X(kova_rdma_set_max_send_buf_list_len) \
	X(kova_rdma_set_transport_type) \
	X(kova_rdma_set_mtu) \
	X(kova_rdma_set_permissions) \
	X(kova_rdma_set_grh_enabled) \
	X(kova_rdma_set_gid_index) \
	X(kova_rdma_set_sl) \
	X(kova_rdma_get_send_queue_size) \
	X(kova_rdma_get_recv_queue_size) \
	X(kova_rdma_get_max_send_buf_list_len) \
	X(kova_rdma_get_transport_type) \
	X(kova_rdma_get_mtu) \
	X(kova_rdma_get_permissions) \
	X(kova_rdma_get_grh_enabled) \
	X(kova_rdma_get_gid_index) \
	X(kova_rdma_get_sl) \
	X(kova_rdma_get_dpa_handle) \
	X(kova_rdma_get_gpu_handle) \
	X(kova_rdma_cap_task_receive_is_supported) \
	X(kova_rdma_cap_task_receive_get_max_dst_buf_list_len) \
	X(kova_rdma_task_receive_set_conf) \
	X(kova_rdma_task_receive_set_dst_buf_list_len) \
	X(kova_rdma_task_receive_get_dst_buf_list_len) \
	X(kova_rdma_task_receive_allocate_init) \
	X(kova_rdma_task_receive_as_task) \
	X(kova_rdma_task_receive_set_dst_buf) \
	X(kova_rdma_task_receive_get_dst_buf) \
	X(kova_rdma_task_receive_get_result_opcode) \
	X(kova_rdma_task_receive_get_result_len) \
	X(kova_rdma_task_receive_get_result_immediate_data) \
	X(kova_rdma_cap_task_send_is_supported) \
	X(kova_rdma_task_send_set_conf) \
	X(kova_rdma_task_send_allocate_init) \
	X(kova_rdma_task_send_as_task) \
	X(kova_rdma_task_send_set_src_buf) \
	X(kova_rdma_task_send_get_src_buf) \
	X(kova_rdma_cap_task_send_imm_is_supported) \
	X(kova_rdma_task_send_imm_set_conf) \
	X(kova_rdma_task_send_imm_allocate_init) \
	X(kova_rdma_task_send_imm_as_task) \
	X(kova_rdma_task_send_imm_set_src_buf) \
	X(kova_rdma_task_send_imm_get_src_buf) \
	X(kova_rdma_task_send_imm_set_immediate_data) \
	X(kova_rdma_task_send_imm_get_immediate_data) \
	X(kova_rdma_cap_task_read_is_supported) \
	X(kova_rdma_task_read_set_conf) \
	X(kova_rdma_task_read_allocate_init) \
	X(kova_rdma_task_read_as_task) \
	X(kova_rdma_task_read_set_src_buf) \
	X(kova_rdma_task_read_get_src_buf) \
	X(kova_rdma_task_read_set_dst_buf) \
	X(kova_rdma_task_read_get_dst_buf) \
	X(kova_rdma_task_read_get_result_len) \
	X(kova_rdma_cap_task_write_is_supported) \
	X(kova_rdma_task_write_set_conf) \
	X(kova_rdma_task_write_allocate_init) \
	X(kova_rdma_task_write_as_task) \
	X(kova_rdma_task_write_set_src_buf) \
	X(kova_rdma_task_write_get_src_buf) \
	X(kova_rdma_task_write_set_dst_buf) \
	X(kova_rdma_task_write_get_dst_buf) \
	X(kova_rdma_cap_task_write_imm_is_supported) \
	X(kova_rdma_task_write_imm_set_conf) \
	X(kova_rdma_task_write_imm_allocate_init) \
	X(kova_rdma_task_write_imm_as_task) \
	X(kova_rdma_task_write_imm_set_src_buf) \
	X(kova_rdma_task_write_imm_get_src_buf) \
	X(kova_rdma_task_write_imm_set_dst_buf) \
	X(kova_rdma_task_write_imm_get_dst_buf) \
	X(kova_rdma_task_write_imm_set_immediate_data) \
	X(kova_rdma_task_write_imm_get_immediate_data) \
	X(kova_rdma_cap_task_atomic_cmp_swp_is_supported) \
	X(kova_rdma_task_atomic_cmp_swp_set_conf) \
	X(kova_rdma_task_atomic_cmp_swp_allocate_init) \
	X(kova_rdma_task_atomic_cmp_swp_as_task) \
	X(kova_rdma_task_atomic_cmp_swp_set_dst_buf) \
	X(kova_rdma_task_atomic_cmp_swp_get_dst_buf) \
	X(kova_rdma_task_atomic_cmp_swp_set_result_buf) \
	X(kova_rdma_task_atomic_cmp_swp_get_result_buf) \
	X(kova_rdma_task_atomic_cmp_swp_set_cmp_data) \
	X(kova_rdma_task_atomic_cmp_swp_get_cmp_data) \
	X(kova_rdma_task_atomic_cmp_swp_set_swap_data) \
	X(kova_rdma_task_atomic_cmp_swp_get_swap_data) \
	X(kova_rdma_cap_task_atomic_fetch_add_is_supported) \
	X(kova_rdma_task_atomic_fetch_add_set_conf) \
	X(kova_rdma_task_atomic_fetch_add_allocate_init) \
	X(kova_rdma_task_atomic_fetch_add_as_task) \
	X(kova_rdma_task_atomic_fetch_add_set_dst_buf) \
	X(kova_rdma_task_atomic_fetch_add_get_dst_buf) \
	X(kova_rdma_task_atomic_fetch_add_set_result_buf) \
	X(kova_rdma_task_atomic_fetch_add_get_result_buf) \
	X(kova_rdma_task_atomic_fetch_add_set_add_data) \
	X(kova_rdma_task_atomic_fetch_add_get_add_data) \
	X(kova_rdma_cap_task_remote_net_sync_event_get_is_supported) \
	X(kova_rdma_task_remote_net_sync_event_get_set_conf) \
	X(kova_rdma_task_remote_net_sync_event_get_allocate_init) \
	X(kova_rdma_task_remote_net_sync_event_get_as_task) \
	X(kova_rdma_task_remote_net_sync_event_get_set_sync_event) \
	X(kova_rdma_task_remote_net_sync_event_get_set_dst_buf) \
	X(kova_rdma_task_remote_net_sync_event_get_get_dst_buf) \
	X(kova_rdma_task_remote_net_sync_event_get_get_result_len) \
	X(kova_rdma_cap_task_remote_net_sync_event_notify_set_is_supported) \
	X(kova_rdma_task_remote_net_sync_event_notify_set_set_conf) \
	X(kova_rdma_task_remote_net_sync_event_notify_set_allocate_init) \
	X(kova_rdma_task_remote_net_sync_event_notify_set_as_task) \
	X(kova_rdma_task_remote_net_sync_event_notify_set_set_sync_event) \
	X(kova_rdma_task_remote_net_sync_event_notify_set_get_sync_event) \
	X(kova_rdma_task_remote_net_sync_event_notify_set_set_src_buf) \
	X(kova_rdma_task_remote_net_sync_event_notify_set_get_src_buf) \
	X(kova_rdma_cap_task_remote_net_sync_event_notify_add_is_supported) \
	X(kova_rdma_task_remote_net_sync_event_notify_add_set_conf) \
	X(kova_rdma_task_remote_net_sync_event_notify_add_allocate_init) \
	X(kova_rdma_task_remote_net_sync_event_notify_add_as_task) \
	X(kova_rdma_task_remote_net_sync_event_notify_add_set_sync_event) \
	X(kova_rdma_task_remote_net_sync_event_notify_add_get_sync_event) \
	X(kova_rdma_task_remote_net_sync_event_notify_add_set_result_buf) \
	X(kova_rdma_task_remote_net_sync_event_notify_add_get_result_buf) \
	X(kova_rdma_task_remote_net_sync_event_notify_add_set_add_data) \
	X(kova_rdma_task_remote_net_sync_event_notify_add_get_add_data) \
	X(kova_rdma_dpa_completion_attach)

namespace kova::bench::dl {

struct kova_rdma_api {
	std::shared_ptr<handle_impl> handle;
	std::string path;
	KOVA_RDMA_API_FUNCTIONS(KOVA_DL_FUNCTION)

	// The process-wide table, or null when libkova_rdma.so.2 is not installed (decided once per process).
	// Throws KOVA_ERROR_INVALID_VALUE naming the first listed function the library lacks; the next call tries
	// again.
	static const kova_rdma_api *singleton();
};

} // namespace kova::bench::dl
