// Tests for utility/tcp_socket.cpp, over loopback.
#include "utility/tcp_socket.hpp"

#include "kova_exception.hpp"
#include "protocol_test_support.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>

#include <string>
#include <vector>

using kova::bench::utility::connect_state;
using kova::bench::utility::err_to_string;
using kova::bench::utility::span;
using kova::bench::utility::tcp_socket;
namespace test = kova::bench::companion::api::test;

namespace {

// The descriptors of this process that are sockets.
std::vector<int> open_sockets()
{
	std::vector<int> result;
	DIR *dir = ::opendir("/proc/self/fd");
	if (dir == nullptr)
		return result;
	while (dirent *entry = ::readdir(dir)) {
		std::string const path = std::string{"/proc/self/fd/"} + entry->d_name;
		char target[64] = {};
		if (::readlink(path.c_str(), target, sizeof(target) - 1) > 0 && std::string{target}.rfind("socket:", 0) == 0)
			result.push_back(std::stoi(entry->d_name));
	}
	::closedir(dir);
	return result;
}

using kova::test::thrown_by;

} // namespace

TEST(tcp_socket, accept_without_a_waiting_client_returns_an_invalid_socket)
{
	tcp_socket listener;
	listener.listen(test::unused_port());
	tcp_socket const client = listener.accept();
	EXPECT_FALSE(client.is_valid());
	EXPECT_TRUE(listener.is_valid());
}

TEST(tcp_socket, accepted_and_created_sockets_are_close_on_exec)
{
	uint16_t const port = test::unused_port();
	tcp_socket listener;
	listener.listen(port);
	tcp_socket client;
	client.connect("127.0.0.1", port);
	tcp_socket accepted;
	auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
	while (!accepted.is_valid() && std::chrono::steady_clock::now() < deadline)
		accepted = listener.accept();
	ASSERT_TRUE(accepted.is_valid());
	EXPECT_EQ(test::wait_for_connect(client), connect_state::connected);

	std::vector<int> const sockets = open_sockets();
	EXPECT_GE(sockets.size(), 3u);
	for (int fd : sockets) {
		SCOPED_TRACE(fd);
		EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
		EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
	}
}

TEST(tcp_socket, connecting_where_nothing_listens_is_refused)
{
	tcp_socket socket;
	socket.connect("127.0.0.1", test::unused_port());
	int error = 0;
	connect_state state = test::wait_for_connect(socket);
	ASSERT_EQ(state, connect_state::refused);
	// The attempt is over: asking again never reports a connection.
	for (int i = 0; i < 3; ++i)
		EXPECT_NE(socket.poll_is_connected(&error), connect_state::connected);
}

TEST(tcp_socket, refused_attempt_reports_its_error)
{
	tcp_socket socket;
	socket.connect("127.0.0.1", test::unused_port());
	int error = 0;
	auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
	connect_state state = socket.poll_is_connected(&error);
	while (state == connect_state::in_progress && std::chrono::steady_clock::now() < deadline)
		state = socket.poll_is_connected(&error);
	EXPECT_EQ(state, connect_state::refused);
	EXPECT_EQ(error, ECONNREFUSED);
}

TEST(tcp_socket, addresses_must_be_dotted_ipv4)
{
	for (std::string const address : {"localhost", "127.0.0", "::1", ""}) {
		SCOPED_TRACE(address);
		tcp_socket socket;
		kova::exception const e = thrown_by([&] { socket.connect(address, 1); });
		EXPECT_EQ(e.code(), 6u);
		EXPECT_EQ(std::string{e.what()}.rfind("Failed to parse address:\"" + address + "\". Error: ", 0), 0u)
			<< e.what();
	}
}

TEST(tcp_socket, bytes_flow_both_ways)
{
	test::socket_pair pair = test::make_socket_pair();
	char buffer[16];
	EXPECT_TRUE(pair.far.read(span<char>{buffer}).empty());
	EXPECT_EQ(pair.near.write(span<char const>{"hello", 5}), 5u);
	auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
	span<char> got;
	while (got.empty() && std::chrono::steady_clock::now() < deadline)
		got = pair.far.read(span<char>{buffer});
	EXPECT_EQ(std::string(got.begin(), got.end()), "hello");
}

TEST(tcp_socket, a_closed_peer_is_reported_not_silent)
{
	test::socket_pair pair = test::make_socket_pair();
	pair.far.close();
	char buffer[16];
	kova::exception const e = thrown_by([&] {
		auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
		while (std::chrono::steady_clock::now() < deadline)
			pair.near.read(span<char>{buffer});
	});
	EXPECT_EQ(e.code(), 17u);
	EXPECT_STREQ(e.what(), "Connection closed by peer");
}

TEST(tcp_socket, writing_to_a_closed_peer_fails_without_a_signal)
{
	test::socket_pair pair = test::make_socket_pair();
	pair.far.close();
	std::vector<char> const data(4096, 'x');
	kova::exception const e = thrown_by([&] {
		auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
		while (std::chrono::steady_clock::now() < deadline) {
			pair.near.write(span<char const>{data});
			std::this_thread::sleep_for(std::chrono::milliseconds{1});
		}
	});
	EXPECT_EQ(e.code(), 17u);
	std::string const text = e.what();
	EXPECT_TRUE(text == "Failed to write data. Error: " + err_to_string(EPIPE) ||
		    text == "Failed to write data. Error: " + err_to_string(ECONNRESET))
		<< text;
}

TEST(tcp_socket, moving_transfers_the_descriptor_and_closes_the_old_one)
{
	size_t const before = open_sockets().size();
	tcp_socket first;
	tcp_socket second;
	EXPECT_EQ(open_sockets().size(), before + 2);

	first = std::move(second);
	EXPECT_EQ(open_sockets().size(), before + 1);
	EXPECT_TRUE(first.is_valid());
	EXPECT_FALSE(second.is_valid()); // NOLINT(bugprone-use-after-move)

	tcp_socket third{std::move(first)};
	EXPECT_FALSE(first.is_valid()); // NOLINT(bugprone-use-after-move)
	EXPECT_TRUE(third.is_valid());
	{
		tcp_socket const gone{std::move(third)};
	}
	EXPECT_EQ(open_sockets().size(), before);

	tcp_socket const none{static_cast<uint32_t>(-1)};
	EXPECT_FALSE(none.is_valid());
}

TEST(tcp_socket, listening_twice_on_one_port_fails)
{
	uint16_t const port = test::unused_port();
	tcp_socket first;
	first.listen(port);
	tcp_socket second;
	kova::exception const e = thrown_by([&] { second.listen(port); });
	EXPECT_EQ(e.code(), 17u);
	EXPECT_EQ(std::string{e.what()}.rfind("Failed to bind to port: " + std::to_string(port) + ". Error: ", 0), 0u)
		<< e.what();
}

TEST(err_to_string, gives_the_system_text)
{
	EXPECT_EQ(err_to_string(ECONNREFUSED), "Connection refused");
}
