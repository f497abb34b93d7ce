// Function table of the erasure-coding library (libkova_erasure_coding.so.2).
#pragma once

#include "dl/impl/api_table.hpp"

#include <kova/erasure_coding.h>

#include <memory>
#include <string>

// The functions of the table, in table order.
#define KOVA_ERASURE_CODING_API_FUNCTIONS(X) \
	X(kova_ec_create) \
	X(kova_ec_destroy) \
	X(kova_ec_as_ctx) \
	X(kova_ec_cap_get_max_block_size) \
	X(kova_ec_cap_get_max_buf_list_len) \
	X(kova_ec_matrix_create) \
	X(kova_ec_matrix_create_from_raw) \
	X(kova_ec_matrix_create_update) \
	X(kova_ec_matrix_create_recover) \
	X(kova_ec_matrix_destroy) \
	X(kova_ec_cap_task_galois_mul_is_supported) \
	X(kova_ec_task_galois_mul_set_conf) \
	X(kova_ec_task_galois_mul_allocate_init) \
	X(kova_ec_task_galois_mul_as_task) \
	X(kova_ec_task_galois_mul_set_coding_matrix) \
	X(kova_ec_task_galois_mul_get_coding_matrix) \
	X(kova_ec_task_galois_mul_set_src_buf) \
	X(kova_ec_task_galois_mul_get_src_buf) \
	X(kova_ec_task_galois_mul_set_dst_buf) \
	X(kova_ec_task_galois_mul_get_dst_buf) \
	X(kova_ec_cap_task_create_is_supported) \
	X(kova_ec_task_create_set_conf) \
	X(kova_ec_task_create_allocate_init) \
	X(kova_ec_task_create_as_task) \
	X(kova_ec_task_create_set_coding_matrix) \
	X(kova_ec_task_create_get_coding_matrix) \
	X(kova_ec_task_create_set_original_data_blocks) \
	X(kova_ec_task_create_get_original_data_blocks) \
	X(kova_ec_task_create_set_rdnc_blocks) \
	X(kova_ec_task_create_get_rdnc_blocks) \
	X(kova_ec_cap_task_update_is_supported) \
	X(kova_ec_task_update_set_conf) \
	X(kova_ec_task_update_allocate_init) \
	X(kova_ec_task_update_as_task) \
	X(kova_ec_task_update_set_update_matrix) \
	X(kova_ec_task_update_get_update_matrix) \
	X(kova_ec_task_update_set_original_updated_and_rdnc_blocks) \
	X(kova_ec_task_update_get_original_updated_and_rdnc_blocks) \
	X(kova_ec_task_update_set_updated_rdnc_blocks) \
	X(kova_ec_task_update_get_updated_rdnc_blocks) \
	X(kova_ec_cap_task_recover_is_supported) \
	X(kova_ec_task_recover_set_conf) \
	X(kova_ec_task_recover_allocate_init) \
	X(kova_ec_task_recover_as_task) \
	X(kova_ec_task_recover_set_recover_matrix) \
	X(kova_ec_task_recover_get_recover_matrix) \
	X(kova_ec_task_recover_set_available_blocks) \
	X(kova_ec_task_recover_get_available_blocks) \
	X(kova_ec_task_recover_set_recovered_data_blocks) \
	X(kova_ec_task_recover_get_recovered_data)

namespace kova::bench::dl {

struct kova_erasure_coding_api {
	std::shared_ptr<handle_impl> handle;
	std::string path;
	KOVA_ERASURE_CODING_API_FUNCTIONS(KOVA_DL_FUNCTION)

	// The process-wide table, or null when libkova_erasure_coding.so.2 is not installed (decided once per process).
	// Throws KOVA_ERROR_INVALID_VALUE naming the first listed function the library lacks; the next call tries
	// again.
	static const kova_erasure_coding_api *singleton();
};

} // namespace kova::bench::dl
