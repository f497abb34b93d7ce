// Function table of the AES-GCM library (libkova_aes_gcm.so.2).
#pragma once

#include "dl/impl/api_table.hpp"

#include <kova/aes_gcm.h>

#include <memory>
#include <string>

// The functions of the table, in table order.
#define KOVA_AES_GCM_API_FUNCTIONS(X) \
	X(kova_aes_gcm_create) \
	X(kova_aes_gcm_destroy) \
	X(kova_aes_gcm_as_ctx) \
	X(kova_aes_gcm_cap_get_max_num_tasks) \
	X(kova_aes_gcm_key_create) \
	X(kova_aes_gcm_key_destroy) \
	X(kova_aes_gcm_cap_task_encrypt_is_supported) \
	X(kova_aes_gcm_cap_task_encrypt_get_max_iv_len) \
	X(kova_aes_gcm_cap_task_encrypt_is_tag_96_supported) \
	X(kova_aes_gcm_cap_task_encrypt_is_tag_128_supported) \
	X(kova_aes_gcm_cap_task_encrypt_is_key_type_supported) \
	X(kova_aes_gcm_cap_task_encrypt_get_max_buf_size) \
	X(kova_aes_gcm_cap_task_encrypt_get_max_list_buf_num_elem) \
	X(kova_aes_gcm_task_encrypt_set_conf) \
	X(kova_aes_gcm_task_encrypt_alloc_init) \
	X(kova_aes_gcm_task_encrypt_as_task) \
	X(kova_aes_gcm_task_encrypt_set_src) \
	X(kova_aes_gcm_task_encrypt_get_src) \
	X(kova_aes_gcm_task_encrypt_set_dst) \
	X(kova_aes_gcm_task_encrypt_get_dst) \
	X(kova_aes_gcm_task_encrypt_set_key) \
	X(kova_aes_gcm_task_encrypt_get_key) \
	X(kova_aes_gcm_task_encrypt_set_iv) \
	X(kova_aes_gcm_task_encrypt_get_iv) \
	X(kova_aes_gcm_task_encrypt_set_tag_size) \
	X(kova_aes_gcm_task_encrypt_get_tag_size) \
	X(kova_aes_gcm_task_encrypt_set_aad_size) \
	X(kova_aes_gcm_task_encrypt_get_aad_size) \
	X(kova_aes_gcm_cap_task_decrypt_is_supported) \
	X(kova_aes_gcm_cap_task_decrypt_get_max_iv_len) \
	X(kova_aes_gcm_cap_task_decrypt_is_tag_96_supported) \
	X(kova_aes_gcm_cap_task_decrypt_is_tag_128_supported) \
	X(kova_aes_gcm_cap_task_decrypt_is_key_type_supported) \
	X(kova_aes_gcm_cap_task_decrypt_get_max_buf_size) \
	X(kova_aes_gcm_cap_task_decrypt_get_max_list_buf_num_elem) \
	X(kova_aes_gcm_task_decrypt_set_conf) \
	X(kova_aes_gcm_task_decrypt_alloc_init) \
	X(kova_aes_gcm_task_decrypt_as_task) \
	X(kova_aes_gcm_task_decrypt_set_src) \
	X(kova_aes_gcm_task_decrypt_get_src) \
	X(kova_aes_gcm_task_decrypt_set_dst) \
	X(kova_aes_gcm_task_decrypt_get_dst) \
	X(kova_aes_gcm_task_decrypt_set_key) \
	X(kova_aes_gcm_task_decrypt_get_key) \
	X(kova_aes_gcm_task_decrypt_set_iv) \
	X(kova_aes_gcm_task_decrypt_get_iv) \
	X(kova_aes_gcm_task_decrypt_set_tag_size) \
	X(kova_aes_gcm_task_decrypt_get_tag_size) \
	X(kova_aes_gcm_task_decrypt_set_aad_size) \
	X(kova_aes_gcm_task_decrypt_get_aad_size)

namespace kova::bench::dl {

struct kova_aes_gcm_api {
	std::shared_ptr<handle_impl> handle;
	std::string path;
	KOVA_AES_GCM_API_FUNCTIONS(KOVA_DL_FUNCTION)

	// Queue settings of newer libraries; never looked up, so always null (callers skip them when null).
	kova_error (*kova_aes_gcm_set_log_qp_depth)(kova_aes_gcm *aes_gcm, uint8_t log_qp_depth){};
	kova_error (*kova_aes_gcm_set_log_num_qps)(kova_aes_gcm *aes_gcm, uint8_t log_num_qps){};

	// The process-wide table, or null when libkova_aes_gcm.so.2 is not installed (decided once per process).
	// Throws KOVA_ERROR_INVALID_VALUE naming the first listed function the library lacks; the next call tries
	// again.
	static const kova_aes_gcm_api *singleton();
};

} // namespace kova::bench::dl
