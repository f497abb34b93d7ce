// Buffer arrays published to a GPU, and contexts whose data path is on a GPU.
#include "mmap_internal.hpp"

#include <kova_internal/capability.hpp>
#include <kova_internal/ctx_kernel.hpp>
#include <kova_internal/gpu_handles.hpp>

#include <kova/buf_arr.h>
#include <kova/ctx.h>
#include <kova/error.h>

#include <new>

using kova::sdk::control_call;

struct kova_buf_arr {
	uint32_t num_elems;
	kova_mmap *mmap;
	std::size_t elem_size;
	uint64_t start_offset;
	kova_gpu *gpu;
	bool started;
	kova_gpu_buf_arr handle;
};

KOVA_EXPORT kova_error kova_buf_arr_create(uint32_t num_elem, kova_buf_arr **buf_arr)
{
	if (num_elem == 0 || buf_arr == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_buf_arr_create", true, num_elem))
		return forced;
	auto *made = new (std::nothrow) kova_buf_arr{};
	if (made == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	made->num_elems = num_elem;
	*buf_arr = made;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_arr_set_params(kova_buf_arr *buf_arr, kova_mmap *mmap, size_t elem_size,
					       uint64_t start_offset)
{
	if (buf_arr == nullptr || mmap == nullptr || elem_size == 0)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_buf_arr_set_params", true, elem_size))
		return forced;
	if (buf_arr->started || !mmap->started)
		return KOVA_ERROR_BAD_STATE;
	// Elements and offset must lie inside the map; computed without overflow.
	unsigned __int128 const end =
		static_cast<unsigned __int128>(elem_size) * buf_arr->num_elems + start_offset;
	if (end > mmap->len)
		return KOVA_ERROR_INVALID_VALUE;
	buf_arr->mmap = mmap;
	buf_arr->elem_size = elem_size;
	buf_arr->start_offset = start_offset;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_arr_set_target_gpu(kova_buf_arr *buf_arr, kova_gpu *gpu)
{
	if (buf_arr == nullptr || gpu == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_buf_arr_set_target_gpu"))
		return forced;
	if (buf_arr->started)
		return KOVA_ERROR_BAD_STATE;
	buf_arr->gpu = gpu;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_arr_start(kova_buf_arr *buf_arr)
{
	if (buf_arr == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_buf_arr_start"))
		return forced;
	if (buf_arr->started || buf_arr->mmap == nullptr || buf_arr->gpu == nullptr)
		return KOVA_ERROR_BAD_STATE;
	kova_mmap *mmap = buf_arr->mmap;
	buf_arr->handle.base = mmap->addr + buf_arr->start_offset;
	buf_arr->handle.elem_size = buf_arr->elem_size;
	buf_arr->handle.num_elems = buf_arr->num_elems;
	buf_arr->handle.pid = mmap->remote.pid;
	// The map stays while the array is published.
	mmap->num_bufs.fetch_add(1, std::memory_order_acq_rel);
	buf_arr->started = true;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_arr_get_gpu_handle(const kova_buf_arr *buf_arr, kova_gpu_buf_arr **gpu_buf_arr)
{
	if (buf_arr == nullptr || gpu_buf_arr == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (!buf_arr->started)
		return KOVA_ERROR_BAD_STATE;
	*gpu_buf_arr = const_cast<kova_gpu_buf_arr *>(&buf_arr->handle);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_arr_destroy(kova_buf_arr *buf_arr)
{
	if (buf_arr == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_buf_arr_destroy"))
		return forced;
	if (buf_arr->started)
		buf_arr->mmap->num_bufs.fetch_sub(1, std::memory_order_acq_rel);
	delete buf_arr;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_ctx_set_datapath_on_gpu(kova_ctx *ctx, kova_gpu *gpu)
{
	if (ctx == nullptr || gpu == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_ctx_set_datapath_on_gpu"))
		return forced;
	if (ctx->state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	ctx->gpu_datapath = gpu;
	return KOVA_SUCCESS;
}
