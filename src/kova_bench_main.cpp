// Entry point of kova_bench: logging, banner, configuration, validation, queries and the run.
#include "benchmark.hpp"
#include "configuration_printer.hpp"
#include "configuration_validation.hpp"
#include "data_provider/file_data_provider.hpp"
#include "data_provider/file_set_data_provider.hpp"
#include "data_provider/random_data_provider.hpp"
#include "dl/kova_tessel_api.hpp"
#include "impl/configuration_parser.hpp"
#include "kova_exception.hpp"
#include "runtime_state.hpp"
#include "step/factory.hpp"
#include "utility/configuration_utils.hpp"
#include "utility/string_utils.hpp"

#include <kova/error.h>
#include <kova/log.h>
#include <kova/version.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>
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

// The data provider of an exact, case-sensitive name.
std::unique_ptr<kova::bench::data_provider> input_source_factory(const std::string &name,
								 const kova::bench::data_provider::attributes &attributes)
{
	if (name == "file")
		return std::make_unique<kova::bench::file_data_provider>(attributes);
	if (name == "file-set")
		return std::make_unique<kova::bench::file_set_data_provider>(attributes);
	if (name == "random-data")
		return std::make_unique<kova::bench::random_data_provider>(attributes);
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to create input source of unknown type: \"" + name + "\"");
}

// 10 ms, resumed with the time that remains when a signal interrupts it.
void sleep_between_polls()
{
	timespec request{0, 10'000'000};
	timespec remaining{};
	while (nanosleep(&request, &remaining) != 0 && errno == EINTR)
		request = remaining;
}

// The report of a failure that ends the run, on standard error.
void print_failure(const std::exception_ptr &failure)
{
	try {
		std::rethrow_exception(failure);
	} catch (const kova::exception &error) {
		std::cout.flush();
		std::cerr << "[main] Caught kova::exception. \n\tcode: \"" << kova_error_get_name(error.code())
			  << "\"\n\tmessage: \"" << error.what() << "\"\n \tsource location: \"" << error.file() << ":"
			  << error.function() << ":" << error.line() << "\"\n \tkova_cver: \"" << KOVA_VERSION_STRING
			  << "\"\n \tkova_rver: \"" << kova_version_runtime() << "\"\n";
	} catch (const std::exception &error) {
		std::cout.flush();
		std::cerr << "[main] An unexpected exception was caught: " << error.what() << "\n";
	} catch (...) {
		std::cout.flush();
		std::cerr << "[main] An unexpected exception was caught\n";
	}
	flush_all();
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

void print_capabilities(const kova::bench::step::capabilities &record)
{
	std::cout << record.name << ":\n";
	std::cout << "\tCapable: " << kova::bench::utility::yorn(record.capable) << "\n";
	if (!record.capable)
		return;
	std::cout << "\tInstalled: " << kova::bench::utility::yorn(record.installed) << "\n";
	if (!record.installed)
		return;
	std::cout << "\tLib path: " << record.library_path << "\n";
	if (!record.properties.empty()) {
		std::cout << "\tProperties:\n";
		for (auto const &[key, value] : record.properties)
			std::cout << "\t\t" << key << ": " << value << "\n";
	}
	std::cout << "\tTasks: \n";
	for (auto const &[task_name, task] : record.tasks) {
		std::cout << "\t\t" << task_name << ": \n";
		std::cout << "\t\t\tSupported: " << kova::bench::utility::yorn(task.supported) << "\n";
		if (!task.supported)
			continue;
		std::cout << "\t\t\tMax buffer length: " << task.max_buffer_length << "\n";
		if (task.properties.empty())
			continue;
		std::cout << "\t\t\tProperties: \n";
		for (auto const &[key, value] : task.properties)
			std::cout << "\t\t\t\t" << key << ": " << value << "\n";
	}
}

void print_gpu_capabilities(const std::string &address)
{
	const auto *api = kova::bench::dl::kova_tessel_api::singleton();
	if (api == nullptr) {
		std::cout << "KOVA Tessel is required to query GPU devices.\n";
		return;
	}
	kova_error const result = api->kova_bench_rhun_device_query(address.c_str());
	if (result == KOVA_ERROR_NOT_FOUND)
		std::cout << "Unable to query GPU, no GPU device found at address " << address << ".\n";
	else if (result != KOVA_SUCCESS)
		std::cout << "GPU device querying failed.\n";
}

void print_device_capabilities(const kova::bench::fixed_configuration &fixed)
{
	bool const has_device = !fixed.device.empty();
	if (!has_device && !fixed.gpu.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, *fixed.query + " requires a device to be specified");

	kova::bench::runtime_state state;
	if (has_device) {
		try {
			state.open_device_and_representor(fixed.device, fixed.representor);
		} catch (const kova::exception &error) {
			KOVA_THROW(error.code(), error.what());
		}
		for (auto const &record : kova::bench::step::factory::create_step_info_list(state.get_devices()[0]))
			print_capabilities(record);
	}
	if (fixed.gpu.has_value())
		print_gpu_capabilities(*fixed.gpu);
	std::cout.flush();
}

void answer_query(const kova::bench::fixed_configuration &fixed)
{
	auto const &query = *fixed.query;
	if (query == "sweep-properties") {
		print_sweep_properties();
	} else if (query == "device-capabilities") {
		print_device_capabilities(fixed);
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
		answer_query(config.fixed);
		return 0;
	}

	std::cout << config << "\n";
	std::cout << "[main] Initialize framework...\n";
	std::cout.flush();

	auto bench = std::make_unique<kova::bench::benchmark>(config, &input_source_factory);
	std::cout << "[main] Start execution...\n";
	std::cout.flush();
	try {
		bench->start();
		while (!bench->progress())
			sleep_between_polls();
	} catch (...) {
		// Reported before the benchmark goes: releasing it waits for a companion launched over ssh,
		// whose watcher may end the program with its own report of the companion's output.
		print_failure(std::current_exception());
		bench.reset();
		return 1;
	}

	std::cout << "[main] Completed! tearing down...\n";
	std::cout.flush();
	// Stopped here rather than only by the destructor, so that a failure of the last report or of
	// the companion's release fails the run.
	bench->stop();
	bench.reset();
	return 0;
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
	} catch (...) {
		print_failure(std::current_exception());
	}
	return 1;
}
