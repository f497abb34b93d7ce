// Function table of the communication channel library (libkova_comch.so.2).
#pragma once

#include "dl/impl/api_table.hpp"

#include <kova/comch.h>

#include <memory>
#include <string>

// The functions of the table, in table order.
#define KOVA_COMCH_API_FUNCTIONS(X) \
	X(kova_comch_connection_set_user_data) \
	X(kova_comch_connection_get_user_data) \
	X(kova_comch_server_get_server_ctx) \
	X(kova_comch_client_get_client_ctx) \
	X(kova_comch_cap_get_max_name_len) \
	X(kova_comch_cap_get_max_msg_size) \
	X(kova_comch_cap_get_max_recv_queue_size) \
	X(kova_comch_cap_get_max_clients) \
	X(kova_comch_server_create) \
	X(kova_comch_server_destroy) \
	X(kova_comch_cap_server_is_supported) \
	X(kova_comch_server_set_max_msg_size) \
	X(kova_comch_server_get_max_msg_size) \
	X(kova_comch_server_set_recv_queue_size) \
	X(kova_comch_server_get_recv_queue_size) \
	X(kova_comch_server_get_device) \
	X(kova_comch_server_get_device_rep) \
	X(kova_comch_server_as_ctx) \
	X(kova_comch_server_disconnect) \
	X(kova_comch_client_create) \
	X(kova_comch_client_destroy) \
	X(kova_comch_cap_client_is_supported) \
	X(kova_comch_client_set_max_msg_size) \
	X(kova_comch_client_get_max_msg_size) \
	X(kova_comch_client_set_recv_queue_size) \
	X(kova_comch_client_get_recv_queue_size) \
	X(kova_comch_client_get_device) \
	X(kova_comch_client_as_ctx) \
	X(kova_comch_client_get_connection) \
	X(kova_comch_cap_get_max_send_tasks) \
	X(kova_comch_server_task_send_set_conf) \
	X(kova_comch_client_task_send_set_conf) \
	X(kova_comch_server_task_send_alloc_init) \
	X(kova_comch_client_task_send_alloc_init) \
	X(kova_comch_task_send_as_task) \
	X(kova_comch_server_event_msg_recv_register) \
	X(kova_comch_client_event_msg_recv_register) \
	X(kova_comch_server_event_connection_status_changed_register) \
	X(kova_comch_connection_update_info) \
	X(kova_comch_connection_get_counter) \
	X(kova_comch_server_event_consumer_register) \
	X(kova_comch_client_event_consumer_register) \
	X(kova_comch_consumer_create) \
	X(kova_comch_consumer_destroy) \
	X(kova_comch_consumer_cap_is_supported) \
	X(kova_comch_consumer_get_id) \
	X(kova_comch_consumer_cap_get_max_num_tasks) \
	X(kova_comch_consumer_cap_get_max_buf_size) \
	X(kova_comch_consumer_cap_get_max_buf_list_len) \
	X(kova_comch_consumer_cap_get_max_consumers) \
	X(kova_comch_consumer_cap_get_max_imm_data_len) \
	X(kova_comch_consumer_get_imm_data_len) \
	X(kova_comch_consumer_set_imm_data_len) \
	X(kova_comch_consumer_as_ctx) \
	X(kova_comch_consumer_completion_create) \
	X(kova_comch_consumer_completion_set_dpa_thread) \
	X(kova_comch_consumer_completion_destroy) \
	X(kova_comch_consumer_completion_start) \
	X(kova_comch_consumer_completion_stop) \
	X(kova_comch_consumer_completion_get_dpa_handle) \
	X(kova_comch_consumer_completion_set_max_num_consumers) \
	X(kova_comch_consumer_completion_get_max_num_consumers) \
	X(kova_comch_consumer_completion_set_max_num_recv) \
	X(kova_comch_consumer_completion_get_max_num_recv) \
	X(kova_comch_consumer_set_dev_max_num_recv) \
	X(kova_comch_consumer_set_completion) \
	X(kova_comch_consumer_get_dpa_handle) \
	X(kova_comch_consumer_task_post_recv_set_conf) \
	X(kova_comch_consumer_task_post_recv_alloc_init) \
	X(kova_comch_consumer_task_post_recv_get_buf) \
	X(kova_comch_consumer_task_post_recv_set_buf) \
	X(kova_comch_consumer_task_post_recv_get_producer_id) \
	X(kova_comch_consumer_task_post_recv_get_imm_data) \
	X(kova_comch_consumer_task_post_recv_get_imm_data_len) \
	X(kova_comch_consumer_task_post_recv_as_task) \
	X(kova_comch_producer_create) \
	X(kova_comch_producer_destroy) \
	X(kova_comch_producer_cap_is_supported) \
	X(kova_comch_producer_get_id) \
	X(kova_comch_producer_cap_get_max_num_tasks) \
	X(kova_comch_producer_cap_get_max_buf_size) \
	X(kova_comch_producer_cap_get_max_buf_list_len) \
	X(kova_comch_producer_cap_get_max_producers) \
	X(kova_comch_producer_as_ctx) \
	X(kova_comch_producer_set_dev_max_num_send) \
	X(kova_comch_producer_dpa_completion_attach) \
	X(kova_comch_producer_get_dpa_handle) \
	X(kova_comch_producer_task_send_set_conf) \
	X(kova_comch_producer_task_send_alloc_init) \
	X(kova_comch_producer_task_send_get_buf) \
	X(kova_comch_producer_task_send_set_buf) \
	X(kova_comch_producer_task_send_get_consumer_id) \
	X(kova_comch_producer_task_send_set_consumer_id) \
	X(kova_comch_producer_task_send_get_imm_data) \
	X(kova_comch_producer_task_send_get_imm_data_len) \
	X(kova_comch_producer_task_send_set_imm_data) \
	X(kova_comch_producer_task_send_as_task)

namespace kova::bench::dl {

struct kova_comch_api {
	std::shared_ptr<handle_impl> handle;
	std::string path;
	KOVA_COMCH_API_FUNCTIONS(KOVA_DL_FUNCTION)

	// The process-wide table, or null when libkova_comch.so.2 is not installed (decided once per process).
	// Throws KOVA_ERROR_INVALID_VALUE naming the first listed function the library lacks; the next call tries
	// again.
	static const kova_comch_api *singleton();
};

} // namespace kova::bench::dl
