// Function table of the SHA library (libkova_sha.so.2).
#pragma once

#include "dl/impl/api_table.hpp"

#include <kova/sha.h>

#include <memory>
#include <string>

// The functions of the table, in table order.
#define KOVA_SHA_API_FUNCTIONS(X) \
	X(kova_sha_create) \
	X(kova_sha_destroy) \
	X(kova_sha_as_ctx) \
	X(kova_sha_cap_task_hash_get_supported) \
	X(kova_sha_cap_task_partial_hash_get_supported) \
	X(kova_sha_cap_get_max_list_buf_num_elem) \
	X(kova_sha_cap_get_max_src_buf_size) \
	X(kova_sha_cap_get_min_dst_buf_size) \
	X(kova_sha_cap_get_partial_hash_block_size) \
	X(kova_sha_task_hash_set_conf) \
	X(kova_sha_task_hash_alloc_init) \
	X(kova_sha_task_hash_set_src) \
	X(kova_sha_task_hash_get_src) \
	X(kova_sha_task_hash_set_dst) \
	X(kova_sha_task_hash_get_dst) \
	X(kova_sha_task_hash_set_algorithm) \
	X(kova_sha_task_hash_get_algorithm) \
	X(kova_sha_task_hash_as_task) \
	X(kova_sha_task_partial_hash_set_conf) \
	X(kova_sha_task_partial_hash_alloc_init) \
	X(kova_sha_task_partial_hash_reset) \
	X(kova_sha_task_partial_hash_set_src) \
	X(kova_sha_task_partial_hash_get_src) \
	X(kova_sha_task_partial_hash_set_dst) \
	X(kova_sha_task_partial_hash_get_dst) \
	X(kova_sha_task_partial_hash_set_algorithm) \
	X(kova_sha_task_partial_hash_get_algorithm) \
	X(kova_sha_task_partial_hash_set_is_final_buf) \
	X(kova_sha_task_partial_hash_get_is_final) \
	X(kova_sha_task_partial_hash_get_has_result) \
	X(kova_sha_task_partial_hash_as_task)

namespace kova::bench::dl {

struct kova_sha_api {
	std::shared_ptr<handle_impl> handle;
	std::string path;
	KOVA_SHA_API_FUNCTIONS(KOVA_DL_FUNCTION)

	// The process-wide table, or null when libkova_sha.so.2 is not installed (decided once per process).
	// Throws KOVA_ERROR_INVALID_VALUE naming the first listed function the library lacks; the next call tries
	// again.
	static const kova_sha_api *singleton();
};

} // namespace kova::bench::dl
