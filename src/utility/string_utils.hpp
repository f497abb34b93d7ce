// Text primitives: trimming, splitting, and number and yes/no conversions
// that report a bad value as an empty optional instead of throwing.
#pragma once

#include "kova_optional.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace kova::bench::utility {

// Result of strto: the converted value and the text after it; `rest` is empty
// (no value at all) when the whole text was converted.
template <typename T>
struct converted_value {
	T value;
	kova::optional<std::string> rest;
};

// Removes white space (as isspace sees it) at both ends, in place.
std::string &trim(std::string &text);

// A copy of the text without white space at both ends.
std::string trim(const std::string &text);

// The trimmed pieces of the text between occurrences of the separator, empty
// pieces included; an empty text gives no piece. An empty separator gives the
// trimmed text as the one piece.
std::vector<std::string> split(const std::string &text, const std::string &separator);

// Reads a leading value from the text. Numbers are decimal; leading white
// space and a sign are accepted, but the unsigned types refuse a '-'. Empty
// when no value could be read or the value does not fit T. Never throws for bad input.
template <typename T>
kova::optional<converted_value<T>> strto(const std::string &text);

template <>
kova::optional<converted_value<unsigned int>> strto<unsigned int>(const std::string &text);
template <>
kova::optional<converted_value<unsigned long>> strto<unsigned long>(const std::string &text);
template <>
kova::optional<converted_value<long>> strto<long>(const std::string &text);
template <>
kova::optional<converted_value<float>> strto<float>(const std::string &text);
// The text begins with one of "true", "yes", "1", "false", "no", "0" (case-sensitive).
template <>
kova::optional<converted_value<bool>> strto<bool>(const std::string &text);

// Two hexadecimal digits per byte, either case. Throws KOVA_ERROR_INVALID_VALUE for an odd
// length or a pair that is not two hex digits.
std::vector<uint8_t> hex_string_to_byte_array(const std::string &text);

// "yes" or "no".
const char *yorn(bool value);

} // namespace kova::bench::utility
