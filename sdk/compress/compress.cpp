// The compression library's control path: instance, capabilities, task configuration and
// allocation, task fields, and the engine state made when the context starts.
#include "compress_internal.hpp"

#include <kova_internal/capability.hpp>

#include <libdeflate.h>

#include <new>

using kova::sdk::capability_answer;
using kova::sdk::capability_value;
using kova::sdk::control_call;
using kova::sdk::query_value;
using namespace kova::sdk::compress;

namespace {

constexpr uint64_t tasks_limit = 1u << 16;
constexpr uint64_t list_len_limit = 64;

kova_error on_start(kova_ctx *ctx)
{
	auto *lib = reinterpret_cast<kova_compress *>(ctx);
	bool const compresses = lib->compress_deflate.num_tasks != 0;
	bool const decompresses = lib->decompress_deflate.num_tasks != 0 || lib->decompress_lz4_stream.num_tasks != 0;
	uint64_t const input = kova::sdk::largest_source_len(ctx, buf_size_limit);
	// Output through a list of several buffers is staged: a compressed stream at its worst, a
	// decompressed one up to the largest source size.
	uint64_t output = compresses ? deflate_bound(input) : 0;
	if (decompresses && input > output)
		output = input;

	if (!lib->input_staging.allocate(input) || !lib->output_staging.allocate(output))
		return KOVA_ERROR_NO_MEMORY;
	if (compresses && !lib->level_buf.allocate(ISAL_DEF_LVL1_DEFAULT))
		return KOVA_ERROR_NO_MEMORY;
	if (lib->decompress_deflate.num_tasks != 0) {
		lib->decompressor = libdeflate_alloc_decompressor();
		if (lib->decompressor == nullptr)
			return KOVA_ERROR_NO_MEMORY;
	}
	return KOVA_SUCCESS;
}

void on_stop(kova_ctx *ctx)
{
	auto *lib = reinterpret_cast<kova_compress *>(ctx);
	lib->input_staging.release();
	lib->output_staging.release();
	lib->level_buf.release();
	if (lib->decompressor != nullptr)
		libdeflate_free_decompressor(lib->decompressor);
	lib->decompressor = nullptr;
}

constexpr kova::sdk::ctx_ops compress_ops{"kova_compress", on_start, on_stop};

kova_error supported(const kova_devinfo *devinfo, const char *query) noexcept
{
	return devinfo == nullptr ? kova_error{KOVA_ERROR_INVALID_VALUE} : capability_answer(query, KOVA_SUCCESS);
}

// set_conf of a task kind limited by the named maximum query: a compression's source is at most
// the maximum, a decompression's is the compressed form of at most the maximum.
kova_error configure(kova_compress *lib, kova::sdk::task_kind kova_compress::*kind, const char *function,
		     const char *max_query, kova_task_completion_cb_t success_cb, kova_task_completion_cb_t error_cb,
		     uint32_t num_tasks) noexcept
{
	if (lib == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call(function, true, num_tasks))
		return forced;
	if (num_tasks > tasks_limit)
		return KOVA_ERROR_INVALID_VALUE;
	uint64_t limit = 0;
	if (kova_error const err = capability_value(max_query, buf_size_limit, &limit))
		return err;
	if (kova_error const err = kova::sdk::task_kind_configure(&(lib->*kind), success_cb, error_cb, num_tasks))
		return err;
	(lib->*kind).max_source_len = kind == &kova_compress::compress_deflate ? limit : compressed_bound(limit);
	return KOVA_SUCCESS;
}

template <typename Task>
kova_error allocate(kova_compress *lib, kova::sdk::task_kind kova_compress::*kind, const char *function,
		    const kova_buf *src, kova_buf *dst, kova_data user_data, Task **task) noexcept
{
	if (lib == nullptr || src == nullptr || dst == nullptr || task == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call(function))
		return forced;
	kova_task *taken = nullptr;
	if (kova_error const err = kova::sdk::task_alloc(&(lib->*kind), user_data, src, dst, &taken))
		return err;
	*task = kova::sdk::task_cast<Task>(taken);
	return KOVA_SUCCESS;
}

} // namespace

KOVA_EXPORT kova_error kova_compress_create(kova_dev *dev, kova_compress **compress)
{
	if (dev == nullptr || compress == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_compress_create"))
		return forced;
	auto *lib = new (std::nothrow) kova_compress{};
	if (lib == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	kova::sdk::ctx_init(&lib->ctx, &compress_ops, dev);
	kova::sdk::task_kind_init<kova_compress_task_compress_deflate>(&lib->compress_deflate, &lib->ctx,
								       "compress_deflate", run_compress_deflate, 0);
	kova::sdk::task_kind_init<kova_compress_task_decompress_deflate>(&lib->decompress_deflate, &lib->ctx,
									 "decompress_deflate", run_decompress_deflate, 0);
	kova::sdk::task_kind_init<kova_compress_task_decompress_lz4_stream>(
		&lib->decompress_lz4_stream, &lib->ctx, "decompress_lz4_stream", run_decompress_lz4_stream, 0);
	*compress = lib;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_compress_destroy(kova_compress *compress)
{
	if (compress == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_compress_destroy"))
		return forced;
	if (kova_error const err = kova::sdk::ctx_release(&compress->ctx))
		return err;
	delete compress;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_ctx *kova_compress_as_ctx(kova_compress *compress)
{
	return compress == nullptr ? nullptr : &compress->ctx;
}

KOVA_EXPORT kova_error kova_compress_cap_get_max_num_tasks(const kova_compress *compress, uint32_t *max)
{
	if (compress == nullptr || max == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	uint64_t answer = 0;
	if (kova_error const err = capability_value("kova_compress_cap_get_max_num_tasks", tasks_limit, &answer))
		return err;
	*max = static_cast<uint32_t>(answer);
	return KOVA_SUCCESS;
}

/* Deflate compression. */

KOVA_EXPORT kova_error kova_compress_cap_task_compress_deflate_is_supported(const kova_devinfo *devinfo)
{
	return supported(devinfo, "kova_compress_cap_task_compress_deflate_is_supported");
}

KOVA_EXPORT kova_error kova_compress_cap_task_compress_deflate_get_max_buf_size(const kova_devinfo *devinfo,
										  uint64_t *max_buf_size)
{
	return query_value(devinfo, "kova_compress_cap_task_compress_deflate_get_max_buf_size",
			   buf_size_limit, max_buf_size);
}

KOVA_EXPORT kova_error kova_compress_cap_task_compress_deflate_get_max_buf_list_len(const kova_devinfo *devinfo,
										      uint32_t *max_buf_list_len)
{
	return query_value(devinfo, "kova_compress_cap_task_compress_deflate_get_max_buf_list_len", list_len_limit,
			   max_buf_list_len);
}

KOVA_EXPORT kova_error kova_compress_task_compress_deflate_set_conf(kova_compress *compress,
								   kova_task_completion_cb_t success_cb,
								   kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	return configure(compress, &kova_compress::compress_deflate, "kova_compress_task_compress_deflate_set_conf",
			 "kova_compress_cap_task_compress_deflate_get_max_buf_size", success_cb, error_cb, num_tasks);
}

KOVA_EXPORT kova_error kova_compress_task_compress_deflate_alloc_init(kova_compress *compress, const kova_buf *src,
								     kova_buf *dst, kova_data user_data,
								     kova_compress_task_compress_deflate **task)
{
	kova_error const err = allocate(compress, &kova_compress::compress_deflate,
					"kova_compress_task_compress_deflate_alloc_init", src, dst, user_data, task);
	if (err == KOVA_SUCCESS)
		(*task)->crc = (*task)->adler = 0;
	return err;
}

KOVA_EXPORT kova_task *kova_compress_task_compress_deflate_as_task(kova_compress_task_compress_deflate *task)
{
	return task == nullptr ? nullptr : &task->task;
}

KOVA_EXPORT void kova_compress_task_compress_deflate_set_src(kova_compress_task_compress_deflate *task,
							     const kova_buf *src)
{
	if (task != nullptr)
		task->task.src = src;
}

KOVA_EXPORT const kova_buf *kova_compress_task_compress_deflate_get_src(const kova_compress_task_compress_deflate *task)
{
	return task == nullptr ? nullptr : task->task.src;
}

KOVA_EXPORT void kova_compress_task_compress_deflate_set_dst(kova_compress_task_compress_deflate *task, kova_buf *dst)
{
	if (task != nullptr)
		task->task.dst = dst;
}

KOVA_EXPORT kova_buf *kova_compress_task_compress_deflate_get_dst(const kova_compress_task_compress_deflate *task)
{
	return task == nullptr ? nullptr : task->task.dst;
}

KOVA_EXPORT uint32_t kova_compress_task_compress_deflate_get_crc_cs(const kova_compress_task_compress_deflate *task)
{
	return task == nullptr ? 0 : task->crc;
}

KOVA_EXPORT uint32_t kova_compress_task_compress_deflate_get_adler_cs(const kova_compress_task_compress_deflate *task)
{
	return task == nullptr ? 0 : task->adler;
}

/* Deflate decompression. */

KOVA_EXPORT kova_error kova_compress_cap_task_decompress_deflate_is_supported(const kova_devinfo *devinfo)
{
	return supported(devinfo, "kova_compress_cap_task_decompress_deflate_is_supported");
}

KOVA_EXPORT kova_error kova_compress_cap_task_decompress_deflate_get_max_buf_size(const kova_devinfo *devinfo,
										    uint64_t *max_buf_size)
{
	return query_value(devinfo, "kova_compress_cap_task_decompress_deflate_get_max_buf_size", buf_size_limit,
			   max_buf_size);
}

KOVA_EXPORT kova_error kova_compress_cap_task_decompress_deflate_get_max_buf_list_len(const kova_devinfo *devinfo,
											uint32_t *max_buf_list_len)
{
	return query_value(devinfo, "kova_compress_cap_task_decompress_deflate_get_max_buf_list_len", list_len_limit,
			   max_buf_list_len);
}

KOVA_EXPORT kova_error kova_compress_task_decompress_deflate_set_conf(kova_compress *compress,
								     kova_task_completion_cb_t success_cb,
								     kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	return configure(compress, &kova_compress::decompress_deflate, "kova_compress_task_decompress_deflate_set_conf",
			 "kova_compress_cap_task_decompress_deflate_get_max_buf_size", success_cb, error_cb, num_tasks);
}

KOVA_EXPORT kova_error kova_compress_task_decompress_deflate_alloc_init(kova_compress *compress, const kova_buf *src,
								       kova_buf *dst, kova_data user_data,
								       kova_compress_task_decompress_deflate **task)
{
	kova_error const err = allocate(compress, &kova_compress::decompress_deflate,
					"kova_compress_task_decompress_deflate_alloc_init", src, dst, user_data, task);
	if (err == KOVA_SUCCESS)
		(*task)->crc = (*task)->adler = 0;
	return err;
}

KOVA_EXPORT kova_task *kova_compress_task_decompress_deflate_as_task(kova_compress_task_decompress_deflate *task)
{
	return task == nullptr ? nullptr : &task->task;
}

KOVA_EXPORT void kova_compress_task_decompress_deflate_set_src(kova_compress_task_decompress_deflate *task,
							       const kova_buf *src)
{
	if (task != nullptr)
		task->task.src = src;
}

KOVA_EXPORT const kova_buf *
kova_compress_task_decompress_deflate_get_src(const kova_compress_task_decompress_deflate *task)
{
	return task == nullptr ? nullptr : task->task.src;
}

KOVA_EXPORT void kova_compress_task_decompress_deflate_set_dst(kova_compress_task_decompress_deflate *task,
							       kova_buf *dst)
{
	if (task != nullptr)
		task->task.dst = dst;
}

KOVA_EXPORT kova_buf *kova_compress_task_decompress_deflate_get_dst(const kova_compress_task_decompress_deflate *task)
{
	return task == nullptr ? nullptr : task->task.dst;
}

KOVA_EXPORT uint32_t
kova_compress_task_decompress_deflate_get_crc_cs(const kova_compress_task_decompress_deflate *task)
{
	return task == nullptr ? 0 : task->crc;
}

KOVA_EXPORT uint32_t
kova_compress_task_decompress_deflate_get_adler_cs(const kova_compress_task_decompress_deflate *task)
{
	return task == nullptr ? 0 : task->adler;
}

/* LZ4 stream decompression. */

KOVA_EXPORT kova_error kova_compress_cap_task_decompress_lz4_stream_is_supported(const kova_devinfo *devinfo)
{
	return supported(devinfo, "kova_compress_cap_task_decompress_lz4_stream_is_supported");
}

KOVA_EXPORT kova_error kova_compress_cap_task_decompress_lz4_stream_get_max_buf_size(const kova_devinfo *devinfo,
										       uint64_t *max_buf_size)
{
	return query_value(devinfo, "kova_compress_cap_task_decompress_lz4_stream_get_max_buf_size", buf_size_limit,
			   max_buf_size);
}

KOVA_EXPORT kova_error kova_compress_cap_task_decompress_lz4_stream_get_max_buf_list_len(const kova_devinfo *devinfo,
											   uint32_t *max_buf_list_len)
{
	return query_value(devinfo, "kova_compress_cap_task_decompress_lz4_stream_get_max_buf_list_len",
			   list_len_limit, max_buf_list_len);
}

KOVA_EXPORT kova_error kova_compress_task_decompress_lz4_stream_set_conf(kova_compress *compress,
									 kova_task_completion_cb_t success_cb,
									 kova_task_completion_cb_t error_cb,
									 uint32_t num_tasks)
{
	return configure(compress, &kova_compress::decompress_lz4_stream,
			 "kova_compress_task_decompress_lz4_stream_set_conf",
			 "kova_compress_cap_task_decompress_lz4_stream_get_max_buf_size", success_cb, error_cb, num_tasks);
}

KOVA_EXPORT kova_error kova_compress_task_decompress_lz4_stream_alloc_init(
	kova_compress *compress, uint8_t has_block_checksum, uint8_t are_blocks_independent, const kova_buf *src,
	kova_buf *dst, kova_data user_data, kova_compress_task_decompress_lz4_stream **task)
{
	if (has_block_checksum > 1 || are_blocks_independent > 1)
		return KOVA_ERROR_INVALID_VALUE;
	kova_error const err = allocate(compress, &kova_compress::decompress_lz4_stream,
					"kova_compress_task_decompress_lz4_stream_alloc_init", src, dst, user_data, task);
	if (err != KOVA_SUCCESS)
		return err;
	(*task)->has_block_checksum = has_block_checksum;
	(*task)->are_blocks_independent = are_blocks_independent;
	(*task)->crc = (*task)->xxh = 0;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_task *
kova_compress_task_decompress_lz4_stream_as_task(kova_compress_task_decompress_lz4_stream *task)
{
	return task == nullptr ? nullptr : &task->task;
}

KOVA_EXPORT void
kova_compress_task_decompress_lz4_stream_set_has_block_checksum(kova_compress_task_decompress_lz4_stream *task,
								uint8_t has_block_checksum)
{
	if (task != nullptr)
		task->has_block_checksum = has_block_checksum != 0 ? 1 : 0;
}

KOVA_EXPORT uint8_t
kova_compress_task_decompress_lz4_stream_get_has_block_checksum(const kova_compress_task_decompress_lz4_stream *task)
{
	return task == nullptr ? 0 : task->has_block_checksum;
}

KOVA_EXPORT void kova_compress_task_decompress_lz4_stream_set_are_blocks_independent(
	kova_compress_task_decompress_lz4_stream *task, uint8_t are_blocks_independent)
{
	if (task != nullptr)
		task->are_blocks_independent = are_blocks_independent != 0 ? 1 : 0;
}

KOVA_EXPORT uint8_t kova_compress_task_decompress_lz4_stream_get_are_blocks_independent(
	const kova_compress_task_decompress_lz4_stream *task)
{
	return task == nullptr ? 0 : task->are_blocks_independent;
}

KOVA_EXPORT void kova_compress_task_decompress_lz4_stream_set_src(kova_compress_task_decompress_lz4_stream *task,
								  const kova_buf *src)
{
	if (task != nullptr)
		task->task.src = src;
}

KOVA_EXPORT const kova_buf *
kova_compress_task_decompress_lz4_stream_get_src(const kova_compress_task_decompress_lz4_stream *task)
{
	return task == nullptr ? nullptr : task->task.src;
}

KOVA_EXPORT void kova_compress_task_decompress_lz4_stream_set_dst(kova_compress_task_decompress_lz4_stream *task,
								  kova_buf *dst)
{
	if (task != nullptr)
		task->task.dst = dst;
}

KOVA_EXPORT kova_buf *
kova_compress_task_decompress_lz4_stream_get_dst(const kova_compress_task_decompress_lz4_stream *task)
{
	return task == nullptr ? nullptr : task->task.dst;
}

KOVA_EXPORT uint32_t
kova_compress_task_decompress_lz4_stream_get_crc_cs(const kova_compress_task_decompress_lz4_stream *task)
{
	return task == nullptr ? 0 : task->crc;
}

KOVA_EXPORT uint32_t
kova_compress_task_decompress_lz4_stream_get_xxh_cs(const kova_compress_task_decompress_lz4_stream *task)
{
	return task == nullptr ? 0 : task->xxh;
}
