// Version of the companion protocol: major and minor number.
#pragma once

#include <cstdint>

namespace kova::bench::companion::api {

struct version {
	uint32_t major;
	uint32_t minor;
};

inline bool operator==(const version &lhs, const version &rhs) noexcept
{
	return lhs.major == rhs.major && lhs.minor == rhs.minor;
}

} // namespace kova::bench::companion::api
