/*
 * Buffer arrays and the GPU data path: a started map cut into equal elements and published to a GPU, whose
 * kernels reach the elements through the array's GPU handle; and contexts whose data path runs on a GPU.
 *
 * Every function returns KOVA_SUCCESS, KOVA_ERROR_INVALID_VALUE for a null or malformed argument and
 * KOVA_ERROR_BAD_STATE in the wrong state.
 */
#ifndef KOVA_BUF_ARR_H
#define KOVA_BUF_ARR_H

#include <kova/types.h>

typedef struct kova_gpu kova_gpu;
typedef struct kova_buf_arr kova_buf_arr;
/* What a GPU kernel receives of a buffer array. */
typedef struct kova_gpu_buf_arr kova_gpu_buf_arr;

/* An array of num_elem (>= 1) elements. 7 when memory runs out. */
KOVA_EXPORT kova_error kova_buf_arr_create(uint32_t num_elem, kova_buf_arr **buf_arr);
/* Elements of elem_size bytes from start_offset of a started map on; they must lie inside the map. */
KOVA_EXPORT kova_error kova_buf_arr_set_params(kova_buf_arr *buf_arr, kova_mmap *mmap, size_t elem_size,
					       uint64_t start_offset);
KOVA_EXPORT kova_error kova_buf_arr_set_target_gpu(kova_buf_arr *buf_arr, kova_gpu *gpu);
/* Publishes the array; its map cannot be destroyed until the array is. KOVA_ERROR_BAD_STATE without params or target GPU. */
KOVA_EXPORT kova_error kova_buf_arr_start(kova_buf_arr *buf_arr);
/* KOVA_ERROR_BAD_STATE before kova_buf_arr_start. */
KOVA_EXPORT kova_error kova_buf_arr_get_gpu_handle(const kova_buf_arr *buf_arr, kova_gpu_buf_arr **gpu_buf_arr);
KOVA_EXPORT kova_error kova_buf_arr_destroy(kova_buf_arr *buf_arr);

/* The context's tasks are posted by kernels of the GPU instead of the CPU. Only while the context is idle. */
KOVA_EXPORT kova_error kova_ctx_set_datapath_on_gpu(kova_ctx *ctx, kova_gpu *gpu);

#endif
