// The command line of kova_bench: its option table with each option's wiring
// (value handler, sweep setter), the order in which the options are registered
// and the driver that turns argv into a configuration collection.
#pragma once

#include "configuration.hpp"
#include "impl/config_parameters.hpp"
#include "utility/configuration_property.hpp"

#include <kova/error.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kova::bench {

// Registers every option, parses argv and builds the configuration. Throws
// kova::exception; the parser's state is released on every way out.
configuration_collection make_configuration_from_cli_args(int argc, char **argv);

namespace impl {

inline constexpr std::size_t option_count = 46;

struct option_row;

// Stores one occurrence of the option: its parsed value (int, text or bool, by
// the row's value type) into the scratch record; the option's long name names
// it in errors. 0 on success.
using option_handler = kova_error (*)(const void *value, config_parameters &config, const char *option);

// How a --sweep of the option reaches the permutations.
struct sweep_wiring {
	// Sets the permutation's field to the sweep's index-th value; null when no
	// sweep may name the option.
	void (*apply)(dynamic_configuration &permutation, const utility::sweep_definition &sweep, uint32_t index);
	// Whether the option was also given a plain value, which a sweep of it then
	// refuses; null where the swept value simply replaces the plain one.
	bool (*given)(const config_parameters &config);
};

// An option: its row of the table, and where it is wired. Adding an option
// is adding a row and the scratch-record field its handler fills.
struct option_row : utility::configuration_property {
	option_handler handler;
	sweep_wiring sweep;
};

// The options in table order.
extern const std::array<option_row, option_count> option_table;

// The row whose long name is `name`, or null.
const option_row *find_option(const std::string &name);

// Registration order: by the lower-cased first letter of the short name, else
// of the long name; at equal letters an option with a short name goes first;
// two options without short names compare their long names.
bool alpha_by_name_short_then_long(const utility::configuration_property &a, const utility::configuration_property &b);

// The table sorted into registration order.
std::array<option_row, option_count> options_in_registration_order();

// Version callback: prints the compiled and the run-time SDK versions and exits with 0.
[[noreturn]] kova_error print_kova_bench_version(void *value, void *config);

} // namespace impl
} // namespace kova::bench
