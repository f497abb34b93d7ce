// The emulated GPU that the GPU networking library and the kernel launch library are built on
// (librhunrt.so, the runtime's stand-in, only has to be installed). This machine has no GPU: "GPU memory" is shared memory mapped twice (one
// mapping is the GPU address, the other the CPU address of memory the host may reach) and a kernel
// runs on CPU threads of this process. Numbers measured through it are the software path's. (Under
// ThreadSanitizer, which tracks memory by address, both addresses are the same mapping.)
//
// Memory: every allocation is listed in a process-wide table with the kernels that use it; a
// launch names the allocations its kernel reads or writes, and freeing one of them while that
// kernel runs is refused.
//
// Kernels: a launch copies its parameter block, starts min(blocks, max_emulator_threads) emulator
// threads (fewer when the launch asks so), hands each a contiguous range of blocks and returns at
// once. Emulator threads are pinned one CPU each, taken from the highest-numbered CPU the process
// may use downwards, away from the low cores a benchmark's workers usually take; with one CPU they
// are not pinned. The kernel ends when every emulator thread has returned from its block function.
#pragma once

#include <kova_internal/export.hpp>

#include <kova/error.h>
#include <kova/types.h>

#include <cstddef>
#include <cstdint>

namespace kova::sdk::rhun {

// The most emulator threads one kernel gets.
inline constexpr uint32_t max_emulator_threads = 4;

// What freshly allocated GPU memory holds: never zero, so that a reader of memory nobody wrote
// sees garbage, as on a GPU.
inline constexpr uint8_t poison_byte = 0xA5;

// The only GPU of the emulator, "0000:65:00.0".
KOVA_SDK_INTERNAL bool is_known_gpu(const char *pci_address) noexcept;

// size bytes (0: 6) aligned to alignment (0: 4096; not a power of two: 6) of memory type 0
// (GPU only: *cpu receives null), 1 or 2 (both addresses). owner tags the allocation (the GPU
// handle). Returns 0; 6; 7 when memory runs out.
KOVA_SDK_INTERNAL kova_error mem_alloc(const void *owner, std::size_t size, std::size_t alignment, uint32_t mem_type,
				       void **gpu, void **cpu) noexcept;

// 6 when gpu is not the GPU address of a live allocation of owner; 18 (the memory stays) while a
// running kernel uses it.
KOVA_SDK_INTERNAL kova_error mem_free(const void *owner, void *gpu) noexcept;

// The number of live allocations of owner.
KOVA_SDK_INTERNAL std::size_t mem_count(const void *owner) noexcept;

// True when [gpu, gpu + len) lies inside one live allocation.
KOVA_SDK_INTERNAL bool mem_contains(const void *gpu, std::size_t len) noexcept;

// Runs the blocks [first_block, first_block + num_blocks) of a kernel on one emulator thread until
// the kernel's own stop condition; params is the launch's copy of the parameter block.
using block_range_fn = void (*)(const void *params, uint32_t first_block, uint32_t num_blocks);

struct launch_request {
	const char *name;           // for log lines
	block_range_fn run;
	const void *params;         // copied
	std::size_t params_size;
	uint32_t blocks;            // >= 1
	uint32_t max_threads;       // 0: max_emulator_threads
	const void *const *uses;    // GPU addresses the kernel reads or writes, each inside an allocation
	uint32_t num_uses;
	// Called once by the last emulator thread, after the uses are released; may be null.
	void (*ended)(const void *params);
};

// Starts the kernel. Returns 0; 6 for a malformed request or a use outside GPU memory; 7 when no
// thread can be started.
KOVA_SDK_INTERNAL kova_error launch(const launch_request &request) noexcept;

// Waits until every kernel launched before the call has ended. Returns 0.
KOVA_SDK_INTERNAL kova_error synchronize() noexcept;

// Kernels launched and not yet ended.
KOVA_SDK_INTERNAL uint32_t running_kernels() noexcept;

// Keeps a copy of a launcher's parameter block while tests record them (kova/test_gpu.h).
KOVA_SDK_INTERNAL void record_params(const char *launcher, const void *params, std::size_t size) noexcept;

} // namespace kova::sdk::rhun
