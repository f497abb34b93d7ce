// Counters with one writer that other threads may read while it writes: every access is a relaxed
// atomic one, and an update is a load and a store (no locked instruction).
#pragma once

#include <atomic>
#include <cstdint>

namespace kova::bench::impl {

template <typename T>
inline T relaxed_read(const T &counter) noexcept
{
	return std::atomic_ref<T>{const_cast<T &>(counter)}.load(std::memory_order_relaxed);
}

template <typename T>
inline void relaxed_write(T &counter, T value) noexcept
{
	std::atomic_ref<T>{counter}.store(value, std::memory_order_relaxed);
}

// Only for the counter's one writer.
inline void relaxed_add(uint64_t &counter, uint64_t amount) noexcept
{
	std::atomic_ref<uint64_t> const ref{counter};
	ref.store(ref.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

} // namespace kova::bench::impl
