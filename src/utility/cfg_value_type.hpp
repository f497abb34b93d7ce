// Value type of a command-line option or of a step-attribute property.
#pragma once

#include <cstdint>

namespace kova::bench::utility {

enum class cfg_value_type : uint32_t {
	group = 0, // a node that only groups other nodes
	integer = 1,
	string = 2,
	boolean = 3,
};

} // namespace kova::bench::utility
