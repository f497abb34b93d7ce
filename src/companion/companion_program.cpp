#include "companion/companion_program.hpp"

#include "companion/api/tcp_connect.hpp"
#include "companion/configuration.hpp"
#include "companion/exception_printer.hpp"
#include "companion/impl/configuration_parser.hpp"
#include "companion/probes.hpp"
#include "companion/process_flags.hpp"
#include "companion/runtime_state.hpp"
#include "dl/kova_flow_api.hpp"
#include "kova_exception.hpp"

#include <kova/error.h>
#include <kova/log.h>
#include <kova/version.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>

namespace kova::bench::companion {
namespace {

// Largest frame taken from the benchmark: room for its job data for many threads. A longer frame
// ends the link (what follows it cannot be framed again).
constexpr uint64_t max_request_size = 1024ull * 1024 * 1024;
constexpr uint32_t sdk_log_level = 40;

void flush_all()
{
	std::cout.flush();
	std::fflush(stdout);
	std::cerr.flush();
	std::fflush(stderr);
}

// False when the logging could not be set up (reported already).
bool set_up_sdk_logging()
{
	kova_log_backend *backend = nullptr;
	if (kova_log_backend_create_standard() != KOVA_SUCCESS ||
	    kova_log_backend_create_with_file_sdk(stdout, &backend) != KOVA_SUCCESS) {
		std::fputs("Unable to create FE logger\n", stderr);
		return false;
	}
	if (kova_log_backend_set_sdk_level(backend, sdk_log_level) != KOVA_SUCCESS) {
		std::fputs("Unable to change verbosity level of FE logger\n", stderr);
		return false;
	}
	return true;
}

void run_main_method(const configuration &config, utility::span<const worker::worker_type> types,
		     const companion_timing &timing)
{
	std::cout << config << "\n";
	std::cout.flush();
	runtime_state state;
	state.open_device_and_representor(*config.device_pci_address, config.device_representor_pci_address);
	if (config.gpu_pci_address.has_value())
		state.open_gpu_device(*config.gpu_pci_address);
	if (*config.comms_type != comms_type::tcp_server)
		return;
	std::printf("Running as TCP server\n");
	std::fflush(stdout);
	auto link = api::connect_via_tcp_as_server(
		*config.tcp_port, api::server_wait{timing.accept, timing.hello, &stop_requested}, max_request_size);
	if (link == nullptr) {
		std::printf("Stopped before the benchmark connected\n");
		return;
	}
	service_loop(*link, state, types, timing.loop);
	// The connection goes first (saying bye when still open), then the state with the pool.
	link.reset();
}

void run_method(const configuration &config, utility::span<const worker::worker_type> types,
		const companion_timing &timing)
{
	switch (config.method) {
	case companion_method::identify_dpu_device_address_matching_representor:
		identify_dpu_device_address_matching_representor(config.candidates.front());
		break;
	case companion_method::select_representor_address_visible_to_host:
		select_representor_address_visible_to_host(config.candidates);
		break;
	case companion_method::main:
		run_main_method(config, types, timing);
		break;
	}
}

} // namespace

void signal_handler(int /*signal_number*/)
{
	stop_requested.store(true);
}

void register_signal_handlers()
{
	struct sigaction action {};
	action.sa_handler = signal_handler;
	sigemptyset(&action.sa_mask);
	action.sa_flags = 0;
	if (::sigaction(SIGINT, &action, nullptr) != 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
			   std::string{"failed to set SIGINT signal handler: "} + std::strerror(errno));
}

int run_companion(int argc, char **argv, utility::span<const worker::worker_type> types,
		  const companion_timing &timing)
{
	std::printf("kova_bench_companion : %s\n", KOVA_VERSION_STRING);
	try {
		register_signal_handlers();
		configuration const config = make_companion_configuration_from_cli_args(argc, argv);
		if (!is_valid_configuration(config)) {
			std::printf(" Invalid configuration\n");
			flush_all();
			return 1;
		}
		if (!set_up_sdk_logging()) {
			flush_all();
			return 1;
		}
		static_cast<void>(dl::kova_flow_api::singleton());
		run_method(config, types, timing);
	} catch (const kova::exception &e) {
		std::cout.flush();
		std::cerr << e;
		error_seen = true;
	} catch (const std::bad_alloc &) {
		std::cout.flush();
		std::cerr << "Caught std::bad_alloc: out of memory\n";
		error_seen = true;
	} catch (const std::exception &e) {
		std::cout.flush();
		std::cerr << "Caught std::exception: " << e.what() << "\n";
		error_seen = true;
	} catch (...) {
		std::cout.flush();
		std::cerr << "Caught an unknown exception\n";
		error_seen = true;
	}
	flush_all();
	return error_seen ? 1 : 0;
}

} // namespace kova::bench::companion
