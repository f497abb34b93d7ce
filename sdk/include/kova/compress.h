/*
 * Compression library (libkova_compress.so.2): deflate compression, and deflate, LZ4-stream and LZ4-block
 * decompression, one task kind each.
 *
 * Unless noted, a function returns kova_error: 0 on success, KOVA_ERROR_INVALID_VALUE for a null or malformed
 * argument, KOVA_ERROR_BAD_STATE when the instance is in the wrong state, and KOVA_ERROR_NOT_SUPPORTED when the
 * device cannot do it. Out-parameters are written only on success. Capability queries take the device
 * information and answer KOVA_SUCCESS (yes) or KOVA_ERROR_NOT_SUPPORTED (no); they are thread-safe. Every task
 * kind follows one pattern: set_conf preallocates num_tasks tasks (>= 1) while the context is idle, alloc_init
 * takes one of them (KOVA_ERROR_NO_MEMORY when none is left), as_task gives its generic handle. Checksums are
 * read after a successful completion.
 */
#ifndef KOVA_COMPRESS_H
#define KOVA_COMPRESS_H

#include <kova/error.h>
#include <kova/types.h>

typedef struct kova_compress kova_compress;
typedef struct kova_compress_task_compress_deflate kova_compress_task_compress_deflate;
typedef struct kova_compress_task_decompress_deflate kova_compress_task_decompress_deflate;
typedef struct kova_compress_task_decompress_lz4_stream kova_compress_task_decompress_lz4_stream;
typedef struct kova_compress_task_decompress_lz4_block kova_compress_task_decompress_lz4_block;

/* Instance and context. */
KOVA_EXPORT kova_error kova_compress_create(kova_dev *dev, kova_compress **compress);
/* 18 while tasks are in flight; the instance is then kept. */
KOVA_EXPORT kova_error kova_compress_destroy(kova_compress *compress);
KOVA_EXPORT kova_ctx *kova_compress_as_ctx(kova_compress *compress);
KOVA_EXPORT kova_error kova_compress_cap_get_max_num_tasks(const kova_compress *compress, uint32_t *max_num_tasks);

/* Deflate compression. */
KOVA_EXPORT kova_error kova_compress_cap_task_compress_deflate_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_compress_cap_task_compress_deflate_get_max_buf_size(const kova_devinfo *devinfo,
										  uint64_t *max_buf_size);
KOVA_EXPORT kova_error kova_compress_cap_task_compress_deflate_get_max_buf_list_len(const kova_devinfo *devinfo,
										      uint32_t *max_buf_list_len);
KOVA_EXPORT kova_error kova_compress_task_compress_deflate_set_conf(kova_compress *compress,
								   kova_task_completion_cb_t success_cb,
								   kova_task_completion_cb_t error_cb,
								   uint32_t num_tasks);
KOVA_EXPORT kova_error kova_compress_task_compress_deflate_alloc_init(kova_compress *compress, const kova_buf *src,
								     kova_buf *dst, kova_data user_data,
								     kova_compress_task_compress_deflate **task);
KOVA_EXPORT kova_task *kova_compress_task_compress_deflate_as_task(kova_compress_task_compress_deflate *task);
KOVA_EXPORT void kova_compress_task_compress_deflate_set_src(kova_compress_task_compress_deflate *task,
							     const kova_buf *src);
KOVA_EXPORT const kova_buf *
kova_compress_task_compress_deflate_get_src(const kova_compress_task_compress_deflate *task);
KOVA_EXPORT void kova_compress_task_compress_deflate_set_dst(kova_compress_task_compress_deflate *task,
							     kova_buf *dst);
KOVA_EXPORT kova_buf *kova_compress_task_compress_deflate_get_dst(const kova_compress_task_compress_deflate *task);
KOVA_EXPORT uint32_t kova_compress_task_compress_deflate_get_crc_cs(const kova_compress_task_compress_deflate *task);
KOVA_EXPORT uint32_t
kova_compress_task_compress_deflate_get_adler_cs(const kova_compress_task_compress_deflate *task);

/* Deflate decompression. */
KOVA_EXPORT kova_error kova_compress_cap_task_decompress_deflate_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_compress_cap_task_decompress_deflate_get_max_buf_size(const kova_devinfo *devinfo,
										    uint64_t *max_buf_size);
KOVA_EXPORT kova_error kova_compress_cap_task_decompress_deflate_get_max_buf_list_len(const kova_devinfo *devinfo,
											uint32_t *max_buf_list_len);
KOVA_EXPORT kova_error kova_compress_task_decompress_deflate_set_conf(kova_compress *compress,
								     kova_task_completion_cb_t success_cb,
								     kova_task_completion_cb_t error_cb,
								     uint32_t num_tasks);
KOVA_EXPORT kova_error kova_compress_task_decompress_deflate_alloc_init(kova_compress *compress,
								       const kova_buf *src, kova_buf *dst,
								       kova_data user_data,
								       kova_compress_task_decompress_deflate **task);
KOVA_EXPORT kova_task *kova_compress_task_decompress_deflate_as_task(kova_compress_task_decompress_deflate *task);
KOVA_EXPORT void kova_compress_task_decompress_deflate_set_src(kova_compress_task_decompress_deflate *task,
							       const kova_buf *src);
KOVA_EXPORT const kova_buf *
kova_compress_task_decompress_deflate_get_src(const kova_compress_task_decompress_deflate *task);
KOVA_EXPORT void kova_compress_task_decompress_deflate_set_dst(kova_compress_task_decompress_deflate *task,
							       kova_buf *dst);
KOVA_EXPORT kova_buf *
kova_compress_task_decompress_deflate_get_dst(const kova_compress_task_decompress_deflate *task);
KOVA_EXPORT uint32_t
kova_compress_task_decompress_deflate_get_crc_cs(const kova_compress_task_decompress_deflate *task);
KOVA_EXPORT uint32_t
kova_compress_task_decompress_deflate_get_adler_cs(const kova_compress_task_decompress_deflate *task);

/* LZ4 stream decompression; the two flags describe the frames (0 or 1). */
KOVA_EXPORT kova_error kova_compress_cap_task_decompress_lz4_stream_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_compress_cap_task_decompress_lz4_stream_get_max_buf_size(const kova_devinfo *devinfo,
										       uint64_t *max_buf_size);
KOVA_EXPORT kova_error kova_compress_cap_task_decompress_lz4_stream_get_max_buf_list_len(
	const kova_devinfo *devinfo, uint32_t *max_buf_list_len);
KOVA_EXPORT kova_error kova_compress_task_decompress_lz4_stream_set_conf(kova_compress *compress,
									 kova_task_completion_cb_t success_cb,
									 kova_task_completion_cb_t error_cb,
									 uint32_t num_tasks);
KOVA_EXPORT kova_error kova_compress_task_decompress_lz4_stream_alloc_init(
	kova_compress *compress, uint8_t has_block_checksum, uint8_t are_blocks_independent, const kova_buf *src,
	kova_buf *dst, kova_data user_data, kova_compress_task_decompress_lz4_stream **task);
KOVA_EXPORT kova_task *
kova_compress_task_decompress_lz4_stream_as_task(kova_compress_task_decompress_lz4_stream *task);
KOVA_EXPORT void
kova_compress_task_decompress_lz4_stream_set_has_block_checksum(kova_compress_task_decompress_lz4_stream *task,
								uint8_t has_block_checksum);
KOVA_EXPORT uint8_t kova_compress_task_decompress_lz4_stream_get_has_block_checksum(
	const kova_compress_task_decompress_lz4_stream *task);
KOVA_EXPORT void kova_compress_task_decompress_lz4_stream_set_are_blocks_independent(
	kova_compress_task_decompress_lz4_stream *task, uint8_t are_blocks_independent);
KOVA_EXPORT uint8_t kova_compress_task_decompress_lz4_stream_get_are_blocks_independent(
	const kova_compress_task_decompress_lz4_stream *task);
KOVA_EXPORT void kova_compress_task_decompress_lz4_stream_set_src(kova_compress_task_decompress_lz4_stream *task,
								  const kova_buf *src);
KOVA_EXPORT const kova_buf *
kova_compress_task_decompress_lz4_stream_get_src(const kova_compress_task_decompress_lz4_stream *task);
KOVA_EXPORT void kova_compress_task_decompress_lz4_stream_set_dst(kova_compress_task_decompress_lz4_stream *task,
								  kova_buf *dst);
KOVA_EXPORT kova_buf *
kova_compress_task_decompress_lz4_stream_get_dst(const kova_compress_task_decompress_lz4_stream *task);
KOVA_EXPORT uint32_t
kova_compress_task_decompress_lz4_stream_get_crc_cs(const kova_compress_task_decompress_lz4_stream *task);
KOVA_EXPORT uint32_t
kova_compress_task_decompress_lz4_stream_get_xxh_cs(const kova_compress_task_decompress_lz4_stream *task);

/* LZ4 block decompression. */
KOVA_EXPORT kova_error kova_compress_cap_task_decompress_lz4_block_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_compress_cap_task_decompress_lz4_block_get_max_buf_size(const kova_devinfo *devinfo,
										      uint64_t *max_buf_size);
KOVA_EXPORT kova_error kova_compress_cap_task_decompress_lz4_block_get_max_buf_list_len(
	const kova_devinfo *devinfo, uint32_t *max_buf_list_len);
KOVA_EXPORT kova_error kova_compress_task_decompress_lz4_block_set_conf(kova_compress *compress,
									kova_task_completion_cb_t success_cb,
									kova_task_completion_cb_t error_cb,
									uint32_t num_tasks);
KOVA_EXPORT kova_error kova_compress_task_decompress_lz4_block_alloc_init(
	kova_compress *compress, const kova_buf *src, kova_buf *dst, kova_data user_data,
	kova_compress_task_decompress_lz4_block **task);
KOVA_EXPORT kova_task *
kova_compress_task_decompress_lz4_block_as_task(kova_compress_task_decompress_lz4_block *task);
KOVA_EXPORT void kova_compress_task_decompress_lz4_block_set_src(kova_compress_task_decompress_lz4_block *task,
								 const kova_buf *src);
KOVA_EXPORT const kova_buf *
kova_compress_task_decompress_lz4_block_get_src(const kova_compress_task_decompress_lz4_block *task);
KOVA_EXPORT void kova_compress_task_decompress_lz4_block_set_dst(kova_compress_task_decompress_lz4_block *task,
								 kova_buf *dst);
KOVA_EXPORT kova_buf *
kova_compress_task_decompress_lz4_block_get_dst(const kova_compress_task_decompress_lz4_block *task);
KOVA_EXPORT uint32_t
kova_compress_task_decompress_lz4_block_get_crc_cs(const kova_compress_task_decompress_lz4_block *task);
KOVA_EXPORT uint32_t
kova_compress_task_decompress_lz4_block_get_xxh_cs(const kova_compress_task_decompress_lz4_block *task);

#endif
