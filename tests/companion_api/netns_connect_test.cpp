// Connecting to an address that nobody holds, inside a network namespace of
// its own: the attempt must fail, never look connected. Runs as root only.
#include "companion/api/tcp_connect.hpp"

#include "kova_exception.hpp"
#include "utility/tcp_socket.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace api = kova::bench::companion::api;
using kova::bench::utility::connect_state;
using kova::bench::utility::tcp_socket;

namespace {

bool run(const std::string &command)
{
	return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A namespace holding a veth pair: kv0 with 192.0.2.1/24, kv1 up without an
// address, so that nobody answers for 192.0.2.2. Removed on destruction.
class veth_namespace {
public:
	veth_namespace() : m_name{"kova_proto_test_" + std::to_string(::getpid())}
	{
		run("ip netns del " + m_name);
		m_created = run("ip netns add " + m_name);
		if (!m_created)
			return;
		m_ready = run("ip -n " + m_name + " link set lo up") &&
			  run("ip -n " + m_name + " link add kv0 type veth peer name kv1") &&
			  run("ip -n " + m_name + " addr add 192.0.2.1/24 dev kv0") &&
			  run("ip -n " + m_name + " link set kv0 up") && run("ip -n " + m_name + " link set kv1 up");
	}
	veth_namespace(const veth_namespace &) = delete;
	veth_namespace &operator=(const veth_namespace &) = delete;
	~veth_namespace()
	{
		if (m_created)
			run("ip netns del " + m_name);
	}

	[[nodiscard]] bool ready() const { return m_ready; }
	[[nodiscard]] std::string path() const { return "/run/netns/" + m_name; }

private:
	std::string m_name;
	bool m_created = false;
	bool m_ready = false;
};

struct outcome {
	std::string failure;
	bool ever_connected = false;
	connect_state final_state = connect_state::in_progress;
	int final_error = 0;
	kova_error client_code = 0;
	std::string client_text;
};

// Runs on a thread that has entered the namespace; sockets made here belong to it.
void probe(outcome &out)
{
	{
		tcp_socket socket;
		socket.connect("192.0.2.2", 9);
		auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
		connect_state state = connect_state::in_progress;
		int error = 0;
		while (state == connect_state::in_progress && std::chrono::steady_clock::now() < deadline) {
			std::this_thread::sleep_for(std::chrono::milliseconds{50});
			state = socket.poll_is_connected(&error);
		}
		out.final_state = state;
		out.final_error = error;
		// Asking again after the failure must not report a connection.
		for (int i = 0; i < 5; ++i)
			out.ever_connected |= state == connect_state::connected ||
					      socket.poll_is_connected() == connect_state::connected;
	}
	try {
		api::connect_via_tcp_as_client("192.0.2.2", 9, 2);
		out.ever_connected = true;
	} catch (const kova::exception &e) {
		out.client_code = e.code();
		out.client_text = e.what();
	}
}

} // namespace

TEST(tcp_connect_netns, an_unused_address_on_a_veth_never_reports_connected)
{
	if (::geteuid() != 0)
		GTEST_SKIP() << "needs root";
	if (!run("ip netns list"))
		GTEST_SKIP() << "ip netns is not available";
	veth_namespace ns;
	if (!ns.ready())
		GTEST_SKIP() << "cannot create a network namespace with a veth pair here";

	outcome out;
	std::thread worker{[&] {
		int const fd = ::open(ns.path().c_str(), O_RDONLY | O_CLOEXEC);
		if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
			out.failure = "cannot enter the namespace: " + std::to_string(errno);
			if (fd >= 0)
				::close(fd);
			return;
		}
		::close(fd);
		probe(out);
	}};
	worker.join();

	ASSERT_EQ(out.failure, "");
	EXPECT_FALSE(out.ever_connected);
	EXPECT_EQ(out.final_state, connect_state::refused);
	EXPECT_EQ(out.final_error, EHOSTUNREACH);
	EXPECT_TRUE(out.client_code == 9 || out.client_code == 17) << out.client_code << " " << out.client_text;
	EXPECT_EQ(out.client_text.rfind("Failed to connect to: 192.0.2.2:9", 0), 0u) << out.client_text;
}
