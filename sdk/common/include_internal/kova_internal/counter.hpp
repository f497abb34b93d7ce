// A counter with one writer that other threads may read without a data race.
#pragma once

#include <atomic>
#include <cstdint>

namespace kova::sdk {

class counter {
public:
	// A plain load and store: the owning thread is the only writer, so no locked add is needed.
	void add(uint64_t n = 1) noexcept
	{
		m_value.store(m_value.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
	}
	[[nodiscard]] uint64_t get() const noexcept { return m_value.load(std::memory_order_relaxed); }
	void reset() noexcept { m_value.store(0, std::memory_order_relaxed); }

private:
	std::atomic<uint64_t> m_value{0};
};

struct activity_counters {
	counter submissions;
	counter flushes;
	counter completions;
	counter error_completions;
};

} // namespace kova::sdk
