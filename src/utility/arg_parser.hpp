// Registration of command-line options with the SDK's argument parser, and a
// scope object over the parser's process-wide state.
#pragma once

#include "kova_optional.hpp"

#include <kova/argp.h>

namespace kova::bench::utility {

enum class field_is : uint8_t {
	mandatory = 0,
	optional = 1,
};

using argp_callback = kova_error (*)(void *value, void *config);

namespace details {

// Registers one option; throws kova::exception when it has no name or the
// parser refuses it.
void register_kova_argp_arg(kova_argp_type type, const char *short_name, const char *long_name,
			    const char *description, argp_callback callback, bool mandatory, bool multiple);

// The same with optional names (empty for none).
void register_kova_argp_arg(kova_argp_type type, kova::optional<const char *> short_name,
			    kova::optional<const char *> long_name, const char *description, argp_callback callback,
			    field_is presence, bool multiple);

} // namespace details

// Owns the parser's state from construction to destruction; one exists at a time.
class configuration_parser {
public:
	// Initialises the parser; every callback receives `config`.
	explicit configuration_parser(void *config);
	~configuration_parser();
	configuration_parser(const configuration_parser &) = delete;
	configuration_parser &operator=(const configuration_parser &) = delete;

	void register_version_callback(argp_callback callback);

	// Parses the command line, running the callbacks; returns the parser's
	// result (0 on success). Exceptions from callbacks pass through.
	kova_error parse_args(int argc, char **argv);
};

} // namespace kova::bench::utility

// Destroys a parameter that the parser does not own.
void kova_deleter(kova_argp_param *param);
