// The DMA library's instance and task, shared by its control path (dma.cpp) and its data path
// (dma_memcpy.cpp).
#pragma once

#include <kova_internal/ctx_kernel.hpp>

#include <kova/dma.h>

#include <cstddef>
#include <cstdint>

struct kova_dma_task_memcpy {
	kova_task task;
};

struct kova_dma {
	kova_ctx ctx;
	kova::sdk::task_kind memcpy;
	// Longest source or destination list a task may have; read when the tasks are configured.
	uint32_t max_buf_list_len;
};

namespace kova::sdk::dma {

// What the stand-in device answers unless a test overrides the capability.
inline constexpr uint64_t default_max_buf_size = 2 * 1024 * 1024;
inline constexpr uint32_t default_max_buf_list_len = 32;
inline constexpr uint32_t default_max_num_tasks = 1U << 20;

// Runs one memcpy task inside kova_pe_progress.
kova_error run_memcpy(kova_task *task) noexcept;

// The instance a memcpy task kind belongs to.
inline kova_dma *instance_of(task_kind *kind) noexcept
{
	return reinterpret_cast<kova_dma *>(reinterpret_cast<std::byte *>(kind) - offsetof(kova_dma, memcpy));
}

} // namespace kova::sdk::dma
