// Helpers shared by the companion protocol tests: byte literals, loopback
// socket pairs, a scripted in-memory connection and a companion that goes silent.
#pragma once

#include "companion/api/connection.hpp"
#include "companion/api/message_buffer.hpp"
#include "companion/api/tcp_connect.hpp"
#include "companion/api/tcp_connection.hpp"
#include "companion/api/v1/codecs.hpp"
#include "support/unused_port.hpp"
#include "utility/tcp_socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kova::bench::companion::api::test {

inline std::vector<char> bytes(std::initializer_list<unsigned> values)
{
	std::vector<char> result;
	for (unsigned v : values)
		result.push_back(static_cast<char>(v));
	return result;
}

// A 24-byte header with the given fields, big-endian.
inline std::vector<char> header(uint32_t major, uint32_t minor, uint32_t type_id, uint64_t id, uint32_t length)
{
	message_buffer buffer;
	buffer.set_api_version({major, minor});
	buffer.set_message_type_id(type_id);
	buffer.set_message_id(id);
	std::vector<char> result = buffer.get_content();
	uint32_t const be = htonl(length);
	std::memcpy(result.data() + 20, &be, sizeof(be));
	return result;
}

template <typename T>
message_buffer encoded(const T &message)
{
	message_buffer buffer;
	v1::encode_api_message(message, buffer);
	buffer.set_expected_content_size();
	return buffer;
}

template <typename T>
T decoded(const message_buffer &buffer)
{
	T message{};
	v1::decode_api_message(buffer, message);
	return message;
}

// A listening socket on 127.0.0.1 at an ephemeral port.
class loopback_listener {
public:
	loopback_listener()
	{
		m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		sockaddr_in address{};
		address.sin_family = AF_INET;
		address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t length = sizeof(address);
		if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
		    ::listen(m_fd, 4) != 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
			throw std::runtime_error{"cannot listen on loopback"};
		m_port = ntohs(address.sin_port);
	}
	loopback_listener(const loopback_listener &) = delete;
	loopback_listener &operator=(const loopback_listener &) = delete;
	~loopback_listener() { ::close(m_fd); }

	[[nodiscard]] uint16_t port() const { return m_port; }

	// Blocks until a client connects.
	utility::tcp_socket accept()
	{
		int const fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
		if (fd < 0)
			throw std::runtime_error{"accept failed"};
		return utility::tcp_socket{static_cast<uint32_t>(fd)};
	}

private:
	int m_fd = -1;
	uint16_t m_port = 0;
};

using kova::test::unused_port;

inline utility::connect_state wait_for_connect(utility::tcp_socket &socket,
					       std::chrono::milliseconds limit = std::chrono::seconds{10})
{
	auto const deadline = std::chrono::steady_clock::now() + limit;
	utility::connect_state state = socket.poll_is_connected();
	while (state == utility::connect_state::in_progress && std::chrono::steady_clock::now() < deadline) {
		std::this_thread::sleep_for(std::chrono::milliseconds{1});
		state = socket.poll_is_connected();
	}
	return state;
}

// Two connected non-blocking sockets over loopback.
struct socket_pair {
	utility::tcp_socket near;
	utility::tcp_socket far;
};

inline socket_pair make_socket_pair()
{
	loopback_listener listener;
	socket_pair pair;
	pair.near.connect("127.0.0.1", listener.port());
	pair.far = listener.accept();
	if (wait_for_connect(pair.near) != utility::connect_state::connected)
		throw std::runtime_error{"loopback connect failed"};
	return pair;
}

inline void write_all(utility::tcp_socket &socket, utility::span<char const> data)
{
	auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
	while (!data.empty()) {
		data = data.subspan(socket.write(data));
		if (std::chrono::steady_clock::now() > deadline)
			throw std::runtime_error{"write stalled"};
	}
}

// Reads one whole frame from a raw socket, waiting up to 10 seconds.
inline message_buffer read_frame(utility::tcp_socket &socket)
{
	std::vector<char> data;
	char chunk[4096];
	auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
	for (;;) {
		uint32_t const expected = get_expected_content_size(utility::span<char const>{data});
		if (expected != 0 && data.size() >= expected) {
			data.resize(expected);
			return message_buffer{std::move(data)};
		}
		auto const got = socket.read(utility::span<char>{chunk});
		data.insert(data.end(), got.begin(), got.end());
		if (got.empty()) {
			if (std::chrono::steady_clock::now() > deadline)
				throw std::runtime_error{"no frame arrived"};
			std::this_thread::sleep_for(std::chrono::milliseconds{1});
		}
	}
}

template <typename T>
void write_message(utility::tcp_socket &socket, const T &message)
{
	write_all(socket, utility::span<char const>{encoded(message).get_content()});
}

// Polls `receive` until a message arrives, up to 10 seconds.
inline bool receive_within(connection &link, message_buffer &message)
{
	auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
	while (!link.receive(message)) {
		if (std::chrono::steady_clock::now() > deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds{1});
	}
	return true;
}

// An in-memory connection: every sent frame is recorded and handed to the
// optional responder, which may queue replies; receive hands out queued frames.
class fake_connection : public connection {
public:
	using responder = std::function<void(const message_buffer &sent, fake_connection &self)>;

	explicit fake_connection(responder respond = {}) : m_respond{std::move(respond)} {}

	void set_supported_api_versions(std::vector<version> versions) override { m_versions = std::move(versions); }
	[[nodiscard]] const std::vector<version> &get_supported_api_versions() const override { return m_versions; }
	void disconnect(bool) override {}

	bool send(message_buffer &message) override
	{
		std::unique_lock lock{m_mutex};
		if (!accept_sends)
			return false;
		message.set_expected_content_size();
		sent.push_back(message);
		lock.unlock();
		if (m_respond)
			m_respond(message, *this);
		return true;
	}

	bool receive(message_buffer &message) override
	{
		std::lock_guard const lock{m_mutex};
		if (m_inbox.empty())
			return false;
		message = std::move(m_inbox.front());
		m_inbox.pop_front();
		return true;
	}

	template <typename T>
	void queue(const T &message)
	{
		auto buffer = encoded(message);
		std::lock_guard const lock{m_mutex};
		m_inbox.push_back(std::move(buffer));
	}

	void queue_raw(message_buffer buffer)
	{
		std::lock_guard const lock{m_mutex};
		m_inbox.push_back(std::move(buffer));
	}

	std::vector<message_buffer> sent;
	bool accept_sends = true;

private:
	std::mutex m_mutex;
	std::deque<message_buffer> m_inbox;
	std::vector<version> m_versions;
	responder m_respond;
};

// A companion on a loopback port that answers the hello and then nothing: it records the type of
// every message it receives until its client closes the link, or for 30 seconds at most.
class silent_companion {
public:
	silent_companion() : m_port{unused_port()}, m_thread{[this] { serve(); }} {}
	~silent_companion() { finish(); }
	silent_companion(const silent_companion &) = delete;
	silent_companion &operator=(const silent_companion &) = delete;

	[[nodiscard]] uint16_t port() const { return m_port; }

	// Waits for the link to close; the type ids received, in order.
	const std::vector<uint32_t> &finish()
	{
		if (m_thread.joinable())
			m_thread.join();
		return m_received;
	}

private:
	void serve()
	{
		try {
			auto link = connect_via_tcp_as_server(m_port, 30, default_max_message_size);
			auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{30};
			message_buffer message;
			while (std::chrono::steady_clock::now() < deadline) {
				if (link->receive(message))
					m_received.push_back(message.get_message_type_id());
				else
					std::this_thread::sleep_for(std::chrono::milliseconds{1});
			}
		} catch (const std::exception &) {
			// The client closed the link, or never came.
		}
	}

	uint16_t m_port;
	std::vector<uint32_t> m_received;
	std::thread m_thread;
};

} // namespace kova::bench::companion::api::test
