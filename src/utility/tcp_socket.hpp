// A move-only owner of one non-blocking IPv4 TCP stream socket. Nothing blocks:
// every operation returns at once and the callers poll.
#pragma once

#include "utility/span.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kova::bench::utility {

// Text of an operating-system error number.
std::string err_to_string(int error_number);

enum class connect_state : uint8_t {
	connected = 0,
	in_progress = 1,
	// The attempt failed and a new one needs a new socket.
	refused = 2,
	error = 3,
};

class tcp_socket {
public:
	// A new close-on-exec, non-blocking socket. Throws KOVA_ERROR_INITIALIZATION when it cannot be created.
	tcp_socket();
	// Takes over a descriptor; -1 makes an object that holds no socket.
	explicit tcp_socket(uint32_t descriptor);
	tcp_socket(const tcp_socket &) = delete;
	tcp_socket &operator=(const tcp_socket &) = delete;
	tcp_socket(tcp_socket &&other) noexcept;
	tcp_socket &operator=(tcp_socket &&other) noexcept;
	~tcp_socket();

	// SO_LINGER off and SO_REUSEADDR on. Throws KOVA_ERROR_IO_FAILED.
	void set_socket_options();

	// Binds to every local IPv4 address at the port and listens with a backlog of 1. Throws KOVA_ERROR_IO_FAILED.
	void listen(uint16_t port);

	// The next waiting client, or an invalid socket when none waits. Throws KOVA_ERROR_IO_FAILED.
	[[nodiscard]] tcp_socket accept();

	// Starts connecting to a dotted IPv4 address. Throws KOVA_ERROR_INVALID_VALUE for an address
	// that does not parse and KOVA_ERROR_IO_FAILED when the attempt cannot start.
	void connect(const std::string &address, uint16_t port);

	// State of the connect started last. Any pending socket error ends the
	// attempt (refused); when `pending_error` is given it receives that error.
	[[nodiscard]] connect_state poll_is_connected(int *pending_error = nullptr);

	// One write; returns the bytes written, 0 when the socket cannot take more
	// now. Never raises SIGPIPE: a closed peer is an error. Throws KOVA_ERROR_IO_FAILED.
	size_t write(span<char const> bytes);

	// One read; returns the bytes read, empty when none are available now.
	// Throws KOVA_ERROR_IO_FAILED on an error and "Connection closed by peer" when the peer
	// has closed the connection.
	span<char> read(span<char> bytes);

	void close() noexcept;
	[[nodiscard]] bool is_valid() const noexcept { return m_fd != -1; }

private:
	int m_fd = -1;
};

} // namespace kova::bench::utility
