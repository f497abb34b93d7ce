// Client and server set-up of a TCP link, with the hello.
#include "companion/api/tcp_connect.hpp"

#include "companion/api/synchronous_request.hpp"
#include "companion/api/tcp_connection.hpp"
#include "companion/api/v1/codecs.hpp"
#include "kova_exception.hpp"

#include <chrono>
#include <thread>

namespace kova::bench::companion::api {
namespace {

using clock = std::chrono::steady_clock;

constexpr int64_t connection_timeout_s = 60;
constexpr auto hello_timeout = std::chrono::seconds{60};
constexpr auto retry_interval = std::chrono::milliseconds{500};

const std::vector<version> supported_versions{v1::api_version};

void initiate_hello(connection &link)
{
	auto reply = send_api_message(v1::hello_request{0, supported_versions}, link, connection_timeout_s);
	if (reply.error.has_value())
		KOVA_THROW(KOVA_ERROR_INITIALIZATION,
			   "Remote responded to hello request with an error: " + reply.to_error_message());
	link.set_supported_api_versions(std::move(reply.response->supported_api_versions));
}

bool stopping(const std::atomic<bool> *stop) noexcept
{
	return stop != nullptr && stop->load();
}

// False when stopped before the hello came.
bool wait_for_hello(connection &link, std::chrono::seconds time_limit, const std::atomic<bool> *stop)
{
	auto const deadline = clock::now() + time_limit;
	message_buffer buffer;
	while (!link.receive(buffer)) {
		if (stopping(stop))
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds{1});
		if (clock::now() > deadline)
			KOVA_THROW(KOVA_ERROR_TIME_OUT, "Timed out waiting for remote to say hello");
	}
	v1::hello_request request;
	v1::decode_api_message(buffer, request);
	link.set_supported_api_versions(std::move(request.supported_api_versions));
	v1::encode_api_message(v1::hello_response{request.id, supported_versions}, buffer);
	if (!link.send(buffer))
		KOVA_THROW(KOVA_ERROR_TIME_OUT, "Failed to send hello response");
	return true;
}

// A link whose hello failed is closed without a bye: the peer is not known to answer one.
template <typename Hello>
std::unique_ptr<connection> open_with_hello(utility::tcp_socket socket, uint64_t max_message_size, Hello hello)
{
	auto link = std::make_unique<impl::tcp_connection>(std::move(socket), connection_timeout_s, max_message_size);
	try {
		if (!hello(*link)) {
			link->disconnect(false);
			return nullptr;
		}
	} catch (...) {
		link->disconnect(false);
		throw;
	}
	return link;
}

} // namespace

std::unique_ptr<connection> connect_via_tcp_as_client(const std::string &address, uint16_t port, int64_t timeout_s)
{
	auto const deadline = clock::now() + std::chrono::seconds{timeout_s};
	utility::tcp_socket socket;
	socket.connect(address, port);
	int last_error = 0;
	for (;;) {
		int error = 0;
		utility::connect_state const state = socket.poll_is_connected(&error);
		if (state == utility::connect_state::connected)
			break;
		if (state == utility::connect_state::error)
			KOVA_THROW(KOVA_ERROR_IO_FAILED,
				   "Unable to connect via TCP to \"" + address + "\":" + std::to_string(port));
		if (state == utility::connect_state::refused) {
			last_error = error;
			socket = utility::tcp_socket{};
			socket.connect(address, port);
		}
		std::this_thread::sleep_for(retry_interval);
		if (clock::now() > deadline) {
			std::string message = "Failed to connect to: " + address + ":" + std::to_string(port);
			if (last_error != 0)
				message += ". Last error: " + utility::err_to_string(last_error);
			KOVA_THROW(KOVA_ERROR_TIME_OUT, message);
		}
	}
	return open_with_hello(std::move(socket), default_max_message_size, [](connection &link) {
		initiate_hello(link);
		return true;
	});
}

std::unique_ptr<connection> connect_via_tcp_as_server(uint16_t port, int64_t timeout_s, uint64_t max_message_size)
{
	return connect_via_tcp_as_server(port, server_wait{std::chrono::seconds{timeout_s}, hello_timeout, nullptr},
					 max_message_size);
}

std::unique_ptr<connection> connect_via_tcp_as_server(uint16_t port, const server_wait &wait,
						      uint64_t max_message_size)
{
	utility::tcp_socket listener;
	listener.listen(port);
	auto const deadline = clock::now() + wait.accept_time_limit;
	utility::tcp_socket client = listener.accept();
	auto const stop_poll = std::chrono::milliseconds{10};
	auto next_accept = clock::now() + retry_interval;
	while (!client.is_valid()) {
		if (stopping(wait.stop))
			return nullptr;
		std::this_thread::sleep_for(stop_poll);
		auto const now = clock::now();
		if (now > deadline)
			KOVA_THROW(KOVA_ERROR_TIME_OUT, "Timed out waiting for client to connect");
		if (now >= next_accept) {
			client = listener.accept();
			next_accept = now + retry_interval;
		}
	}
	listener.close();
	return open_with_hello(std::move(client), max_message_size, [&wait](connection &link) {
		return wait_for_hello(link, wait.hello_time_limit, wait.stop);
	});
}

} // namespace kova::bench::companion::api
