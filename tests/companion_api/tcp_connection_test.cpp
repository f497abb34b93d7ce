// Tests for companion/api/tcp_connection.cpp, tcp_connect.cpp and
// synchronous_request.cpp, over loopback.
#include "companion/api/tcp_connection.hpp"

#include "companion/api/tcp_connect.hpp"
#include "kova_exception.hpp"
#include "protocol_test_support.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

namespace api = kova::bench::companion::api;
namespace v1 = kova::bench::companion::api::v1;
namespace test = kova::bench::companion::api::test;
using api::message_buffer;
using api::impl::tcp_connection;
using kova::bench::utility::span;

namespace {

using kova::test::thrown_by;

// A connection over one end of a loopback pair; the test drives the other end raw.
struct linked {
	explicit linked(int64_t timeout_s = 1)
	{
		test::socket_pair pair = test::make_socket_pair();
		peer = std::move(pair.far);
		link = std::make_unique<tcp_connection>(std::move(pair.near), timeout_s);
	}
	~linked()
	{
		if (link)
			link->disconnect(false);
	}
	kova::bench::utility::tcp_socket peer;
	std::unique_ptr<tcp_connection> link;
};

// Answers every request read from the raw socket with the reply made by `answer`,
// until a bye_request has been answered.
void serve_until_bye(kova::bench::utility::tcp_socket &socket)
{
	for (;;) {
		message_buffer request = test::read_frame(socket);
		if (v1::is_a<v1::bye_request>(request)) {
			test::write_message(socket, v1::bye_response{request.get_message_id()});
			return;
		}
	}
}

} // namespace

TEST(tcp_connection, two_frames_in_one_read_come_out_one_by_one)
{
	linked l;
	std::vector<char> both = test::encoded(v1::stop_worker_request{1, 7}).get_content();
	auto const second = test::encoded(v1::create_worker_request{2, "rdma_recv", {{"k", "v"}}}).get_content();
	both.insert(both.end(), second.begin(), second.end());
	test::write_all(l.peer, span<char const>{both});

	message_buffer message;
	ASSERT_TRUE(test::receive_within(*l.link, message));
	EXPECT_EQ(test::decoded<v1::stop_worker_request>(message).worker_id, 7u);
	// The second frame is already buffered: no further read is needed.
	l.peer.close();
	ASSERT_TRUE(l.link->receive(message));
	auto const request = test::decoded<v1::create_worker_request>(message);
	EXPECT_EQ(request.id, 2u);
	EXPECT_EQ(request.worker_type, "rdma_recv");
}

TEST(tcp_connection, a_frame_in_one_byte_pieces_is_returned_once_whole)
{
	linked l;
	auto const frame = test::encoded(v1::error_response{9, 6, "piecemeal"}).get_content();
	message_buffer message;
	for (size_t i = 0; i + 1 < frame.size(); ++i) {
		test::write_all(l.peer, span<char const>{&frame[i], 1});
		EXPECT_FALSE(l.link->receive(message)) << i;
	}
	test::write_all(l.peer, span<char const>{&frame.back(), 1});
	ASSERT_TRUE(test::receive_within(*l.link, message));
	EXPECT_EQ(message.get_content(), frame);
	EXPECT_FALSE(l.link->receive(message));
}

TEST(tcp_connection, frame_lengths_out_of_range_are_refused_and_close_the_link)
{
	for (uint32_t length : {0u, 12u, 23u, static_cast<uint32_t>(api::default_max_message_size + 1), 0xffffffffu}) {
		SCOPED_TRACE(length);
		linked l;
		test::write_all(l.peer, span<char const>{test::header(1, 24, 20, 1, length)});
		message_buffer message;
		kova::exception const e = thrown_by([&] { test::receive_within(*l.link, message); });
		EXPECT_EQ(e.code(), 17u);
		EXPECT_EQ(std::string{e.what()}, "Refusing message of " + std::to_string(length) +
							 " bytes: a message holds 24 to 67108864 bytes");
		kova::exception const closed = thrown_by([&] { l.link->receive(message); });
		EXPECT_EQ(closed.code(), 17u);
		EXPECT_STREQ(closed.what(), "Connection is closed");
	}
}

TEST(tcp_connection, the_frame_cap_is_set_per_connection)
{
	test::socket_pair pair = test::make_socket_pair();
	tcp_connection link{std::move(pair.near), 1, 32};
	test::write_message(pair.far, v1::stop_worker_request{1, 2});
	message_buffer message;
	ASSERT_TRUE(test::receive_within(link, message));
	test::write_message(pair.far, v1::error_response{1, 2, "too long"});
	EXPECT_EQ(thrown_by([&] { test::receive_within(link, message); }).code(), 17u);
}

TEST(tcp_connection, a_frame_that_stalls_past_the_time_out_drops_the_link)
{
	linked l{1};
	auto const frame = test::encoded(v1::stop_worker_request{1, 2}).get_content();
	test::write_all(l.peer, span<char const>{frame.data(), frame.size() - 1});
	message_buffer message;
	kova::exception const e = thrown_by([&] {
		auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
		while (std::chrono::steady_clock::now() < deadline) {
			EXPECT_FALSE(l.link->receive(message));
			std::this_thread::sleep_for(std::chrono::milliseconds{20});
		}
	});
	EXPECT_EQ(e.code(), 9u);
	EXPECT_STREQ(e.what(), "Timed out receiving message: only 27 bytes of it arrived");
}

TEST(tcp_connection, a_closed_peer_ends_receiving_with_an_error)
{
	linked l;
	l.peer.close();
	message_buffer message;
	kova::exception const e = thrown_by([&] { test::receive_within(*l.link, message); });
	EXPECT_EQ(e.code(), 17u);
	EXPECT_STREQ(e.what(), "Connection closed by peer");
}

TEST(tcp_connection, writing_after_the_peer_closed_fails_and_the_process_lives)
{
	linked l;
	l.peer.close();
	kova::exception const e = thrown_by([&] {
		auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
		while (std::chrono::steady_clock::now() < deadline) {
			message_buffer message = test::encoded(v1::stop_worker_request{1, 2});
			l.link->send(message);
			std::this_thread::sleep_for(std::chrono::milliseconds{1});
		}
	});
	EXPECT_EQ(e.code(), 17u);
	message_buffer message = test::encoded(v1::start_workers_request{3});
	kova::exception const closed = thrown_by([&] { l.link->send(message); });
	EXPECT_STREQ(closed.what(), "Connection is closed");
}

TEST(tcp_connection, send_fills_in_the_total_length)
{
	linked l;
	message_buffer message;
	v1::encode_api_message(v1::stop_worker_request{5, 2}, message);
	ASSERT_TRUE(l.link->send(message));
	EXPECT_EQ(test::read_frame(l.peer).get_content(), test::encoded(v1::stop_worker_request{5, 2}).get_content());
}

TEST(tcp_connection, bye_answered_closes_the_link)
{
	linked l;
	std::thread peer{[&] { serve_until_bye(l.peer); }};
	l.link->disconnect(true);
	peer.join();
	message_buffer message;
	EXPECT_STREQ(thrown_by([&] { l.link->receive(message); }).what(), "Connection is closed");
}

TEST(tcp_connection, bye_to_a_silent_peer_ends_after_the_time_out)
{
	linked l{1};
	testing::internal::CaptureStdout();
	auto const start = std::chrono::steady_clock::now();
	l.link->disconnect(true);
	auto const waited = std::chrono::steady_clock::now() - start;
	std::string const printed = testing::internal::GetCapturedStdout();
	EXPECT_EQ(printed, "Failed to say bye to remote. Operation timed out: Timed out waiting to send message\n");
	EXPECT_GE(waited, std::chrono::seconds{1});
	message_buffer const bye = test::read_frame(l.peer);
	EXPECT_TRUE(v1::is_a<v1::bye_request>(bye));
	EXPECT_EQ(bye.get_message_id(), 0u);
}

TEST(tcp_connection, bye_that_fails_on_the_socket_is_printed_not_thrown)
{
	linked l;
	l.peer.close();
	testing::internal::CaptureStdout();
	l.link->disconnect(true);
	std::string const printed = testing::internal::GetCapturedStdout();
	EXPECT_EQ(printed.rfind("Error while tearing down connection: KOVA_ERROR_IO_FAILED:", 0), 0u) << printed;
	// The link is gone; a second disconnect does nothing.
	testing::internal::CaptureStdout();
	l.link->disconnect(true);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(tcp_connect, client_and_server_exchange_hello_and_messages)
{
	uint16_t const port = test::unused_port();
	auto server = std::async(std::launch::async, [port] {
		auto link = api::connect_via_tcp_as_server(port, 10, api::default_max_message_size);
		message_buffer message;
		if (!test::receive_within(*link, message))
			throw std::runtime_error{"no request"};
		auto const request = test::decoded<v1::stop_worker_request>(message);
		v1::encode_api_message(v1::stop_worker_response{request.id}, message);
		link->send(message);
		if (!test::receive_within(*link, message) || !v1::is_a<v1::bye_request>(message))
			throw std::runtime_error{"no bye"};
		v1::encode_api_message(v1::bye_response{message.get_message_id()}, message);
		link->send(message);
		auto const versions = link->get_supported_api_versions();
		link->disconnect(false);
		return versions;
	});

	auto client = api::connect_via_tcp_as_client("127.0.0.1", port, 10);
	EXPECT_EQ(client->get_supported_api_versions(), (std::vector<api::version>{{1, 24}}));
	message_buffer message = test::encoded(v1::stop_worker_request{41, 3});
	ASSERT_TRUE(client->send(message));
	ASSERT_TRUE(test::receive_within(*client, message));
	EXPECT_EQ(test::decoded<v1::stop_worker_response>(message).id, 41u);
	client.reset();
	EXPECT_EQ(server.get(), (std::vector<api::version>{{1, 24}}));
}

TEST(tcp_connect, a_client_started_before_its_server_connects_within_its_limit)
{
	uint16_t const port = test::unused_port();
	auto client = std::async(std::launch::async, [port] {
		auto link = api::connect_via_tcp_as_client("127.0.0.1", port, 20);
		link->disconnect(false);
		return link->get_supported_api_versions().size();
	});
	std::this_thread::sleep_for(std::chrono::milliseconds{1200});
	auto server = api::connect_via_tcp_as_server(port, 20, api::default_max_message_size);
	EXPECT_EQ(client.get(), 1u);
	server->disconnect(false);
}

TEST(tcp_connect, hello_answered_with_an_error_fails_with_code_8)
{
	test::loopback_listener listener;
	auto peer = std::async(std::launch::async, [&] {
		auto socket = listener.accept();
		message_buffer const hello = test::read_frame(socket);
		auto const request = test::decoded<v1::hello_request>(hello);
		test::write_message(socket, v1::error_response{request.id, 19, "too \x01old"});
		// Wait for the client to close without a bye.
		char byte;
		for (;;) {
			try {
				socket.read(span<char>{&byte, 1});
			} catch (const kova::exception &) {
				return request.supported_api_versions;
			}
			std::this_thread::sleep_for(std::chrono::milliseconds{1});
		}
	});
	kova::exception const e = thrown_by([&] { api::connect_via_tcp_as_client("127.0.0.1", listener.port(), 10); });
	EXPECT_EQ(e.code(), 8u);
	EXPECT_STREQ(e.what(), "Remote responded to hello request with an error: Unsupported version: too \\x01old");
	EXPECT_EQ(peer.get(), (std::vector<api::version>{{1, 24}}));
}

TEST(tcp_connect, hello_waits_through_keep_alive_requests)
{
	test::loopback_listener listener;
	auto peer = std::async(std::launch::async, [&] {
		auto socket = listener.accept();
		message_buffer const hello = test::read_frame(socket);
		test::write_message(socket, v1::keep_alive_request{0});
		message_buffer const answer = test::read_frame(socket);
		test::write_message(socket, v1::hello_response{hello.get_message_id(), {{1, 24}, {1, 30}}});
		serve_until_bye(socket);
		return answer;
	});
	auto client = api::connect_via_tcp_as_client("127.0.0.1", listener.port(), 10);
	EXPECT_EQ(client->get_supported_api_versions(), (std::vector<api::version>{{1, 24}, {1, 30}}));
	client.reset();
	message_buffer const answer = peer.get();
	EXPECT_TRUE(v1::is_a<v1::keep_alive_response>(answer));
	EXPECT_EQ(answer.get_message_id(), 0u);
}

TEST(tcp_connect, a_client_gives_up_at_its_deadline_naming_the_last_error)
{
	uint16_t const port = test::unused_port();
	kova::exception const e = thrown_by([&] { api::connect_via_tcp_as_client("127.0.0.1", port, 1); });
	EXPECT_EQ(e.code(), 9u);
	EXPECT_EQ(std::string{e.what()},
		  "Failed to connect to: 127.0.0.1:" + std::to_string(port) + ". Last error: Connection refused");
}

TEST(tcp_connect, a_server_gives_up_when_no_client_comes)
{
	kova::exception const e = thrown_by(
		[&] { api::connect_via_tcp_as_server(test::unused_port(), 1, api::default_max_message_size); });
	EXPECT_EQ(e.code(), 9u);
	EXPECT_STREQ(e.what(), "Timed out waiting for client to connect");
}

TEST(tcp_connect, a_server_refuses_a_client_whose_first_message_is_not_hello)
{
	uint16_t const port = test::unused_port();
	auto server = std::async(std::launch::async, [port] {
		return thrown_by([port] { api::connect_via_tcp_as_server(port, 10, api::default_max_message_size); });
	});
	kova::bench::utility::tcp_socket socket;
	auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
	do {
		socket = kova::bench::utility::tcp_socket{};
		socket.connect("127.0.0.1", port);
	} while (test::wait_for_connect(socket) != kova::bench::utility::connect_state::connected &&
		 std::chrono::steady_clock::now() < deadline);
	test::write_message(socket, v1::bye_request{0});
	kova::exception const e = server.get();
	EXPECT_EQ(e.code(), 6u);
	EXPECT_EQ(std::string{e.what()}.rfind("Unable to interpret a message of api version: 1.24, type : 5", 0), 0u);
}
