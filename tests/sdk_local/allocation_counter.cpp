// The process's malloc, calloc, realloc and aligned allocations, counted and handed to the C library.
#include "allocation_counter.hpp"

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
}

namespace {

std::atomic<bool> g_counting{false};
std::atomic<uint64_t> g_count{0};

void note() noexcept
{
	if (g_counting.load(std::memory_order_relaxed))
		g_count.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

namespace kova::sdk_local_test {

void count_allocations(bool on)
{
	if (on)
		g_count.store(0, std::memory_order_relaxed);
	g_counting.store(on, std::memory_order_relaxed);
}

uint64_t allocations_counted()
{
	return g_count.load(std::memory_order_relaxed);
}

} // namespace kova::sdk_local_test

extern "C" {

void *malloc(size_t size)
{
	note();
	return __libc_malloc(size);
}

void *calloc(size_t count, size_t size)
{
	note();
	return __libc_calloc(count, size);
}

void *realloc(void *ptr, size_t size)
{
	note();
	return __libc_realloc(ptr, size);
}

void *aligned_alloc(size_t alignment, size_t size)
{
	note();
	return __libc_memalign(alignment, size);
}

void *memalign(size_t alignment, size_t size)
{
	note();
	return __libc_memalign(alignment, size);
}

int posix_memalign(void **ptr, size_t alignment, size_t size)
{
	note();
	void *made = __libc_memalign(alignment, size);
	if (made == nullptr)
		return ENOMEM;
	*ptr = made;
	return 0;
}
}
