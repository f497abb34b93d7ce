#include "utility/byte_unit.hpp"

#include "kova_exception.hpp"

#include <array>
#include <string_view>

namespace kova::bench::utility {
namespace {

struct unit_name {
	std::string_view name;
	byte_unit unit;
};

// Lookups scan from the top, so the short forms never win over the long names.
constexpr std::array<unit_name, 17> unit_table{{
	{"b", byte_unit::b},
	{"B", byte_unit::B},
	{"Kb", byte_unit::Kb},
	{"Kib", byte_unit::Kib},
	{"KB", byte_unit::KB},
	{"KiB", byte_unit::KiB},
	{"Mb", byte_unit::Mb},
	{"Meb", byte_unit::Meb},
	{"MB", byte_unit::MB},
	{"MeB", byte_unit::MeB},
	{"Gb", byte_unit::Gb},
	{"Gib", byte_unit::Gib},
	{"GB", byte_unit::GB},
	{"GiB", byte_unit::GiB},
	{"k", byte_unit::KB},
	{"m", byte_unit::MB},
	{"g", byte_unit::GB},
}};

} // namespace

template <>
byte_unit from_string<byte_unit>(const std::string &text)
{
	for (auto const &row : unit_table) {
		if (row.name == text)
			return row.unit;
	}
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unknown byte unit: \"" + text + "\"");
}

std::string to_string(byte_unit unit)
{
	for (auto const &row : unit_table) {
		if (row.unit == unit)
			return std::string{row.name};
	}
	return "UNDEFINED";
}

} // namespace kova::bench::utility
