// Entry point of kova_bench: logging, banner, configuration, validation, queries and the run.
#include "configuration_printer.hpp"
#include "configuration_validation.hpp"
#include "impl/configuration_parser.hpp"
#include "kova_exception.hpp"
#include "utility/configuration_utils.hpp"

#include <kova/error.h>
#include <kova/log.h>
#include <kova/version.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

namespace {

// The program's own log source, registered before main.
int register_log_source()
{
	int id = -1;
	kova_log_register_source("kova::bench", &id);
	return id;
}

[[maybe_unused]] int const kova_bench_log_source = register_log_source();

void flush_all()
{
	std::cout.flush();
	std::cerr.flush();
	std::fflush(stdout);
	std::fflush(stderr);
}

void print_sweep_properties()
{
	std::cout << "Supported query properties: [\n";
	for (auto const &option : kova::bench::impl::option_table) {
		if (option.sweepable != 0)
			std::cout << "\t" << option.long_name << "\n";
	}
	for (auto const *property : kova::bench::utility::step_attribute_properties) {
		if (property->sweepable != 0)
			std::cout << "\t" << kova::bench::utility::fully_qualified_name(*property) << "\n";
	}
	std::cout << "]\n";
}

void answer_query(const std::string &query)
{
	if (query == "sweep-properties") {
		print_sweep_properties();
	} else if (query == "device-capabilities") {
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "Query device-capabilities is not available yet");
	} else {
		std::cout << "Query: " << query << " is not supported.\n";
	}
}

int run(int argc, char **argv)
{
	auto const config = kova::bench::make_configuration_from_cli_args(argc, argv);
	auto const reports = kova::bench::validate(config);

	bool any_error = false;
	for (auto const &report : reports) {
		std::cout << "[main] Configuration " << (report.is_error ? "error " : "warning ") << ". Fields [";
		for (std::size_t i = 0; i < report.option_names.size(); ++i)
			std::cout << (i == 0 ? "" : ", ") << report.option_names[i];
		std::cout << "]. Message: " << report.message << "\n";
		any_error = any_error || report.is_error;
	}
	if (any_error) {
		std::cerr << "[main] Invalid configuration\n";
		flush_all();
		return 1;
	}

	if (config.fixed.query.has_value()) {
		answer_query(*config.fixed.query);
		return 0;
	}

	std::cout << config << "\n";
	std::cout << "[main] Initialize framework...\n";
	std::cout.flush();
	std::cerr << "[main] Running pipelines is not available yet\n";
	flush_all();
	return 1;
}

} // namespace

int main(int argc, char **argv)
{
	kova_log_backend *sdk_log = nullptr;
	if (kova_log_backend_create_standard() != KOVA_SUCCESS ||
	    kova_log_backend_create_with_file_sdk(stdout, &sdk_log) != KOVA_SUCCESS) {
		std::fputs("Unable to create FE logger\n", stderr);
		flush_all();
		return 1;
	}
	if (kova_log_backend_set_sdk_level(sdk_log, KOVA_LOG_LEVEL_WARNING) != KOVA_SUCCESS) {
		std::fputs("Unable to change verbosity level of FE logger\n", stderr);
		flush_all();
		return 1;
	}

	std::cout << "[main] kova_bench : " << KOVA_VERSION_STRING << "\n";
	std::cout << "[main] release build\n";

	try {
		return run(argc, argv);
	} catch (const kova::exception &error) {
		std::cout.flush();
		std::cerr << "[main] Caught kova::exception. \n\tcode: \"" << kova_error_get_name(error.code())
			  << "\"\n\tmessage: \"" << error.what() << "\"\n \tsource location: \"" << error.file() << ":"
			  << error.function() << ":" << error.line() << "\"\n \tkova_cver: \"" << KOVA_VERSION_STRING
			  << "\"\n \tkova_rver: \"" << kova_version_runtime() << "\"\n";
	} catch (const std::exception &error) {
		std::cout.flush();
		std::cerr << "[main] An unexpected exception was caught: " << error.what() << "\n";
	}
	flush_all();
	return 1;
}
