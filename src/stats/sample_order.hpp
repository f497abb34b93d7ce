// Positions of the order statistics that the reports show, in samples sorted
// ascending.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kova::bench::stats {

// The 90th, 95th, 99th, 99.9th and 99.99th percentiles.
inline constexpr std::array<float, 5> reported_percentiles{0.9f, 0.95f, 0.99f, 0.999f, 0.9999f};

// Index of percentile p among count samples: count times p in single
// precision, truncated. count > 0.
inline std::size_t percentile_index(std::size_t count, float p) noexcept
{
	auto const index = static_cast<std::size_t>(static_cast<float>(count) * p);
	return std::min(index, count - 1);
}

// The samples themselves when they are sorted ascending, otherwise a sorted
// copy kept in storage.
template <typename T>
const std::vector<T> &sorted_samples(const std::vector<T> &samples, std::vector<T> &storage)
{
	if (std::is_sorted(samples.begin(), samples.end()))
		return samples;
	storage = samples;
	std::sort(storage.begin(), storage.end());
	return storage;
}

} // namespace kova::bench::stats
