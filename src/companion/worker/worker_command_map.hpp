// Helpers shared by the command and response maps of every worker family.
//
// Writers put unsigned numbers as plain decimal text and yes/no fields as "yes" or "no". Readers
// look up only their own keys and ignore the others; a number is the decimal digits at the start
// of the value (leading blanks allowed, what follows the digits ignored) and must fit 32 bits:
// anything else is refused with KOVA_ERROR_INVALID_VALUE, never cut short and never leaked as a standard exception.
//
// Two reader styles exist. Keys read one at a time, the first missing one named:
// "Bug: <key> not found in <record>". All keys checked first, none named:
// "[BUG] invalid <record>", then each number "[BUG] invalid <record> - <field> is not a number".
#pragma once

#include "companion/worker/worker.hpp"
#include "kova_optional.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace kova::bench::companion::worker {

void write_number(attribute_map &map, const std::string &key, uint32_t value);
void write_yes_no(attribute_map &map, const std::string &key, bool value);

// The leading decimal number of the text; empty without a digit, with a sign '-', or above 4294967295.
kova::optional<uint32_t> parse_number(const std::string &text);

// True for exactly "yes".
bool is_yes(const std::string &text) noexcept;

// First style: the key's value, or KOVA_ERROR_INVALID_VALUE "Bug: <key> not found in <record>".
const std::string &find_or_throw(const attribute_map &map, const std::string &key, const std::string &record);
// First style: the key's number; a missing key as above, a bad number KOVA_ERROR_INVALID_VALUE
// "Bug: <key> is not a number in <record>".
uint32_t number_or_throw(const attribute_map &map, const std::string &key, const std::string &record);

// Second style: true when the map holds every key.
bool has_keys(const attribute_map &map, std::initializer_list<std::string_view> keys);
// Second style: KOVA_ERROR_INVALID_VALUE "[BUG] invalid <record>".
[[noreturn]] void throw_invalid(const std::string &record);
// Second style: the number, or KOVA_ERROR_INVALID_VALUE "[BUG] invalid <record> - <field> is not a number".
uint32_t number_or_throw(const std::string &text, const std::string &record, std::string_view field);

} // namespace kova::bench::companion::worker
