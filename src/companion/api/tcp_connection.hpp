// The message link over one TCP stream.
#pragma once

#include "companion/api/connection.hpp"
#include "utility/tcp_socket.hpp"

#include <chrono>
#include <cstdint>
#include <vector>

namespace kova::bench::companion::api {

// Largest frame the benchmark accepts from its companion.
inline constexpr uint64_t default_max_message_size = 64ull * 1024 * 1024;

namespace impl {

// Any failure of the stream (a socket error, a closed peer, a frame whose
// length is out of range, a frame that does not complete or cannot be sent
// within the time-out) closes the link: the framing of what follows is lost.
class tcp_connection : public connection {
public:
	// `timeout_s` bounds each send, the bye and the arrival of a started frame;
	// frames longer than `max_message_size` are refused.
	tcp_connection(utility::tcp_socket socket, int64_t timeout_s,
		       uint64_t max_message_size = default_max_message_size);
	// Says bye if the link is still open.
	~tcp_connection() override;
	tcp_connection(const tcp_connection &) = delete;
	tcp_connection &operator=(const tcp_connection &) = delete;

	void set_supported_api_versions(std::vector<version> versions) override;
	[[nodiscard]] const std::vector<version> &get_supported_api_versions() const override;
	void disconnect(bool say_bye) override;
	// Throws KOVA_ERROR_TIME_OUT "Timed out sending message: ..." when the message cannot be
	// written within the time-out, KOVA_ERROR_INVALID_VALUE for a frame too long for its length
	// field, KOVA_ERROR_IO_FAILED for a closed link or a socket error.
	bool send(message_buffer &message) override;
	// Throws KOVA_ERROR_IO_FAILED for a frame length out of range, a closed link or a socket
	// error, and KOVA_ERROR_TIME_OUT when a started frame does not complete within the time-out.
	bool receive(message_buffer &message) override;

private:
	void throw_if_closed() const;
	void drop() noexcept;

	utility::tcp_socket m_socket;
	int64_t m_timeout_s;
	std::vector<char> m_receive_buffer;
	std::vector<char> m_read_chunk;
	std::vector<version> m_supported_api_versions;
	uint64_t m_max_message_size;
	// When the bytes at the front of the receive buffer began to arrive.
	std::chrono::steady_clock::time_point m_partial_since{};
};

} // namespace impl
} // namespace kova::bench::companion::api
