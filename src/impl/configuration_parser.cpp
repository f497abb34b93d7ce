// The kova_bench command-line driver: registers the options in their order,
// lets the SDK's parser run the handlers and hands the result to the builder.
#include "impl/configuration_parser.hpp"

#include "impl/configuration_builder.hpp"
#include "kova_exception.hpp"
#include "utility/arg_parser.hpp"

#include <kova/version.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace kova::bench {

namespace impl {

namespace {

// The parser's callback of the table's row `Index`: hands the value to the
// row's handler together with the row's long name.
template <std::size_t Index>
kova_error call_handler(void *value, void *config)
{
	const option_row &row = option_table[Index];
	return row.handler(value, *static_cast<config_parameters *>(config), row.long_name);
}

template <std::size_t... Index>
constexpr std::array<utility::argp_callback, option_count> make_callbacks(std::index_sequence<Index...> /*rows*/)
{
	return {call_handler<Index>...};
}

// The callback of each row, in table order.
constexpr std::array<utility::argp_callback, option_count> callbacks =
	make_callbacks(std::make_index_sequence<option_count>{});

char lower(char c)
{
	return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

char key(const utility::configuration_property &row)
{
	return lower(row.short_name != nullptr ? row.short_name[0] : row.long_name[0]);
}

kova_argp_type argp_type(utility::cfg_value_type type)
{
	switch (type) {
	case utility::cfg_value_type::integer:
		return KOVA_ARGP_TYPE_INT;
	case utility::cfg_value_type::string:
		return KOVA_ARGP_TYPE_STRING;
	case utility::cfg_value_type::boolean:
		return KOVA_ARGP_TYPE_BOOLEAN;
	default:
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "[BUG] Unexpected value type");
	}
}

// Registers the table's row `index`.
void register_parameter(std::size_t index)
{
	const option_row &row = option_table[index];
	kova_argp_type const type = argp_type(row.value_type);
	if (row.handler == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "[BUG] No parser defined for registered param");
	utility::details::register_kova_argp_arg(type, row.short_name, row.long_name, row.description, callbacks[index],
						 row.mandatory != 0, row.multiple != 0);
}

// The table's row indices in registration order.
std::array<std::size_t, option_count> registration_order()
{
	std::array<std::size_t, option_count> order{};
	for (std::size_t i = 0; i < option_count; ++i)
		order[i] = i;
	// Stable: options with short names that share a first letter keep table order.
	std::stable_sort(order.begin(), order.end(), [](std::size_t a, std::size_t b) {
		return alpha_by_name_short_then_long(option_table[a], option_table[b]);
	});
	return order;
}

} // namespace

bool alpha_by_name_short_then_long(const utility::configuration_property &a, const utility::configuration_property &b)
{
	bool const a_short = a.short_name != nullptr;
	bool const b_short = b.short_name != nullptr;
	if (a_short && b_short)
		return key(a) < key(b);
	if (a_short)
		return key(a) <= key(b);
	if (b_short)
		return key(a) < key(b);
	const char *x = a.long_name;
	const char *y = b.long_name;
	while (*x != '\0' && *x == *y) {
		++x;
		++y;
	}
	if (*x == '\0' || *y == '\0')
		return *x == '\0' && *y != '\0';
	return lower(*x) < lower(*y);
}

const option_row *find_option(const std::string &name)
{
	for (const auto &row : option_table) {
		if (name == row.long_name)
			return &row;
	}
	return nullptr;
}

std::array<option_row, option_count> options_in_registration_order()
{
	std::array<option_row, option_count> rows{};
	std::size_t n = 0;
	for (std::size_t const index : registration_order())
		rows[n++] = option_table[index];
	return rows;
}

kova_error print_kova_bench_version(void * /*value*/, void * /*config*/)
{
	std::printf("KOVA SDK     Version (Compilation): %s\n", KOVA_VERSION_STRING);
	std::printf("KOVA Runtime Version (Runtime):     %s\n", kova_version_runtime());
	std::fflush(stdout);
	std::exit(0);
}

} // namespace impl

configuration_collection make_configuration_from_cli_args(int argc, char **argv)
{
	impl::config_parameters params;
	utility::configuration_parser parser{&params};
	parser.register_version_callback(impl::print_kova_bench_version);
	for (std::size_t const index : impl::registration_order())
		impl::register_parameter(index);
	kova_error const result = parser.parse_args(argc, argv);
	if (result != KOVA_SUCCESS)
		KOVA_THROW(result, "Failed to parse cli arguments");
	return impl::configuration_from_config_params(params);
}

} // namespace kova::bench
