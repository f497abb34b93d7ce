// DMA library, control path: instances, capabilities and the memcpy task configuration.
#include "dma_instance.hpp"

#include <kova_internal/capability.hpp>
#include <kova_internal/ctx_kernel.hpp>

#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/dma.h>
#include <kova/error.h>

#include <new>
#include <type_traits>

using kova::sdk::capability_answer;
using kova::sdk::capability_value;
using kova::sdk::control_call;

static_assert(std::is_standard_layout_v<kova_dma>, "instance_of needs offsetof");

namespace {

constexpr kova::sdk::ctx_ops dma_ops{"kova_dma", nullptr, nullptr};

constexpr const char *is_supported_query = "kova_dma_cap_task_memcpy_is_supported";
constexpr const char *max_buf_size_query = "kova_dma_cap_task_memcpy_get_max_buf_size";
constexpr const char *max_buf_list_len_query = "kova_dma_cap_task_memcpy_get_max_buf_list_len";
constexpr const char *max_num_tasks_query = "kova_dma_cap_get_max_num_tasks";

} // namespace

KOVA_EXPORT kova_error kova_dma_create(kova_dev *dev, kova_dma **dma)
{
	if (dev == nullptr || dma == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_dma_create"))
		return forced;
	auto *created = new (std::nothrow) kova_dma{};
	if (created == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	kova::sdk::ctx_init(&created->ctx, &dma_ops, dev);
	kova::sdk::task_kind_init<kova_dma_task_memcpy>(&created->memcpy, &created->ctx, "memcpy",
							kova::sdk::dma::run_memcpy, 0);
	// A memcpy reaches buffer bytes only through list_copy, which can copy to and from a peer.
	created->memcpy.remote_access = true;
	created->max_buf_list_len = kova::sdk::dma::default_max_buf_list_len;
	*dma = created;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_dma_destroy(kova_dma *dma)
{
	if (dma == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_dma_destroy"))
		return forced;
	if (kova_error const err = kova::sdk::ctx_release(&dma->ctx))
		return err;
	delete dma;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_ctx *kova_dma_as_ctx(kova_dma *dma)
{
	return dma == nullptr ? nullptr : &dma->ctx;
}

KOVA_EXPORT kova_error kova_dma_cap_get_max_num_tasks(const kova_dma *dma, uint32_t *max_num_tasks)
{
	if (dma == nullptr || max_num_tasks == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	uint64_t value = 0;
	if (kova_error const err = capability_value(max_num_tasks_query, kova::sdk::dma::default_max_num_tasks, &value))
		return err;
	*max_num_tasks = static_cast<uint32_t>(value);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_dma_cap_task_memcpy_is_supported(const kova_devinfo *devinfo)
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return capability_answer(is_supported_query, KOVA_SUCCESS);
}

KOVA_EXPORT kova_error kova_dma_cap_task_memcpy_get_max_buf_list_len(const kova_devinfo *devinfo,
								     uint32_t *max_buf_list_len)
{
	if (devinfo == nullptr || max_buf_list_len == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	uint64_t value = 0;
	if (kova_error const err =
		    capability_value(max_buf_list_len_query, kova::sdk::dma::default_max_buf_list_len, &value))
		return err;
	*max_buf_list_len = static_cast<uint32_t>(value);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_dma_cap_task_memcpy_get_max_buf_size(const kova_devinfo *devinfo, uint64_t *max_buf_size)
{
	if (devinfo == nullptr || max_buf_size == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return capability_value(max_buf_size_query, kova::sdk::dma::default_max_buf_size, max_buf_size);
}

KOVA_EXPORT kova_error kova_dma_task_memcpy_set_conf(kova_dma *dma, kova_task_completion_cb_t success_cb,
						     kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	if (dma == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_dma_task_memcpy_set_conf", true, num_tasks))
		return forced;
	const kova_devinfo *devinfo = kova_dev_as_devinfo(dma->ctx.dev);
	if (kova_error const supported = kova_dma_cap_task_memcpy_is_supported(devinfo))
		return supported;
	uint32_t max_num_tasks = 0;
	uint64_t max_buf_size = 0;
	uint32_t max_buf_list_len = 0;
	if (kova_error const err = kova_dma_cap_get_max_num_tasks(dma, &max_num_tasks))
		return err;
	if (kova_error const err = kova_dma_cap_task_memcpy_get_max_buf_size(devinfo, &max_buf_size))
		return err;
	if (kova_error const err = kova_dma_cap_task_memcpy_get_max_buf_list_len(devinfo, &max_buf_list_len))
		return err;
	if (num_tasks > max_num_tasks)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const err = kova::sdk::task_kind_configure(&dma->memcpy, success_cb, error_cb, num_tasks))
		return err;
	dma->memcpy.max_source_len = max_buf_size;
	dma->max_buf_list_len = max_buf_list_len;
	return KOVA_SUCCESS;
}
