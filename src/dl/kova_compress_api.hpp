// Function table of the compression library (libkova_compress.so.2).
#pragma once

#include "dl/impl/api_table.hpp"

#include <kova/compress.h>

#include <memory>
#include <string>

// The functions of the table, in table order.
#define KOVA_COMPRESS_API_FUNCTIONS(X) \
	X(kova_compress_create) \
	X(kova_compress_destroy) \
	X(kova_compress_as_ctx) \
	X(kova_compress_cap_get_max_num_tasks) \
	X(kova_compress_cap_task_compress_deflate_is_supported) \
	X(kova_compress_cap_task_compress_deflate_get_max_buf_size) \
	X(kova_compress_cap_task_compress_deflate_get_max_buf_list_len) \
	X(kova_compress_task_compress_deflate_set_conf) \
	X(kova_compress_task_compress_deflate_alloc_init) \
	X(kova_compress_task_compress_deflate_as_task) \
	X(kova_compress_task_compress_deflate_set_src) \
	X(kova_compress_task_compress_deflate_get_src) \
	X(kova_compress_task_compress_deflate_set_dst) \
	X(kova_compress_task_compress_deflate_get_dst) \
	X(kova_compress_task_compress_deflate_get_crc_cs) \
	X(kova_compress_task_compress_deflate_get_adler_cs) \
	X(kova_compress_cap_task_decompress_deflate_is_supported) \
	X(kova_compress_cap_task_decompress_deflate_get_max_buf_size) \
	X(kova_compress_cap_task_decompress_deflate_get_max_buf_list_len) \
	X(kova_compress_task_decompress_deflate_set_conf) \
	X(kova_compress_task_decompress_deflate_alloc_init) \
	X(kova_compress_task_decompress_deflate_as_task) \
	X(kova_compress_task_decompress_deflate_set_src) \
	X(kova_compress_task_decompress_deflate_get_src) \
	X(kova_compress_task_decompress_deflate_set_dst) \
	X(kova_compress_task_decompress_deflate_get_dst) \
	X(kova_compress_task_decompress_deflate_get_crc_cs) \
	X(kova_compress_task_decompress_deflate_get_adler_cs) \
	X(kova_compress_cap_task_decompress_lz4_stream_is_supported) \
	X(kova_compress_cap_task_decompress_lz4_stream_get_max_buf_size) \
	X(kova_compress_cap_task_decompress_lz4_stream_get_max_buf_list_len) \
	X(kova_compress_task_decompress_lz4_stream_set_conf) \
	X(kova_compress_task_decompress_lz4_stream_alloc_init) \
	X(kova_compress_task_decompress_lz4_stream_as_task) \
	X(kova_compress_task_decompress_lz4_stream_set_has_block_checksum) \
	X(kova_compress_task_decompress_lz4_stream_get_has_block_checksum) \
	X(kova_compress_task_decompress_lz4_stream_set_are_blocks_independent) \
	X(kova_compress_task_decompress_lz4_stream_get_are_blocks_independent) \
	X(kova_compress_task_decompress_lz4_stream_set_src) \
	X(kova_compress_task_decompress_lz4_stream_get_src) \
	X(kova_compress_task_decompress_lz4_stream_set_dst) \
	X(kova_compress_task_decompress_lz4_stream_get_dst) \
	X(kova_compress_task_decompress_lz4_stream_get_crc_cs) \
	X(kova_compress_task_decompress_lz4_stream_get_xxh_cs) \
	X(kova_compress_cap_task_decompress_lz4_block_is_supported) \
	X(kova_compress_cap_task_decompress_lz4_block_get_max_buf_size) \
	X(kova_compress_cap_task_decompress_lz4_block_get_max_buf_list_len) \
	X(kova_compress_task_decompress_lz4_block_set_conf) \
	X(kova_compress_task_decompress_lz4_block_alloc_init) \
	X(kova_compress_task_decompress_lz4_block_as_task) \
	X(kova_compress_task_decompress_lz4_block_set_src) \
	X(kova_compress_task_decompress_lz4_block_get_src) \
	X(kova_compress_task_decompress_lz4_block_set_dst) \
	X(kova_compress_task_decompress_lz4_block_get_dst) \
	X(kova_compress_task_decompress_lz4_block_get_crc_cs) \
	X(kova_compress_task_decompress_lz4_block_get_xxh_cs)

namespace kova::bench::dl {

struct kova_compress_api {
	std::shared_ptr<handle_impl> handle;
	std::string path;
	KOVA_COMPRESS_API_FUNCTIONS(KOVA_DL_FUNCTION)

	// The process-wide table, or null when libkova_compress.so.2 is not installed (decided once per process).
	// Throws KOVA_ERROR_INVALID_VALUE naming the first listed function the library lacks; the next call tries
	// again.
	static const kova_compress_api *singleton();
};

} // namespace kova::bench::dl
