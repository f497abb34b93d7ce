// The companion program from its command line to its exit status: banner, SIGINT handler,
// configuration, SDK logging, then the method the command line chose.
#pragma once

#include "companion/api/connection.hpp"
#include "companion/service_loop.hpp"
#include "companion/worker/factory.hpp"

#include <chrono>

namespace kova::bench::companion {

// The program's waits; the shipped program uses the defaults.
struct companion_timing {
	// For the benchmark to connect, then for its hello.
	std::chrono::seconds accept{api::companion_timeout_s};
	std::chrono::seconds hello{60};
	service_timing loop;
};

// Runs the companion serving the given worker types; returns the exit status (1 after any
// failure, also one the request loop survived). Catches every exception.
int run_companion(int argc, char **argv, utility::span<const worker::worker_type> types,
		  const companion_timing &timing = {});

// Installs signal_handler for SIGINT. KOVA_ERROR_INVALID_VALUE "failed to set SIGINT signal handler: <reason>".
void register_signal_handlers();

// Sets stop_requested; nothing else.
void signal_handler(int signal_number);

} // namespace kova::bench::companion
