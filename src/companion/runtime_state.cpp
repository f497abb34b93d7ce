#include "companion/runtime_state.hpp"

#include "kova_exception.hpp"

#include <kova/mmap.h>

#include <unistd.h>

#include <limits>

namespace kova::bench::companion {
namespace {

// Registered and exported for PCI access by the peer.
constexpr uint32_t region_permissions = 32;

void throw_if_too_large(uint64_t count, uint64_t size)
{
	uint64_t const limit = runtime_state::max_request_bytes();
	if (size != 0 && count > limit / size)
		KOVA_THROW(KOVA_ERROR_NO_MEMORY, "Requested remote memory of " + std::to_string(count) + " x " +
							 std::to_string(size) + " bytes is too large (limit " +
							 std::to_string(limit) + " bytes)");
}

} // namespace

runtime_state::runtime_state() = default;

runtime_state::~runtime_state()
{
	m_pool.reset();
	destroy_all_mmaps();
}

uint64_t runtime_state::max_request_bytes() noexcept
{
	long const pages = ::sysconf(_SC_PHYS_PAGES);
	long const page_size = ::sysconf(_SC_PAGESIZE);
	if (pages <= 0 || page_size <= 0)
		return std::numeric_limits<uint32_t>::max();
	return static_cast<uint64_t>(pages) / 2 * static_cast<uint64_t>(page_size);
}

std::vector<char> runtime_state::export_mmap(kova_mmap *mmap, kova_dev *dev)
{
	const void *descriptor = nullptr;
	std::size_t length = 0;
	if (kova_error const err = kova_mmap_export_pci(mmap, dev, &descriptor, &length))
		KOVA_THROW(err, "Unable to export memory map.");
	auto const *bytes = static_cast<const char *>(descriptor);
	return std::vector<char>(bytes, bytes + length);
}

template <typename Make>
std::vector<utility::remote_mmap_definition> runtime_state::create_regions(std::size_t count, Make make_buffer)
{
	std::vector<utility::remote_mmap_definition> result;
	result.reserve(count);
	std::size_t const first = m_buffers.size();
	try {
		m_buffers.reserve(first + count);
		m_mmaps.reserve(first + count);
		auto const devices = get_devices();
		if (devices.empty() && count != 0)
			KOVA_THROW(KOVA_ERROR_BAD_STATE, "Unable to create memory regions: no device is open");
		for (std::size_t i = 0; i != count; ++i) {
			m_buffers.push_back(make_buffer(i));
			m_mmaps.push_back(utility::make_mmap(m_buffers.back(), devices, region_permissions));
			result.push_back(utility::remote_mmap_definition{export_mmap(m_mmaps.back().get(), devices[0])});
		}
	} catch (...) {
		release_from(first);
		throw;
	}
	return result;
}

std::vector<utility::remote_mmap_definition> runtime_state::create_mmaps(const std::vector<std::vector<char>> &contents)
{
	uint64_t total = 0;
	for (auto const &content : contents)
		total += content.size();
	throw_if_too_large(1, total);
	return create_regions(contents.size(), [&contents](std::size_t i) {
		return aligned_buffer{contents[i].data(), contents[i].size()};
	});
}

std::vector<utility::remote_mmap_definition> runtime_state::create_mmaps(uint32_t count, uint32_t size)
{
	if (size == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to create memory regions of 0 bytes");
	throw_if_too_large(count, size);
	return create_regions(count, [size](std::size_t) { return aligned_buffer{size}; });
}

void runtime_state::release_from(std::size_t first) noexcept
{
	while (m_mmaps.size() > first)
		m_mmaps.pop_back();
	while (m_buffers.size() > first)
		m_buffers.pop_back();
}

void runtime_state::destroy_all_mmaps() noexcept
{
	for (auto &mmap : m_mmaps)
		mmap.reset();
	m_mmaps.clear();
	m_buffers.clear();
}

void runtime_state::configure_worker_pool(const std::vector<uint16_t> &cores)
{
	if (m_pool != nullptr && m_pool->get_active_worker_count() != 0)
		KOVA_THROW(KOVA_ERROR_IN_USE, "Cannot configure worker pool. " +
						      std::to_string(m_pool->get_active_worker_count()) +
						      " workers are running.");
	auto replacement = std::make_unique<worker::pool>(cores);
	m_pool = std::move(replacement);
}

} // namespace kova::bench::companion
