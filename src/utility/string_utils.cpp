#include "utility/string_utils.hpp"

#include "kova_exception.hpp"

#include <array>
#include <cctype>
#include <cstddef>
#include <exception>
#include <limits>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kova::bench::utility {
namespace {

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool is_hex_digit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// True when the first character after leading white space is '-'.
bool has_minus_sign(const std::string &text)
{
	for (char c : text) {
		if (!is_space(c))
			return c == '-';
	}
	return false;
}

template <typename T>
converted_value<T> make_result(T value, const std::string &text, std::size_t consumed)
{
	converted_value<T> result{value, {}};
	if (consumed < text.size())
		result.rest.assign(text.substr(consumed));
	return result;
}

// Runs the standard conversion `convert(text, &consumed)`; any standard
// exception (no digits, out of range) gives an empty result.
template <typename T, typename Convert>
kova::optional<converted_value<T>> convert_number(const std::string &text, Convert convert)
{
	try {
		std::size_t consumed = 0;
		auto const value = convert(text, &consumed);
		if constexpr (std::is_unsigned_v<T>) {
			if (value > std::numeric_limits<T>::max())
				return {};
		}
		return make_result(static_cast<T>(value), text, consumed);
	} catch (const std::exception &) {
		return {};
	}
}

} // namespace

std::string &trim(std::string &text)
{
	std::size_t first = 0;
	while (first < text.size() && is_space(text[first]))
		++first;
	if (first == text.size()) {
		text.clear();
		return text;
	}
	text.erase(0, first);
	std::size_t last = text.size();
	while (is_space(text[last - 1]))
		--last;
	text.erase(last);
	return text;
}

std::string trim(const std::string &text)
{
	std::string copy{text};
	trim(copy);
	return copy;
}

std::vector<std::string> split(const std::string &text, const std::string &separator)
{
	std::vector<std::string> pieces;
	if (text.empty())
		return pieces;
	if (separator.empty()) {
		// Nothing to split at; searching for "" would never advance.
		pieces.push_back(trim(text));
		return pieces;
	}

	std::size_t start = 0;
	for (std::size_t found = text.find(separator); found != std::string::npos;
	     found = text.find(separator, start)) {
		std::string piece = text.substr(start, found - start);
		pieces.push_back(std::move(trim(piece)));
		start = found + separator.size();
	}
	std::string last = text.substr(start);
	pieces.push_back(std::move(trim(last)));
	return pieces;
}

template <>
kova::optional<converted_value<unsigned int>> strto<unsigned int>(const std::string &text)
{
	if (has_minus_sign(text))
		return {};
	return convert_number<unsigned int>(
		text, [](const std::string &t, std::size_t *pos) { return std::stoul(t, pos, 10); });
}

template <>
kova::optional<converted_value<unsigned long>> strto<unsigned long>(const std::string &text)
{
	if (has_minus_sign(text))
		return {};
	return convert_number<unsigned long>(
		text, [](const std::string &t, std::size_t *pos) { return std::stoull(t, pos, 10); });
}

template <>
kova::optional<converted_value<long>> strto<long>(const std::string &text)
{
	return convert_number<long>(text,
				    [](const std::string &t, std::size_t *pos) { return std::stoll(t, pos, 10); });
}

template <>
kova::optional<converted_value<float>> strto<float>(const std::string &text)
{
	return convert_number<float>(text, [](const std::string &t, std::size_t *pos) { return std::stof(t, pos); });
}

template <>
kova::optional<converted_value<bool>> strto<bool>(const std::string &text)
{
	struct word {
		std::string_view text;
		bool value;
	};
	static constexpr std::array<word, 6> words{{
		{"true", true},
		{"yes", true},
		{"1", true},
		{"false", false},
		{"no", false},
		{"0", false},
	}};
	for (auto const &w : words) {
		if (std::string_view{text}.starts_with(w.text))
			return make_result(w.value, text, w.text.size());
	}
	return {};
}

std::vector<uint8_t> hex_string_to_byte_array(const std::string &text)
{
	if (text.size() % 2 != 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to parse hex string, invalid length.");

	std::vector<uint8_t> bytes;
	bytes.reserve(text.size() / 2);
	for (std::size_t i = 0; i < text.size(); i += 2) {
		// Both characters must be digits: no blanks, signs or "0x" prefixes.
		if (!is_hex_digit(text[i]) || !is_hex_digit(text[i + 1]))
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to parse hex string, invalid value.");
		bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
	}
	return bytes;
}

const char *yorn(bool value) { return value ? "yes" : "no"; }

} // namespace kova::bench::utility
