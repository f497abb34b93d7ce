// The companion's request loop: serves the benchmark's version-1 requests one at a time on the
// calling thread, and keeps the link alive while the benchmark is silent.
#pragma once

#include "companion/api/connection.hpp"
#include "companion/api/message_buffer.hpp"
#include "companion/worker/factory.hpp"

#include <chrono>

namespace kova::bench::companion {

class runtime_state;

// The loop's waits; the shipped program uses the defaults.
struct service_timing {
	// Keep-alive after the hello, before any request was handled.
	std::chrono::seconds first_keep_alive{3600};
	// Keep-alive after the last handled request, and between keep-alives.
	std::chrono::seconds keep_alive{10};
	// Keep-alives sent in a row without any message from the benchmark before it counts as gone.
	unsigned unanswered_keep_alive_limit = 3;
};

// Runs until a bye, SIGINT (stop_requested, seen on every empty receive), a benchmark that closed
// the link or stopped answering keep-alives (both set error_seen). Requests that fail are answered
// with an error_response and set error_seen; the loop goes on. Errors of the link itself pass on.
void service_loop(api::connection &link, runtime_state &state, utility::span<const worker::worker_type> types,
		  const service_timing &timing = {});

// Handles one message of major version 1 and sends its reply in the same buffer.
void handle_v1_request(api::connection &link, runtime_state &state, api::message_buffer &buffer,
		       utility::span<const worker::worker_type> types);

} // namespace kova::bench::companion
