// Readers of option texts with a grammar of their own, and of sweep values,
// shared by the option table's handlers and permutation setters and by the
// configuration builder.
#pragma once

#include "kova_exception.hpp"
#include "utility/sg_configuration.hpp"
#include "utility/sweep_definition.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace kova::bench::impl {

// Throws KOVA_ERROR_INVALID_VALUE "Invalid value for <option>. Value may not be negative" when the text,
// after leading blanks, starts with '-'; a large number is not negative.
void throw_if_text_is_negative(const char *text, const std::string &option);

// "<key>=<value>", both trimmed and unquoted; KOVA_ERROR_INVALID_VALUE without "=".
std::pair<std::string, std::string> parse_key_value_pair(const std::string &text);

// "<number><n|u|m>s,<number><n|u|m>s" as (lower bound, width) in nanoseconds;
// KOVA_ERROR_INVALID_VALUE "Invalid latency bucket range".
std::pair<uint64_t, uint64_t> parse_latency_bucket_range(const std::string &text);

// "<count>" fragments per buffer, or "<number><byte unit>" bytes per fragment;
// KOVA_ERROR_INVALID_VALUE naming the option for a negative or too large value.
utility::sg_configuration parse_split_value(const std::string &text, const std::string &option);

// The view, or KOVA_ERROR_INVALID_VALUE "Invalid sweep definition, <name> takes a list of values"
// when the sweep's store has none of that kind.
template <typename View>
std::shared_ptr<const View> require_view(std::shared_ptr<const View> view, const std::string &name)
{
	if (!view)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid sweep definition, " + name + " takes a list of values");
	return view;
}

// The index-th value of a sweep as text, whatever its store.
std::string sweep_value_text(const utility::sweep_definition &sweep, uint32_t index);

} // namespace kova::bench::impl
