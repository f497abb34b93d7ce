// Emulated GPU memory: a memfd mapped at the GPU address and, for memory the host reaches, once
// more at the CPU address, so that the two addresses differ as on a GPU but reach the same bytes.
#include "gpu_memory.hpp"

#include <kova_internal/rhun_runtime.hpp>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <new>

namespace kova::sdk::rhun {
namespace {

struct allocation {
	const void *owner;
	std::byte *cpu;
	std::size_t size;        // asked for
	std::size_t mapped;      // page multiple
	uint32_t users;          // running kernels that use it
};

struct memory_table {
	std::mutex mutex;
	std::map<const std::byte *, allocation> live; // by GPU address
};

memory_table &table()
{
	static memory_table instance;
	return instance;
}

// ThreadSanitizer tracks memory by address and cannot pair a store through one mapping with a load
// through the other: under it, host-visible memory has one address for both.
#if defined(__SANITIZE_THREAD__)
constexpr bool single_mapping = true;
#else
constexpr bool single_mapping = false;
#endif

std::size_t page_size() noexcept
{
	long const page = ::sysconf(_SC_PAGESIZE);
	return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

// Maps size bytes of fd at an address aligned to alignment; null on failure.
std::byte *map_aligned(int fd, std::size_t size, std::size_t alignment) noexcept
{
	std::size_t const reserve = size + alignment;
	void *area = ::mmap(nullptr, reserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
	if (area == MAP_FAILED)
		return nullptr;
	auto const start = reinterpret_cast<uintptr_t>(area);
	uintptr_t const aligned = (start + alignment - 1) & ~(uintptr_t{alignment} - 1);
	void *placed = ::mmap(reinterpret_cast<void *>(aligned), size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED,
			      fd, 0);
	if (placed == MAP_FAILED) {
		::munmap(area, reserve);
		return nullptr;
	}
	if (aligned > start)
		::munmap(area, aligned - start);
	uintptr_t const end = aligned + size;
	if (start + reserve > end)
		::munmap(reinterpret_cast<void *>(end), start + reserve - end);
	return static_cast<std::byte *>(placed);
}

} // namespace

kova_error mem_alloc(const void *owner, std::size_t size, std::size_t alignment, uint32_t mem_type, void **gpu,
		     void **cpu) noexcept
{
	if (gpu == nullptr || size == 0 || mem_type > 2 || (alignment & (alignment - 1)) != 0)
		return KOVA_ERROR_INVALID_VALUE;
	std::size_t const page = page_size();
	if (alignment < page)
		alignment = page;
	if (size > SIZE_MAX / 2 - alignment)
		return KOVA_ERROR_NO_MEMORY;
	std::size_t const mapped = (size + page - 1) / page * page;
	int const fd = ::memfd_create("kova_gpu_memory", MFD_CLOEXEC);
	if (fd < 0)
		return KOVA_ERROR_NO_MEMORY;
	std::byte *gpu_view = nullptr;
	std::byte *cpu_view = nullptr;
	if (::ftruncate(fd, static_cast<off_t>(mapped)) == 0)
		gpu_view = map_aligned(fd, mapped, alignment);
	if (gpu_view != nullptr && mem_type != 0 && single_mapping) {
		cpu_view = gpu_view;
	} else if (gpu_view != nullptr && mem_type != 0) {
		cpu_view = map_aligned(fd, mapped, alignment);
		if (cpu_view == nullptr) {
			::munmap(gpu_view, mapped);
			gpu_view = nullptr;
		}
	}
	::close(fd);
	if (gpu_view == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	std::memset(gpu_view, poison_byte, mapped);
	try {
		memory_table &t = table();
		std::lock_guard const lock{t.mutex};
		t.live.emplace(gpu_view, allocation{owner, cpu_view, size, mapped, 0});
	} catch (const std::bad_alloc &) {
		::munmap(gpu_view, mapped);
		if (cpu_view != nullptr && cpu_view != gpu_view)
			::munmap(cpu_view, mapped);
		return KOVA_ERROR_NO_MEMORY;
	}
	*gpu = gpu_view;
	if (cpu != nullptr)
		*cpu = cpu_view;
	return KOVA_SUCCESS;
}

kova_error mem_free(const void *owner, void *gpu) noexcept
{
	memory_table &t = table();
	std::byte *cpu_view = nullptr;
	std::size_t mapped = 0;
	{
		std::lock_guard const lock{t.mutex};
		auto const found = t.live.find(static_cast<const std::byte *>(gpu));
		if (found == t.live.end() || found->second.owner != owner)
			return KOVA_ERROR_INVALID_VALUE;
		if (found->second.users != 0)
			return KOVA_ERROR_BAD_STATE;
		cpu_view = found->second.cpu;
		mapped = found->second.mapped;
		t.live.erase(found);
	}
	::munmap(gpu, mapped);
	if (cpu_view != nullptr && cpu_view != gpu)
		::munmap(cpu_view, mapped);
	return KOVA_SUCCESS;
}

std::size_t mem_count(const void *owner) noexcept
{
	memory_table &t = table();
	std::lock_guard const lock{t.mutex};
	std::size_t count = 0;
	for (auto const &[address, entry] : t.live)
		count += entry.owner == owner ? 1 : 0;
	return count;
}

namespace {

// The allocation that holds [gpu, gpu + len), or the end of the table. Called with the mutex held.
std::map<const std::byte *, allocation>::iterator find_holder(memory_table &t, const void *gpu, std::size_t len)
{
	auto const *address = static_cast<const std::byte *>(gpu);
	auto found = t.live.upper_bound(address);
	if (found == t.live.begin())
		return t.live.end();
	--found;
	std::size_t const offset = static_cast<std::size_t>(address - found->first);
	if (offset >= found->second.size || len > found->second.size - offset)
		return t.live.end();
	return found;
}

} // namespace

bool mem_contains(const void *gpu, std::size_t len) noexcept
{
	memory_table &t = table();
	std::lock_guard const lock{t.mutex};
	return find_holder(t, gpu, len) != t.live.end();
}

bool mem_use(const void *const *addresses, uint32_t count) noexcept
{
	memory_table &t = table();
	std::lock_guard const lock{t.mutex};
	for (uint32_t i = 0; i < count; ++i) {
		if (find_holder(t, addresses[i], 1) == t.live.end())
			return false;
	}
	for (uint32_t i = 0; i < count; ++i)
		++find_holder(t, addresses[i], 1)->second.users;
	return true;
}

void mem_release(const void *const *addresses, uint32_t count) noexcept
{
	memory_table &t = table();
	std::lock_guard const lock{t.mutex};
	for (uint32_t i = 0; i < count; ++i) {
		auto const found = find_holder(t, addresses[i], 1);
		if (found != t.live.end() && found->second.users != 0)
			--found->second.users;
	}
}

} // namespace kova::sdk::rhun
