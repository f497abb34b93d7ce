// The "host" and "device" network namespaces of scripts/lib/netns.sh for one test suite, and runs
// of kova_bench in the host namespace that launch the shipped kova_bench_companion over ssh into the
// device namespace. The companion is started through a wrapper that keeps a copy of what it prints
// and its exit status; both programs have the stand-in's Ethernet counters written when they end.
#pragma once

#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kova::test {

struct peer_run {
	program_result bench;
	std::string companion_out;    // the companion's standard output and error
	std::string companion_status; // its exit status, empty when it never ended by itself
	std::map<std::string, uint64_t> eth_counters; // the benchmark's, of the row's interface
	std::map<std::string, uint64_t> companion_eth_counters; // the companion's, of kovap0
	std::chrono::milliseconds took{0};
};

class peer_namespaces {
public:
	peer_namespaces() = default;
	~peer_namespaces();
	peer_namespaces(const peer_namespaces &) = delete;
	peer_namespaces &operator=(const peer_namespaces &) = delete;

	// Empty when both namespaces and the sshd run; otherwise why not.
	std::string start();
	void stop();

	// The connection string for a companion on the given device, launched over ssh and listening
	// on a port of its own; `extra` is appended as more keys.
	std::string connection_string(const std::string &device, const std::string &extra = {});

	// Runs kova_bench in the host namespace with the arguments and the companion's path; `during`
	// runs on this thread while kova_bench runs.
	peer_run run_bench(std::vector<std::string> args, const std::string &eth_iface, std::chrono::seconds limit,
			   const std::function<void()> &during = {});

	// The processes in both namespaces other than the sshd, after waiting up to `limit` for them
	// to end; any still there are then killed (by their ids) so that the next case starts clean.
	std::vector<pid_t> processes_left(std::chrono::seconds limit);
	std::vector<pid_t> companion_processes();

	// Sets a link of the host namespace up or down.
	bool set_host_link(const std::string &link, bool up);

	[[nodiscard]] const std::string &device_namespace() const { return m_device; }

private:
	std::vector<pid_t> processes();

	std::filesystem::path m_dir;
	std::string m_host;
	std::string m_device;
	std::string m_device_address;
	std::string m_user;
	pid_t m_sshd = -1;
	uint16_t m_next_port = 34710;
};

// A suite whose tests share one pair of namespaces, made before the first test. Without root,
// sshd or free hugepages (DPDK's, for the Ethernet rows) the tests are skipped; under CI
// (CI=true) they fail instead.
class peer_suite : public ::testing::Test {
protected:
	static void SetUpTestSuite();
	static void TearDownTestSuite();
	void SetUp() override;

	static bool hugepages_free();
	static void missing(const std::string &why);

	static inline peer_namespaces *s_net = nullptr;
	static inline std::string s_reason;
};

// A test name made of the text's letters and digits, with '_' for anything else.
std::string test_name(const std::string &text);

// The last number after the last occurrence of `label`; 0 when there is none.
uint64_t last_number_after(const std::string &text, const std::string &label);

} // namespace kova::test
