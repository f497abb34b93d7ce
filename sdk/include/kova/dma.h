/*
 * DMA copy library (libkova_dma.so.2): one instance per device, one task kind (memcpy).
 *
 * Unless noted, a function returns kova_error: 0 on success, KOVA_ERROR_INVALID_VALUE for a null or malformed
 * argument, KOVA_ERROR_BAD_STATE when the instance is in the wrong state, and KOVA_ERROR_NOT_SUPPORTED when the
 * device cannot do it. Out-parameters are written only on success. Capability queries take the device
 * information and answer KOVA_SUCCESS (yes) or KOVA_ERROR_NOT_SUPPORTED (no); they are thread-safe.
 */
#ifndef KOVA_DMA_H
#define KOVA_DMA_H

#include <kova/error.h>
#include <kova/types.h>

typedef struct kova_dma kova_dma;
typedef struct kova_dma_task_memcpy kova_dma_task_memcpy;

/* Instance and context. */
KOVA_EXPORT kova_error kova_dma_create(kova_dev *dev, kova_dma **dma);
/* 18 while tasks are in flight; the instance is then kept. */
KOVA_EXPORT kova_error kova_dma_destroy(kova_dma *dma);
/* The instance's context; null for a null instance. */
KOVA_EXPORT kova_ctx *kova_dma_as_ctx(kova_dma *dma);
KOVA_EXPORT kova_error kova_dma_cap_get_max_num_tasks(const kova_dma *dma, uint32_t *max_num_tasks);

/* Capabilities of the memcpy task. */
KOVA_EXPORT kova_error kova_dma_cap_task_memcpy_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_dma_cap_task_memcpy_get_max_buf_list_len(const kova_devinfo *devinfo,
								     uint32_t *max_buf_list_len);
KOVA_EXPORT kova_error kova_dma_cap_task_memcpy_get_max_buf_size(const kova_devinfo *devinfo, uint64_t *max_buf_size);

/*
 * Memcpy task. set_conf preallocates num_tasks tasks (1 to the maximum number of tasks) while the context is
 * idle (KOVA_ERROR_BAD_STATE otherwise); KOVA_ERROR_NOT_SUPPORTED when the device cannot copy. alloc_init takes
 * one of them (KOVA_ERROR_NO_MEMORY when none is left, KOVA_ERROR_BAD_STATE when the context is not running,
 * KOVA_ERROR_INVALID_VALUE for a null list); the task copies the source list's data to the end of the
 * destination's data. A source longer than the maximum buffer size is refused at submission
 * (KOVA_ERROR_INVALID_VALUE). A task completes with KOVA_ERROR_NO_MEMORY when the destination lacks room and
 * with KOVA_ERROR_INVALID_VALUE when a list has more elements than the maximum list length; a failed task
 * changes no byte.
 */
KOVA_EXPORT kova_error kova_dma_task_memcpy_set_conf(kova_dma *dma, kova_task_completion_cb_t success_cb,
						     kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_dma_task_memcpy_alloc_init(kova_dma *dma, const kova_buf *src, kova_buf *dst,
						       kova_data user_data, kova_dma_task_memcpy **task);
KOVA_EXPORT kova_task *kova_dma_task_memcpy_as_task(kova_dma_task_memcpy *task);
KOVA_EXPORT void kova_dma_task_memcpy_set_src(kova_dma_task_memcpy *task, const kova_buf *src);
KOVA_EXPORT const kova_buf *kova_dma_task_memcpy_get_src(const kova_dma_task_memcpy *task);
KOVA_EXPORT void kova_dma_task_memcpy_set_dst(kova_dma_task_memcpy *task, kova_buf *dst);
KOVA_EXPORT kova_buf *kova_dma_task_memcpy_get_dst(const kova_dma_task_memcpy *task);

#endif
