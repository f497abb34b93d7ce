// How a job buffer is split into gather or scatter fragments.
#pragma once

#include <cstdint>

namespace kova::bench::utility {

enum class sg_split_type : uint32_t {
	count = 0,              // `value` fragments per buffer
	bytes_per_fragment = 1, // one fragment per `value` bytes
};

struct sg_configuration {
	uint32_t value = 0;
	sg_split_type split = sg_split_type::count;

	friend bool operator==(const sg_configuration &, const sg_configuration &) = default;
};

} // namespace kova::bench::utility
