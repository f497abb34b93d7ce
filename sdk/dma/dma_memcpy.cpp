// DMA library, data path: memcpy tasks. Nothing here locks or allocates; a copy into or out of
// another process's memory is the one system call list_copy makes.
//
// A task copies the data of its source list to the end of the data of its destination list, by the
// stand-in's input and output rules (buf_data.hpp): the size limit is checked at submission, the
// list lengths and the room of the destination when it runs. A task that fails changes no byte.
#include "dma_instance.hpp"

#include <kova_internal/buf_data.hpp>
#include <kova_internal/ctx_kernel.hpp>

#include <kova/dma.h>
#include <kova/error.h>

namespace kova::sdk::dma {
namespace {

uint32_t list_len(const kova_buf *list) noexcept
{
	uint32_t n = 0;
	for (; list != nullptr; list = list->next)
		++n;
	return n;
}

} // namespace

kova_error run_memcpy(kova_task *task) noexcept
{
	uint32_t const max_len = instance_of(task->kind)->max_buf_list_len;
	if (list_len(task->src) > max_len || list_len(task->dst) > max_len) [[unlikely]]
		return KOVA_ERROR_INVALID_VALUE;
	return list_copy(task->src, task->dst);
}

} // namespace kova::sdk::dma

KOVA_EXPORT kova_error kova_dma_task_memcpy_alloc_init(kova_dma *dma, const kova_buf *src, kova_buf *dst,
						       kova_data user_data, kova_dma_task_memcpy **task)
{
	if (dma == nullptr || src == nullptr || dst == nullptr || task == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	kova_task *taken = nullptr;
	if (kova_error const err = kova::sdk::task_alloc(&dma->memcpy, user_data, src, dst, &taken))
		return err;
	*task = kova::sdk::task_cast<kova_dma_task_memcpy>(taken);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_task *kova_dma_task_memcpy_as_task(kova_dma_task_memcpy *task)
{
	return task == nullptr ? nullptr : &task->task;
}

KOVA_EXPORT void kova_dma_task_memcpy_set_src(kova_dma_task_memcpy *task, const kova_buf *src)
{
	if (task != nullptr)
		task->task.src = src;
}

KOVA_EXPORT const kova_buf *kova_dma_task_memcpy_get_src(const kova_dma_task_memcpy *task)
{
	return task == nullptr ? nullptr : task->task.src;
}

KOVA_EXPORT void kova_dma_task_memcpy_set_dst(kova_dma_task_memcpy *task, kova_buf *dst)
{
	if (task != nullptr)
		task->task.dst = dst;
}

KOVA_EXPORT kova_buf *kova_dma_task_memcpy_get_dst(const kova_dma_task_memcpy *task)
{
	return task == nullptr ? nullptr : task->task.dst;
}
