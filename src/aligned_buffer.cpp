#include "aligned_buffer.hpp"

#include "kova_exception.hpp"

#include <unistd.h>

#include <cstring>
#include <limits>

namespace kova::bench {
namespace {

uint64_t page_size()
{
	long const size = sysconf(_SC_PAGESIZE);
	return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

} // namespace

aligned_buffer::aligned_buffer(uint64_t size)
{
	allocate(size);
}

aligned_buffer::aligned_buffer(const void *source, uint64_t size)
{
	allocate(size);
	if (size != 0)
		std::memcpy(m_data, source, size);
}

aligned_buffer::aligned_buffer(const aligned_buffer &other) : aligned_buffer(other.m_data, other.m_size)
{
}

aligned_buffer &aligned_buffer::operator=(const aligned_buffer &other)
{
	if (this == &other)
		return *this;
	allocate(other.m_size);
	if (m_size != 0)
		std::memcpy(m_data, other.m_data, m_size);
	return *this;
}

void aligned_buffer::resize(uint64_t size)
{
	allocate(size);
}

void aligned_buffer::allocate(uint64_t size)
{
	uint64_t const page = page_size();
	if (size > std::numeric_limits<uint64_t>::max() - page || size + page > std::numeric_limits<std::size_t>::max())
		KOVA_THROW(KOVA_ERROR_NO_MEMORY, "Unable to allocate aligned memory");

	auto storage = std::make_unique_for_overwrite<std::byte[]>(static_cast<std::size_t>(size + page));
	auto const start = reinterpret_cast<uintptr_t>(storage.get());
	uintptr_t const aligned = (start + page - 1) / page * page;
	if (aligned - start + size > size + page)
		KOVA_THROW(KOVA_ERROR_NO_MEMORY, "Unable to allocate aligned memory");

	m_storage = std::move(storage);
	m_data = reinterpret_cast<std::byte *>(aligned);
	m_size = size;
}

} // namespace kova::bench
