// One row of the command-line option table of kova_bench.
#pragma once

#include "utility/cfg_value_type.hpp"
#include "utility/configuration_utils.hpp"

#include <cstdint>

namespace kova::bench::utility {

// The group node that owns every command-line option.
inline constexpr property_definition configuration_options_group{42, "configuration", nullptr, cfg_value_type::group, 0};

struct configuration_property {
	uint64_t id;                        // selects the option's value handler
	const char *long_name;              // given after "--"
	const property_definition *owner;   // always &configuration_options_group
	cfg_value_type value_type;          // integer, string or boolean
	const char *short_name;             // one character given after "-", or null
	const char *description;            // the help text
	uint8_t mandatory;                  // the parser requires the option
	uint8_t multiple;                   // the option may be repeated
	uint8_t sweepable;                  // may be the property of a --sweep
};

} // namespace kova::bench::utility
