// Entry point of kova_bench.
#include "impl/configuration_parser.hpp"
#include "kova_exception.hpp"

#include <kova/error.h>
#include <kova/version.h>

#include <cstdio>
#include <exception>

int main(int argc, char **argv)
{
	try {
		kova::bench::configuration_collection const config = kova::bench::make_configuration_from_cli_args(argc, argv);
		static_cast<void>(config);
	} catch (const kova::exception &error) {
		std::fprintf(stderr,
			     "[main] Caught kova::exception. \n\tcode: \"%s\"\n\tmessage: \"%s\"\n \tsource location: \"%s:%s:%u\"\n"
			     " \tkova_cver: \"%s\"\n \tkova_rver: \"%s\"\n",
			     kova_error_get_name(error.code()), error.what(), error.file(), error.function(), error.line(),
			     KOVA_VERSION_STRING, kova_version_runtime());
		return 1;
	} catch (const std::exception &error) {
		std::fprintf(stderr, "[main] An unexpected exception was caught: %s\n", error.what());
		return 1;
	}
	return 0;
}
