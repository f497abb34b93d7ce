// Opening a TCP link to the peer, as client (the benchmark) or as server (the
// companion), and the hello that opens every link. Each side announces the
// single version 1.24 and stores the peer's list.
#pragma once

#include "companion/api/connection.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace kova::bench::companion::api {

// Connects to the dotted IPv4 address, retrying every 500 ms while attempts
// fail, then says hello. Throws KOVA_ERROR_TIME_OUT when no attempt succeeds within the
// time-out, KOVA_ERROR_INITIALIZATION when the hello is answered with an error.
std::unique_ptr<connection> connect_via_tcp_as_client(const std::string &address, uint16_t port, int64_t timeout_s);

// Listens on the port, accepts one client within the time-out and answers its
// hello (which must come within 60 seconds). Frames from the client longer than
// `max_message_size` are refused.
std::unique_ptr<connection> connect_via_tcp_as_server(uint16_t port, int64_t timeout_s, uint64_t max_message_size);

// How long the server waits for its client, and what may end the wait early.
struct server_wait {
	std::chrono::seconds accept_time_limit;
	std::chrono::seconds hello_time_limit;
	// Read at every turn of both waits; when set, the wait ends without a connection.
	const std::atomic<bool> *stop = nullptr;
};

// As above with the given limits: KOVA_ERROR_TIME_OUT "Timed out waiting for client to connect" or "Timed out
// waiting for remote to say hello"; null when `stop` was set while waiting.
std::unique_ptr<connection> connect_via_tcp_as_server(uint16_t port, const server_wait &wait,
						      uint64_t max_message_size);

} // namespace kova::bench::companion::api
