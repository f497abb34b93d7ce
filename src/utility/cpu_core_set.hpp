// Sets of CPU cores, from a 64-bit core mask or from a core list text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kova::bench::utility {

// Distinct core numbers in the order in which they were first added.
struct cpu_core_set {
	std::vector<uint16_t> cores;

	friend bool operator==(const cpu_core_set &, const cpu_core_set &) = default;
};

// Core i for every set bit i, ascending; a mask of 0 gives an empty set.
cpu_core_set unpack_core_mask(uint64_t mask);

// A comma-separated list of cores and ranges, such as "1-6,9,0xF"; numbers
// are read as strtol does with base 0 and must lie in 0..65535. Duplicates are
// dropped, first appearance kept. Throws KOVA_ERROR_INVALID_VALUE on any malformed item.
cpu_core_set parse_cpu_core_set_string(const std::string &text);

} // namespace kova::bench::utility
