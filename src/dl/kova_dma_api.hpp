// Function table of the DMA library (libkova_dma.so.2).
#pragma once

#include "dl/impl/api_table.hpp"

#include <kova/dma.h>

#include <memory>
#include <string>

// The functions of the table, in table order.
#define KOVA_DMA_API_FUNCTIONS(X) \
	X(kova_dma_create) \
	X(kova_dma_destroy) \
	X(kova_dma_as_ctx) \
	X(kova_dma_cap_get_max_num_tasks) \
	X(kova_dma_cap_task_memcpy_is_supported) \
	X(kova_dma_cap_task_memcpy_get_max_buf_list_len) \
	X(kova_dma_cap_task_memcpy_get_max_buf_size) \
	X(kova_dma_task_memcpy_set_conf) \
	X(kova_dma_task_memcpy_alloc_init) \
	X(kova_dma_task_memcpy_as_task) \
	X(kova_dma_task_memcpy_set_src) \
	X(kova_dma_task_memcpy_get_src) \
	X(kova_dma_task_memcpy_set_dst) \
	X(kova_dma_task_memcpy_get_dst)

namespace kova::bench::dl {

struct kova_dma_api {
	std::shared_ptr<handle_impl> handle;
	std::string path;
	KOVA_DMA_API_FUNCTIONS(KOVA_DL_FUNCTION)

	// The process-wide table, or null when libkova_dma.so.2 is not installed (decided once per process).
	// Throws KOVA_ERROR_INVALID_VALUE naming the first listed function the library lacks; the next call tries
	// again.
	static const kova_dma_api *singleton();
};

} // namespace kova::bench::dl
