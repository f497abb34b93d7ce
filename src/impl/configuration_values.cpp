// Readers of option texts with a grammar of their own, and of sweep values.
#include "impl/configuration_values.hpp"

#include "kova_optional.hpp"
#include "utility/byte_unit.hpp"
#include "utility/string_utils.hpp"

#include <kova/error.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>

namespace kova::bench::impl {

namespace {

[[noreturn]] void throw_too_large(const std::string &option, const std::string &text)
{
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid value for " + option + ". Value is too large: \"" + text + "\"");
}

// A key or value written between double quotes loses them.
std::string unquote(std::string text)
{
	if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
		return text.substr(1, text.size() - 2);
	return text;
}

// One "<number><n|u|m>s" part of a latency bucket range in nanoseconds, or
// empty when malformed; `rest` moves past the "s".
kova::optional<uint64_t> parse_latency_part(const char *&rest)
{
	throw_if_text_is_negative(rest, "latency-bucket-range");
	errno = 0;
	char *end = nullptr;
	unsigned long long const number = std::strtoull(rest, &end, 10);
	if (errno == ERANGE || end[0] == '\0' || end[1] != 's')
		return {};
	uint64_t scale = 0;
	switch (end[0]) {
	case 'n':
		scale = 1;
		break;
	case 'u':
		scale = 1000;
		break;
	case 'm':
		scale = 1000000;
		break;
	default:
		return {};
	}
	if (number > std::numeric_limits<uint64_t>::max() / scale)
		return {};
	rest = end + 2;
	return uint64_t{number * scale};
}

} // namespace

void throw_if_text_is_negative(const char *text, const std::string &option)
{
	while (std::isspace(static_cast<unsigned char>(*text)) != 0)
		++text;
	if (*text == '-')
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid value for " + option + ". Value may not be negative");
}

std::pair<std::string, std::string> parse_key_value_pair(const std::string &text)
{
	auto const eq = text.find('=');
	if (eq == std::string::npos)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, kova_error_get_descr(KOVA_ERROR_INVALID_VALUE));
	return {unquote(utility::trim(text.substr(0, eq))), unquote(utility::trim(text.substr(eq + 1)))};
}

std::pair<uint64_t, uint64_t> parse_latency_bucket_range(const std::string &text)
{
	const char *rest = text.c_str();
	kova::optional<uint64_t> const lower = parse_latency_part(rest);
	if (!lower.has_value() || *rest != ',')
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid latency bucket range");
	++rest;
	kova::optional<uint64_t> const width = parse_latency_part(rest);
	// The histogram's 100 buckets need a width and must end within 64 bits.
	if (!width.has_value() || *width == 0 || *width > (std::numeric_limits<uint64_t>::max() - *lower) / 100)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid latency bucket range");
	return {*lower, *width};
}

utility::sg_configuration parse_split_value(const std::string &text, const std::string &option)
{
	throw_if_text_is_negative(text.c_str(), option);
	errno = 0;
	char *end = nullptr;
	unsigned long long const number = std::strtoull(text.c_str(), &end, 10);
	if (errno == ERANGE)
		throw_too_large(option, text);
	if (*end == '\0') {
		if (number > std::numeric_limits<uint32_t>::max())
			throw_too_large(option, text);
		return {static_cast<uint32_t>(number), utility::sg_split_type::count};
	}
	auto const bits = static_cast<uint64_t>(utility::from_string<utility::byte_unit>(end));
	unsigned __int128 const bytes = static_cast<unsigned __int128>(number) * bits / 8;
	if (bytes > std::numeric_limits<uint32_t>::max())
		throw_too_large(option, text);
	return {static_cast<uint32_t>(bytes), utility::sg_split_type::bytes_per_fragment};
}

std::string sweep_value_text(const utility::sweep_definition &sweep, uint32_t index)
{
	if (auto const numbers = sweep.get_numeric_view())
		return std::to_string(numbers->get_nth_value(index));
	if (auto const texts = sweep.get_string_view())
		return texts->get_nth_value(index);
	auto const splits = require_view(sweep.get_sg_config_view(), sweep.get_property_name());
	return std::to_string(splits->get_nth_value(index).value);
}

} // namespace kova::bench::impl
