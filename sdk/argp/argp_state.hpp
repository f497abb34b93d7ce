// Internal state of the stand-in argument parser: the registered parameters
// and the one parser of the process.
#pragma once

#include <kova/argp.h>

#include <memory>
#include <string>
#include <vector>

struct kova_argp_param {
	std::string short_name;
	std::string long_name;
	bool has_short_name = false;
	bool has_long_name = false;
	std::string description;
	kova_argp_param_cb_t callback = nullptr;
	kova_argp_type type = KOVA_ARGP_TYPE_UNSET;
	bool mandatory = false;
	bool multiple = false;
	bool registered = false;
};

namespace kova_argp_internal {

struct parser {
	std::string program_name; // empty: taken from argv[0]
	void *config = nullptr;
	kova_argp_param_cb_t version_callback = nullptr;
	std::vector<std::unique_ptr<kova_argp_param>> params; // registration order
};

// The process's parser, or null.
parser *current_parser() noexcept;

// How messages name a parameter: "--long" when it has a long name, else "-s".
std::string display_name(const kova_argp_param &param);

// Prints the help text of every registered parameter to standard output.
void print_help(const parser &state, const std::string &program_name);

} // namespace kova_argp_internal
