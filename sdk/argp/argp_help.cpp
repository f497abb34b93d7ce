// The built-in help of the stand-in argument parser.
#include "argp_state.hpp"

#include <cstdio>

namespace kova_argp_internal {

namespace {

// Descriptions start in this column; their continuation lines carry their own indent.
constexpr std::size_t description_column = 36;

const char *value_word(kova_argp_type type)
{
	switch (type) {
	case KOVA_ARGP_TYPE_STRING:
		return " <string>";
	case KOVA_ARGP_TYPE_INT:
		return " <int>";
	default:
		return "";
	}
}

void print_entry(const std::string &names, const std::string &description)
{
	std::string line = names;
	if (line.size() + 1 > description_column)
		line += "\n" + std::string(description_column, ' ');
	else
		line.resize(description_column, ' ');
	std::printf("%s%s\n", line.c_str(), description.c_str());
}

} // namespace

void print_help(const parser &state, const std::string &program_name)
{
	std::printf("Usage: %s [OPTIONS]\n\nOptions:\n", program_name.c_str());
	print_entry("  -h, --help", "Print this help and exit");
	if (state.version_callback != nullptr)
		print_entry("  -v, --version", "Print the version and exit");
	for (const auto &param : state.params) {
		std::string names = param->has_short_name ? "  -" + param->short_name : "    ";
		if (param->has_long_name)
			names += (param->has_short_name ? ", --" : "  --") + param->long_name;
		names += value_word(param->type);
		if (param->mandatory)
			names += " (required)";
		print_entry(names, param->description);
	}
}

} // namespace kova_argp_internal
