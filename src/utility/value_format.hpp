// Text forms of small values shown in the configuration printout and the reports.
#pragma once

#include "utility/cpu_core_set.hpp"
#include "utility/sg_configuration.hpp"

#include <kova/mtu.h>

#include <cstdint>
#include <ostream>
#include <string>

// Global namespace: "256B", "512B", "1kiB", "2kiB", "4kiB", "ETH_FRAME", else "UNDEFINED(<n>)".
std::string to_string(kova_mtu_size mtu);
std::ostream &operator<<(std::ostream &os, kova_mtu_size mtu);

namespace kova::bench::utility {

struct double_format {
	uint32_t integer_width;
	uint32_t fraction_digits;
	char fill;
};

// "auto" for 0, else the number.
std::string auto_or_int(uint64_t value);

// "[1, 2, 3]"; "[]" when empty.
std::string to_string(const cpu_core_set &set);

// "One fragment per <n> bytes" or "<n> fragments".
std::string sg_config_info(const sg_configuration &config);

// The value with at least integer_width characters before the point (padded
// with fill) and exactly fraction_digits digits after it, cut, not rounded.
std::string format_double(double value, double_format format);

} // namespace kova::bench::utility
