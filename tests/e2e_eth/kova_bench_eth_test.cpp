// kova_bench in one network namespace and kova_bench_companion, started by hand, in another; the
// device's interface kovap0 is a veth pair between them and a second pair carries the TCP link.
// Root and DPDK's hugepages needed; under CI a missing prerequisite fails instead of skipping.
#include "support/run_program.hpp"
#include "support/test_netns.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using kova::test::host_and_device;
using kova::test::hugepages_free;
using kova::test::run_quietly;
using kova::test::under_ci;

uint64_t last_number_after(const std::string &text, const std::string &label)
{
	std::size_t const at = text.rfind(label);
	return at == std::string::npos ? 0 : std::stoull(text.substr(at + label.size()));
}

// Frames the companion's stand-in dropped on receive, from the "name value" lines its preload wrote.
uint64_t rx_drops(const std::string &counters_path)
{
	std::ifstream in{counters_path};
	std::string name;
	uint64_t value = 0;
	uint64_t drops = 0;
	bool any = false;
	while (in >> name >> value) {
		any = true;
		if (name.rfind("rx_dropped_", 0) == 0)
			drops += value;
	}
	if (!any)
		ADD_FAILURE() << "no counters in " << counters_path;
	return drops;
}

struct exchange_result {
	kova::test::program_result bench;
	kova::test::program_result companion;
	uint64_t companion_rx_drops = 0;
};

class kova_bench_eth : public ::testing::Test {
protected:
	void SetUp() override
	{
		if (!net.ready() || !hugepages_free()) {
			std::string const why = "needs root (network namespaces) and free 2 MiB hugepages for DPDK";
			if (under_ci())
				FAIL() << why;
			GTEST_SKIP() << why;
		}
	}

	exchange_result run(const std::string &step)
	{
		exchange_result result;
		std::string const counters = "/tmp/kova_e2e_eth_counters." + std::to_string(::getpid());
		std::remove(counters.c_str());
		std::thread companion{[&] {
			result.companion = kova::test::run_program(
				"/usr/sbin/ip",
				{"netns", "exec", net.device(), "env", std::string{"LD_PRELOAD="} + KOVA_ETH_COUNTERS_LIBRARY,
				 "KOVA_E2E_ETH_IFACE=kovap0", "KOVA_E2E_ETH_COUNTERS=" + counters,
				 KOVA_BIN_DIR "/kova_bench_companion", "--method", "main",
				 "--comms-type", "tcp", "--device", "03:00.0", "--tcp-port", "34567"},
				std::chrono::seconds{120});
		}};
		result.bench = kova::test::run_program(
			"/usr/sbin/ip",
			{"netns", "exec", net.host(), KOVA_BIN_DIR "/kova_bench", "--device", "03:00.0", "--pipeline-steps", step,
			 "--core-list", "0", "--data-provider-job-count", "64", "--uniform-job-size", "64",
			 "--run-limit-seconds", "5", "--companion-connection-string",
			 "proto=tcp,port=34567,addr=192.0.2.2,dev=03:00.0,no-launch", "--companion-core-list", "1"},
			std::chrono::seconds{120});
		companion.join();
		result.companion_rx_drops = rx_drops(counters);
		std::remove(counters.c_str());
		return result;
	}

	host_and_device net{"kve"};
};

// Under load the receive worker may fall behind; the stand-in counts each frame it dropped.
TEST_F(kova_bench_eth, send_step_frames_reach_the_companions_receive_worker_or_are_counted_as_dropped)
{
	exchange_result const r = run("kova_eth::tx");
	ASSERT_EQ(r.bench.status, 0) << r.bench.err;
	EXPECT_NE(r.bench.out.find("[main] Completed!"), std::string::npos);
	uint64_t const sent = last_number_after(r.bench.out, "Dequeued jobs: ");
	EXPECT_GT(sent, 0U);
	EXPECT_GT(last_number_after(r.bench.out, "Throughput:    "), 0U);
	EXPECT_EQ(last_number_after(r.companion.out, "Companion App received ") + r.companion_rx_drops, sent)
		<< "dropped " << r.companion_rx_drops << "\n" << r.companion.out;
}

TEST_F(kova_bench_eth, receive_step_takes_the_frames_of_the_companions_send_worker)
{
	exchange_result const r = run("kova_eth::rx");
	ASSERT_EQ(r.bench.status, 0) << r.bench.err;
	uint64_t const received = last_number_after(r.bench.out, "Dequeued jobs: ");
	EXPECT_GT(received, 0U);
	EXPECT_GT(last_number_after(r.bench.out, "Throughput:    "), 0U);
	// The worker goes on sending until the benchmark's teardown destroys it.
	EXPECT_GE(last_number_after(r.companion.out, "Companion App transmitted "), received) << r.companion.out;
}

TEST(kova_bench_eth_query, device_capabilities_lists_the_ethernet_tasks)
{
	auto const result =
		kova::test::run_program(KOVA_BIN_DIR "/kova_bench", {"--query", "device-capabilities", "--device", "03:00.0"});
	ASSERT_EQ(result.status, 0) << result.err;
	std::size_t const at = result.out.find("\nkova_eth:\n");
	ASSERT_NE(at, std::string::npos) << result.out;
	std::string const record = result.out.substr(at, result.out.find("\nkova_rdma:\n") - at);
	EXPECT_NE(record.find("\t\trecv: \n\t\t\tSupported: yes\n"), std::string::npos) << record;
	EXPECT_NE(record.find("\t\tsend: \n\t\t\tSupported: yes\n"), std::string::npos) << record;
	EXPECT_NE(record.find("L3 checksum offload enabled"), std::string::npos) << record;
}

} // namespace
