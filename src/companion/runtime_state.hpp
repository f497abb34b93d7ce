// The companion's process-wide state: the benchmark's runtime state (devices, representor, GPU,
// DPDK context) plus what the companion owns on the benchmark's behalf: the memory regions it
// exports as the benchmark's remote buffers, and the worker pool.
#pragma once

#include "aligned_buffer.hpp"
#include "companion/worker/pool.hpp"
#include "kova_delegated_deleter.hpp"
#include "../runtime_state.hpp" // the benchmark's, which this one extends
#include "utility/kova_utils.hpp"
#include "utility/remote_mmap_definition.hpp"

#include <kova/types.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace kova::bench::companion {

class runtime_state : public kova::bench::runtime_state {
public:
	runtime_state();
	// The pool first (every worker stopped, joined and destroyed), then the maps in creation
	// order, the buffers, and the base.
	~runtime_state() override;

	// One region per content, holding a copy of it. KOVA_ERROR_NO_MEMORY "... too large" when the total exceeds
	// the memory a request may take (nothing is reserved then). When a region fails, the regions
	// of this request are released and the error passes on; earlier requests' regions stay.
	std::vector<utility::remote_mmap_definition> create_mmaps(const std::vector<std::vector<char>> &contents);
	// `count` regions of `size` uninitialised bytes. KOVA_ERROR_INVALID_VALUE for size 0, KOVA_ERROR_NO_MEMORY as above.
	std::vector<utility::remote_mmap_definition> create_mmaps(uint32_t count, uint32_t size);

	// Destroys every map, then frees every buffer. Never throws.
	void destroy_all_mmaps() noexcept;

	// A new pool over the cores, replacing the old one after it exists. KOVA_ERROR_IN_USE "Cannot configure
	// worker pool. <n> workers are running." while the old pool holds workers.
	void configure_worker_pool(const std::vector<uint16_t> &cores);
	[[nodiscard]] worker::pool *get_worker_pool() const noexcept { return m_pool.get(); }

	// The map's export descriptor for the device; the SDK's code with "Unable to export memory map.".
	static std::vector<char> export_mmap(kova_mmap *mmap, kova_dev *dev);

	// The most bytes of remote memory one request may ask for: half the machine's physical memory.
	static uint64_t max_request_bytes() noexcept;

	[[nodiscard]] std::size_t get_mmap_count() const noexcept { return m_mmaps.size(); }
	// The bytes of region `index` (for tests and inspection).
	[[nodiscard]] const aligned_buffer &get_buffer(std::size_t index) const { return m_buffers.at(index); }

private:
	using mmap_owner = std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>>;

	template <typename Make>
	std::vector<utility::remote_mmap_definition> create_regions(std::size_t count, Make make_buffer);
	void release_from(std::size_t first) noexcept;

	std::vector<aligned_buffer> m_buffers;
	std::vector<mmap_owner> m_mmaps;
	std::unique_ptr<worker::pool> m_pool;
};

} // namespace kova::bench::companion
