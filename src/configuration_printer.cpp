#include "configuration_printer.hpp"

#include "utility/string_utils.hpp"

#include <cstdio>
#include <iomanip>
#include <sstream>

std::string to_string(kova_mtu_size mtu)
{
	switch (mtu) {
	case KOVA_MTU_SIZE_256_BYTES:
		return "256B";
	case KOVA_MTU_SIZE_512_BYTES:
		return "512B";
	case KOVA_MTU_SIZE_1K_BYTES:
		return "1kiB";
	case KOVA_MTU_SIZE_2K_BYTES:
		return "2kiB";
	case KOVA_MTU_SIZE_4K_BYTES:
		return "4kiB";
	case KOVA_MTU_SIZE_RAW_ETHERNET:
		return "ETH_FRAME";
	}
	return "UNDEFINED(" + std::to_string(static_cast<int32_t>(mtu)) + ")";
}

namespace kova::bench::utility {

std::string format_double(double value, double_format format)
{
	char buffer[328];
	int const length = std::snprintf(buffer, sizeof buffer, "%f", value);
	auto const pieces = length > 0 && static_cast<std::size_t>(length) < sizeof buffer
				    ? split(std::string{buffer, static_cast<std::size_t>(length)}, ".")
				    : std::vector<std::string>{};
	if (pieces.size() != 2) {
		std::ostringstream out;
		out << std::fixed << std::setprecision(static_cast<int>(format.fraction_digits))
		    << std::setw(static_cast<int>(format.integer_width + format.fraction_digits + 1)) << std::right
		    << std::setfill(format.fill) << value;
		return out.str();
	}

	std::string const &integer = pieces[0];
	std::string const &fraction = pieces[1];
	std::string text;
	if (integer.size() < format.integer_width)
		text.assign(format.integer_width - integer.size(), format.fill);
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

std::string to_string(const cpu_core_set &core_set)
{
	std::string text = "[";
	for (std::size_t i = 0; i != core_set.cores.size(); ++i) {
		if (i != 0)
			text += ", ";
		text += std::to_string(core_set.cores[i]);
	}
	text += ']';
	return text;
}

std::string sg_config_info(const sg_configuration &configuration)
{
	if (configuration.split == sg_split_type::bytes_per_fragment)
		return "One fragment per " + std::to_string(configuration.value) + " bytes";
	return std::to_string(configuration.value) + " fragments";
}

} // namespace kova::bench::utility
