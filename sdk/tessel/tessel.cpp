// GPU handles and GPU memory of the emulated GPU.
#include <kova_internal/rhun_runtime.hpp>

#include <kova/error.h>
#include <kova/tessel.h>

#include <new>

struct kova_gpu {
	char pci_address[16];
};

namespace rhun = kova::sdk::rhun;

KOVA_EXPORT kova_error kova_gpu_create(const char *gpu_bus_id, kova_gpu **gpu)
{
	if (gpu_bus_id == nullptr || gpu == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (!rhun::is_known_gpu(gpu_bus_id))
		return KOVA_ERROR_NOT_FOUND;
	auto *made = new (std::nothrow) kova_gpu{};
	if (made == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	static constexpr char address[] = "0000:65:00.0";
	static_assert(sizeof(address) <= sizeof(made->pci_address));
	for (std::size_t i = 0; i < sizeof(address); ++i)
		made->pci_address[i] = address[i];
	*gpu = made;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_gpu_destroy(kova_gpu *gpu)
{
	if (gpu == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	// Memory of the GPU must be freed first.
	if (rhun::mem_count(gpu) != 0)
		return KOVA_ERROR_BAD_STATE;
	delete gpu;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_gpu_mem_alloc(kova_gpu *gpu, size_t size, size_t alignment, uint32_t mem_type,
					  void **memptr_gpu, void **memptr_cpu)
{
	if (gpu == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return rhun::mem_alloc(gpu, size, alignment, mem_type, memptr_gpu, memptr_cpu);
}

KOVA_EXPORT kova_error kova_gpu_mem_free(kova_gpu *gpu, void *memptr_gpu)
{
	if (gpu == nullptr || memptr_gpu == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return rhun::mem_free(gpu, memptr_gpu);
}

KOVA_EXPORT kova_error kova_gpu_dmabuf_fd(kova_gpu *gpu, void *memptr_gpu, size_t size, int *dmabuf_fd)
{
	if (gpu == nullptr || memptr_gpu == nullptr || size == 0 || dmabuf_fd == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	// The emulated GPU's memory is not a device buffer: callers register it by address instead.
	return KOVA_ERROR_NOT_SUPPORTED;
}
