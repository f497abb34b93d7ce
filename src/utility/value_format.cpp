#include "utility/value_format.hpp"

#include "utility/string_utils.hpp"

#include <cstdio>
#include <iomanip>
#include <sstream>

std::string to_string(kova_mtu_size mtu)
{
	switch (static_cast<int>(mtu)) {
	case 0:
		return "256B";
	case 1:
		return "512B";
	case 2:
		return "1kiB";
	case 3:
		return "2kiB";
	case 4:
		return "4kiB";
	case 5:
		return "ETH_FRAME";
	default:
		return "UNDEFINED(" + std::to_string(static_cast<int>(mtu)) + ")";
	}
}

std::ostream &operator<<(std::ostream &os, kova_mtu_size mtu)
{
	return os << to_string(mtu);
}

namespace kova::bench::utility {

std::string auto_or_int(uint64_t value)
{
	return value == 0 ? std::string{"auto"} : std::to_string(value);
}

std::string to_string(const cpu_core_set &set)
{
	std::string text = "[";
	for (std::size_t i = 0; i < set.cores.size(); ++i) {
		if (i != 0)
			text += ", ";
		text += std::to_string(set.cores[i]);
	}
	return text + "]";
}

std::string sg_config_info(const sg_configuration &config)
{
	if (config.split == sg_split_type::bytes_per_fragment)
		return "One fragment per " + std::to_string(config.value) + " bytes";
	return std::to_string(config.value) + " fragments";
}

std::string format_double(double value, double_format format)
{
	char buffer[328];
	std::snprintf(buffer, sizeof(buffer), "%f", value);
	auto const pieces = split(buffer, ".");
	if (pieces.size() != 2) {
		std::ostringstream os;
		os << std::fixed << std::setprecision(static_cast<int>(format.fraction_digits))
		   << std::setw(static_cast<int>(format.integer_width + format.fraction_digits + 1))
		   << std::setfill(format.fill) << std::right << value;
		return os.str();
	}

	std::string text;
	auto const &integer = pieces[0];
	auto const &fraction = pieces[1];
	if (integer.size() < format.integer_width)
		text.append(format.integer_width - integer.size(), format.fill);
	text += integer;
	text += '.';
	if (fraction.size() < format.fraction_digits) {
		text += fraction;
		text.append(format.fraction_digits - fraction.size(), '0');
	} else {
		text.append(fraction, 0, format.fraction_digits);
	}
	return text;
}

} // namespace kova::bench::utility
