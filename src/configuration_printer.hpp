// Text forms of configuration values shown by the reports.
#pragma once

#include "utility/cpu_core_set.hpp"
#include "utility/sg_configuration.hpp"

#include <kova/mtu.h>

#include <cstdint>
#include <string>

// "256B", "512B", "1kiB", "2kiB", "4kiB", "ETH_FRAME"; "UNDEFINED(<n>)" otherwise.
std::string to_string(kova_mtu_size mtu);

namespace kova::bench::utility {

struct double_format {
	uint32_t integer_width;   // minimum characters before the decimal point
	uint32_t fraction_digits; // exact digits after it
	char fill;                // pads the integer part
};

// The value with its integer part padded to integer_width with fill and its
// fraction cut (not rounded) to fraction_digits; "2.5" with {3, 3, ' '} is "  2.500".
std::string format_double(double value, double_format format);

// "[" + the core numbers in stored order joined by ", " + "]".
std::string to_string(const cpu_core_set &core_set);

// "One fragment per <value> bytes" or "<value> fragments".
std::string sg_config_info(const sg_configuration &configuration);

} // namespace kova::bench::utility
