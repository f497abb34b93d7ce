// Units of data sizes and rates; each unit's value is its size in bits.
#pragma once

#include <cstdint>
#include <string>

namespace kova::bench::utility {

enum class byte_unit : uint64_t {
	b = 1,
	B = 8,
	Kb = 1000,
	Kib = 1024,
	KB = 8000,
	KiB = 8192,
	Mb = 1000000,
	Meb = 1048576,
	MB = 8000000,
	MeB = 8388608,
	Gb = 1000000000,
	Gib = 1073741824,
	GB = 8000000000,
	GiB = 8589934592,
};

template <typename T>
T from_string(const std::string &text);

// The unit named exactly by the text; throws KOVA_ERROR_INVALID_VALUE "Unknown byte unit: "<text>"".
template <>
byte_unit from_string<byte_unit>(const std::string &text);

// The name of the first unit with that value, or "UNDEFINED".
std::string to_string(byte_unit unit);

} // namespace kova::bench::utility
