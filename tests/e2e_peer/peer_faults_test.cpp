// What a user sees when the host-device path breaks: each fault ends kova_bench with exit status 1
// and a message that names it, well before the run limit, and leaves no process behind.
#include "peer_namespaces.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kova::test::peer_namespaces;

// Waits until the companion runs and the benchmark had a second to run its pipeline.
std::vector<pid_t> companion_once_running(peer_namespaces &net)
{
	for (int i = 0; i < 300; ++i) {
		auto pids = net.companion_processes();
		if (!pids.empty()) {
			std::this_thread::sleep_for(2s);
			return pids;
		}
		std::this_thread::sleep_for(100ms);
	}
	return {};
}

// Waits until the RDMA stand-in's stream on the data wire (the device's end, 198.18.1.2) is up, so
// that taking the wire down hits a running pipeline and not its set-up on a loaded machine.
void rdma_stream_once_up(peer_namespaces &net)
{
	companion_once_running(net);
	std::string const command =
		"ip netns exec " + net.device_namespace() + " ss -Htn state established src 198.18.1.2";
	for (int i = 0; i < 600; ++i) {
		std::string text;
		if (FILE *out = ::popen(command.c_str(), "r"); out != nullptr) {
			char line[256];
			while (std::fgets(line, sizeof(line), out) != nullptr)
				text += line;
			::pclose(out);
		}
		if (!text.empty())
			break;
		std::this_thread::sleep_for(100ms);
	}
	std::this_thread::sleep_for(1s);
}

struct fault_case {
	const char *name;
	const char *steps;
	const char *device;           // kova_bench's
	const char *companion_device; // the companion's
	const char *connection_extra; // more connection-string keys
	const char *job_size;
	std::function<void(peer_namespaces &)> during;
	const char *message; // part of what kova_bench prints
};

void PrintTo(const fault_case &c, std::ostream *out)
{
	*out << c.name;
}

// clang-format off
std::vector<fault_case> const fault_cases = {
	{"companion killed mid-run", "kova_rdma::send", "03:00.1", "03:00.1", "", "4096",
	 [](peer_namespaces &net) {
		 for (pid_t const pid : companion_once_running(net))
			 ::kill(pid, SIGKILL);
	 },
	 "Failed to Execute companion app"},
	{"ssh connection refused", "kova_rdma::send", "03:00.1", "03:00.1", "ssh-port=1", "4096", {},
	 "Failed to Execute companion app. stdout: [\n\t\n], stderr: [\n\tssh: connect to host 198.18.0.2 port 1: Connection refused"},
	{"data wire down mid-run", "kova_eth::tx", "03:00.0", "03:00.0", "", "64",
	 [](peer_namespaces &net) {
		 companion_once_running(net);
		 net.set_host_link("kovap0", false);
	 },
	 "kova_eth: \"kovap0\" refused"},
	{"RDMA data wire taken down mid-run", "kova_rdma::send", "03:00.1", "03:00.1", "", "4096",
	 [](peer_namespaces &net) {
		 rdma_stream_once_up(net);
		 net.set_host_link("kovap1", false);
	 },
	 "kova_rdma: connection lost (KOVA_ERROR_CONNECTION_RESET): the peer did not answer for"},
	{"GPU RDMA data wire taken down mid-run", "kova_tessel::rdma_gpu", "03:00.1", "03:00.1", "gpu=65:00.0", "4096",
	 [](peer_namespaces &net) {
		 rdma_stream_once_up(net);
		 net.set_host_link("kovap1", false);
	 },
	 "kova_tessel::rdma_gpu: the RDMA connection to the companion was lost"},
	{"companion with a device that does not exist", "kova_rdma::send", "03:00.1", "0f:00.0", "", "4096", {},
	 "No suitable device found matching address: 0f:00.0"},
};
// clang-format on

class peer_faults : public kova::test::peer_suite, public ::testing::WithParamInterface<fault_case> {};

TEST_P(peer_faults, end_the_run_with_status_1_and_a_clear_message)
{
	fault_case const &c = GetParam();
	if (std::string{c.steps}.rfind("kova_eth", 0) == 0 && !hugepages_free()) {
		missing("no free 2 MiB hugepages for DPDK");
		return;
	}
	std::string const device = c.device;
	std::string const connection = s_net->connection_string(c.companion_device, c.connection_extra);
	std::vector<std::string> args{"--device", device, "--core-list", "0", "--pipeline-steps", c.steps,
				      "--uniform-job-size", c.job_size, "--data-provider-job-count", "8",
				      "--run-limit-seconds", "60", "--companion-connection-string", connection,
				      "--companion-core-list", "1"};
	// The GPU steps run on the emulated GPU on both sides (the companion's is in the connection string).
	if (std::string{c.steps}.rfind("kova_tessel", 0) == 0)
		args.insert(args.end(), {"--gpu", "65:00.0"});
	auto const during = c.during ? std::function<void()>{[&] { c.during(*s_net); }} : std::function<void()>{};
	auto const r = s_net->run_bench(args, "", 90s, during);
	s_net->set_host_link("kovap0", true);
	s_net->set_host_link("kovap1", true);

	ASSERT_FALSE(r.bench.timed_out) << r.bench.out << r.bench.err << r.companion_out;
	EXPECT_EQ(r.bench.status, 1) << r.bench.out << r.bench.err;
	EXPECT_NE((r.bench.out + r.bench.err).find(c.message), std::string::npos) << r.bench.out << r.bench.err;
	// Well short of the 60 s run limit, with room for the ssh launch on a loaded machine.
	EXPECT_LT(r.took, 45s) << "the run went on after the fault";
	EXPECT_EQ(s_net->processes_left(10s), std::vector<pid_t>{});
}

INSTANTIATE_TEST_SUITE_P(host_device_path, peer_faults, ::testing::ValuesIn(fault_cases),
			 [](const ::testing::TestParamInfo<fault_case> &info) { return kova::test::test_name(info.param.name); });

} // namespace
