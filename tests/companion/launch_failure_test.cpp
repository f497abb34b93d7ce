// kova_bench with a companion launched over ssh that runs but never serves the benchmark: the
// benchmark's own failure is reported first, then the launch watcher's report of the companion.
#include "companion_api/protocol_test_support.hpp"
#include "launch/ssh_peer.hpp"
#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

namespace api = kova::bench::companion::api;

std::string const kova_bench = std::string{KOVA_BIN_DIR} + "/kova_bench";

// Takes every connection on the port and closes it at once, as a port whose owner is not the
// companion: the benchmark's hello then fails without waiting for the connect time limit.
class hanging_up_listener {
public:
	hanging_up_listener() : m_thread{[this] { serve(); }} {}
	~hanging_up_listener()
	{
		m_stop = true;
		wake();
		m_thread.join();
	}
	hanging_up_listener(const hanging_up_listener &) = delete;
	hanging_up_listener &operator=(const hanging_up_listener &) = delete;

	[[nodiscard]] uint16_t port() const { return m_listener.port(); }

private:
	void serve()
	{
		try {
			while (!m_stop) {
				// Closed when it goes out of scope.
				auto const client = m_listener.accept();
			}
		} catch (const std::exception &error) {
			ADD_FAILURE() << error.what();
		}
	}

	// One connection of its own ends the blocking accept.
	void wake() const
	{
		int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		sockaddr_in address{};
		address.sin_family = AF_INET;
		address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		address.sin_port = htons(port());
		static_cast<void>(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)));
		::close(fd);
	}

	api::test::loopback_listener m_listener;
	std::atomic<bool> m_stop{false};
	std::thread m_thread;
};

class companion_launch_failure : public kova::test::ssh_peer_suite {};

TEST_F(companion_launch_failure, the_benchmarks_error_comes_before_the_watchers_report)
{
	// A companion that starts, prints a line and never listens.
	auto const script = s_peer->directory() / "silent-companion";
	{
		std::ofstream out{script};
		out << "#!/bin/sh\necho silent companion started\nexec sleep 40\n";
	}
	std::filesystem::permissions(script, std::filesystem::perms::owner_all);

	hanging_up_listener listener;
	std::string const user = s_peer->destination().substr(0, s_peer->destination().find('@'));
	std::string const connection = "proto=tcp,user=" + user + ",addr=127.0.0.1,ssh-port=" +
				       std::to_string(s_peer->port()) + ",port=" + std::to_string(listener.port()) +
				       ",dev=0000:03:00.0";
	auto const result = kova::test::run_program(
		kova_bench, {"--device", "03:00.1", "--pipeline-steps", "kova_dma", "--companion-connection-string",
			     connection, "--run-limit-seconds", "2", "--data-provider-job-count", "4",
			     "--uniform-job-size", "1024", "-a", "zopt.companion_app.path=" + script.string()},
		std::chrono::seconds{90});
	ASSERT_FALSE(result.timed_out);
	EXPECT_EQ(result.status, 1);
	auto const own = result.err.find("[main] Caught kova::exception. \n\tcode: \"KOVA_ERROR_IO_FAILED\"");
	auto const watcher = result.err.find("Failed to Execute companion app. stdout: [\n\tsilent companion started\n]");
	ASSERT_NE(own, std::string::npos) << result.out << result.err;
	ASSERT_NE(watcher, std::string::npos) << result.err;
	EXPECT_LT(own, watcher) << result.err;
}

} // namespace
