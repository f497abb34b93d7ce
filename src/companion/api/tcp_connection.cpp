// Whole frames over a non-blocking TCP socket.
#include "companion/api/tcp_connection.hpp"

#include "companion/api/message_printing.hpp"
#include "companion/api/synchronous_request.hpp"
#include "kova_exception.hpp"

#include <kova/error.h>

#include <cstdio>
#include <thread>
#include <utility>

namespace kova::bench::companion::api::impl {
namespace {

constexpr size_t read_chunk_size = 64 * 1024;

} // namespace

tcp_connection::tcp_connection(utility::tcp_socket socket, int64_t timeout_s, uint64_t max_message_size)
	: m_socket{std::move(socket)},
	  m_timeout_s{timeout_s},
	  m_read_chunk(read_chunk_size),
	  m_max_message_size{max_message_size}
{
}

tcp_connection::~tcp_connection()
{
	disconnect(true);
}

void tcp_connection::set_supported_api_versions(std::vector<version> versions)
{
	m_supported_api_versions = std::move(versions);
}

const std::vector<version> &tcp_connection::get_supported_api_versions() const
{
	return m_supported_api_versions;
}

void tcp_connection::disconnect(bool say_bye)
{
	if (!m_socket.is_valid())
		return;
	if (!say_bye) {
		drop();
		return;
	}
	try {
		auto const reply = send_api_message(v1::bye_request{0}, *this, m_timeout_s);
		if (reply.error.has_value()) {
			std::printf("Failed to say bye to remote. %s\n", reply.to_error_message().c_str());
			return;
		}
		drop();
	} catch (const kova::exception &e) {
		std::printf("Error while tearing down connection: %s:%s\n", kova_error_get_name(e.code()), e.what());
	} catch (...) {
		std::printf("Unexpected error while tearing down connection\n");
	}
}

void tcp_connection::throw_if_closed() const
{
	if (!m_socket.is_valid())
		KOVA_THROW(KOVA_ERROR_IO_FAILED, "Connection is closed");
}

void tcp_connection::drop() noexcept
{
	m_socket.close();
	m_receive_buffer.clear();
}

bool tcp_connection::send(message_buffer &message)
{
	throw_if_closed();
	message.set_expected_content_size();
	utility::span<char const> rest{message.get_content()};
	try {
		rest = rest.subspan(m_socket.write(rest));
		if (rest.empty())
			return true;
		auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{m_timeout_s};
		for (;;) {
			size_t const written = m_socket.write(rest);
			rest = rest.subspan(written);
			if (rest.empty())
				return true;
			if (written == 0)
				std::this_thread::sleep_for(std::chrono::milliseconds{1});
			if (std::chrono::steady_clock::now() > deadline)
				KOVA_THROW(KOVA_ERROR_TIME_OUT, "Timed out sending message: " + describe_message(message));
		}
	} catch (...) {
		drop();
		throw;
	}
}

bool tcp_connection::receive(message_buffer &message)
{
	throw_if_closed();
	for (;;) {
		if (m_receive_buffer.size() >= message_header_size) {
			uint32_t const expected = get_expected_content_size(utility::span<char const>{m_receive_buffer});
			if (expected < message_header_size || expected > m_max_message_size) {
				drop();
				KOVA_THROW(KOVA_ERROR_IO_FAILED, "Refusing message of " + std::to_string(expected) +
									 " bytes: a message holds 24 to " +
									 std::to_string(m_max_message_size) + " bytes");
			}
			if (m_receive_buffer.size() >= expected) {
				message.set_content(utility::span<char const>{m_receive_buffer.data(), expected});
				m_receive_buffer.erase(m_receive_buffer.begin(), m_receive_buffer.begin() + expected);
				if (!m_receive_buffer.empty())
					m_partial_since = std::chrono::steady_clock::now();
				return true;
			}
		}

		utility::span<char> bytes;
		try {
			bytes = m_socket.read(utility::span<char>{m_read_chunk});
		} catch (...) {
			drop();
			throw;
		}
		auto const now = std::chrono::steady_clock::now();
		if (bytes.empty()) {
			if (!m_receive_buffer.empty() && now - m_partial_since > std::chrono::seconds{m_timeout_s}) {
				size_t const held = m_receive_buffer.size();
				drop();
				KOVA_THROW(KOVA_ERROR_TIME_OUT, "Timed out receiving message: only " + std::to_string(held) +
									" bytes of it arrived");
			}
			return false;
		}
		if (m_receive_buffer.empty())
			m_partial_since = now;
		m_receive_buffer.insert(m_receive_buffer.end(), bytes.begin(), bytes.end());
	}
}

} // namespace kova::bench::companion::api::impl
