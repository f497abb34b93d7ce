/*
 * GPU networking library (libkova_tessel.so.2): a GPU handle and its memory, which the network libraries'
 * GPU handles and the GPU kernels use.
 *
 * Every function returns kova_error: 0 on success, KOVA_ERROR_INVALID_VALUE for a null or malformed
 * argument, KOVA_ERROR_NOT_FOUND when no GPU has the bus address, KOVA_ERROR_NO_MEMORY when the GPU
 * memory is exhausted, and KOVA_ERROR_NOT_SUPPORTED when the machine has no usable GPU runtime.
 */
#ifndef KOVA_TESSEL_H
#define KOVA_TESSEL_H

#include <kova/error.h>
#include <kova/types.h>

typedef struct kova_gpu kova_gpu;

/* Where memory lives and who reaches it. */
enum kova_gpu_mem_type {
	KOVA_GPU_MEM_TYPE_GPU = 0,         /* GPU only */
	KOVA_GPU_MEM_TYPE_GPU_CPU = 1,     /* GPU memory the CPU can reach too */
	KOVA_GPU_MEM_TYPE_CPU_GPU = 2,     /* host memory the GPU can reach */
};

/* gpu_bus_id: the GPU's PCI address ("BB:DD.F" or "DDDD:BB:DD.F"). */
KOVA_EXPORT kova_error kova_gpu_create(const char *gpu_bus_id, kova_gpu **gpu);
/* KOVA_ERROR_BAD_STATE while memory of the GPU is allocated. */
KOVA_EXPORT kova_error kova_gpu_destroy(kova_gpu *gpu);
/*
 * size bytes (0: KOVA_ERROR_INVALID_VALUE) aligned to alignment (0: the GPU's default; a power of two), filled with a poison pattern
 * (never zero). The GPU address goes to memptr_gpu; the CPU address to memptr_cpu when it is not null (null
 * for KOVA_GPU_MEM_TYPE_GPU, which the CPU does not reach).
 */
KOVA_EXPORT kova_error kova_gpu_mem_alloc(kova_gpu *gpu, size_t size, size_t alignment, uint32_t mem_type,
					  void **memptr_gpu, void **memptr_cpu);
/*
 * KOVA_ERROR_INVALID_VALUE for an address that is not an allocation of this GPU; KOVA_ERROR_BAD_STATE (the
 * memory stays) while a running kernel uses it.
 */
KOVA_EXPORT kova_error kova_gpu_mem_free(kova_gpu *gpu, void *memptr_gpu);
/*
 * A dmabuf file descriptor for size bytes of GPU memory from memptr_gpu on; KOVA_ERROR_NOT_SUPPORTED when the
 * driver has none.
 */
KOVA_EXPORT kova_error kova_gpu_dmabuf_fd(kova_gpu *gpu, void *memptr_gpu, size_t size, int *dmabuf_fd);

#endif
