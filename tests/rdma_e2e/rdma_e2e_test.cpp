// kova_bench's RDMA pipelines against a companion started by hand on loopback.
#include "support/run_program.hpp"
#include "support/unused_port.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string const kova_bench = std::string{KOVA_BIN_DIR} + "/kova_bench";
std::string const kova_bench_companion = std::string{KOVA_BIN_DIR} + "/kova_bench_companion";

// A companion serving one benchmark run; killed by its id if it outlives the test.
class companion {
public:
	companion() : m_port{kova::test::unused_port()}
	{
		std::string const port = std::to_string(m_port);
		m_pid = ::fork();
		if (m_pid == 0) {
			// Its progress lines are not the test's.
			int const quiet = ::open("/dev/null", O_WRONLY);
			::dup2(quiet, STDOUT_FILENO);
			::execl(kova_bench_companion.c_str(), kova_bench_companion.c_str(), "--device", "03:00.0",
				"--method", "main", "--comms-type", "tcp", "--tcp-port", port.c_str(),
				static_cast<char *>(nullptr));
			::_exit(127);
		}
	}
	~companion()
	{
		if (m_pid <= 0)
			return;
		for (int i = 0; i < 100 && ::waitpid(m_pid, nullptr, WNOHANG) == 0; ++i)
			std::this_thread::sleep_for(std::chrono::milliseconds{50});
		if (::kill(m_pid, 0) == 0) {
			::kill(m_pid, SIGKILL);
			::waitpid(m_pid, nullptr, 0);
		}
	}
	companion(const companion &) = delete;
	companion &operator=(const companion &) = delete;

	[[nodiscard]] std::string connection_string() const
	{
		return "proto=tcp,addr=127.0.0.1,port=" + std::to_string(m_port) + ",dev=0000:03:00.0,no-launch";
	}

private:
	uint16_t m_port;
	pid_t m_pid = -1;
};

std::vector<std::string> rdma_args(const std::string &step, const companion &peer)
{
	return {"--device", "03:00.1", "--core-list", "0", "--data-provider-job-count", "8", "--pipeline-steps", step,
		"--uniform-job-size", "65536", "--run-limit-seconds", "3", "--companion-connection-string",
		peer.connection_string(), "--companion-core-list", "4,5"};
}

// The jobs the final aggregate statistics count.
uint64_t final_dequeued_jobs(const std::string &out)
{
	auto const at = out.rfind("Dequeued jobs:");
	if (at == std::string::npos)
		return 0;
	return std::stoull(out.substr(at + 14));
}

TEST(rdma_e2e, send_and_receive_pipelines_run_against_the_companion)
{
	for (const char *step : {"kova_rdma::send", "kova_rdma::receive"}) {
		SCOPED_TRACE(step);
		companion peer;
		auto const result = kova::test::run_program(kova_bench, rdma_args(step, peer), std::chrono::seconds{60});
		ASSERT_FALSE(result.timed_out);
		EXPECT_EQ(result.status, 0) << result.out << result.err;
		EXPECT_NE(result.out.find("[main] Completed!"), std::string::npos);
		EXPECT_GT(final_dequeued_jobs(result.out), 0u) << result.out;
	}
}

TEST(rdma_e2e, refused_connect_ends_the_set_up_at_once)
{
	companion peer;
	auto const result = kova::test::run_program(kova_bench, rdma_args("kova_rdma::send", peer),
						    {std::string{"LD_PRELOAD="} + KOVA_REFUSE_CONNECT_LIBRARY},
						    std::chrono::seconds{20});
	ASSERT_FALSE(result.timed_out) << "the set-up waited instead of failing";
	EXPECT_EQ(result.status, 1);
	EXPECT_NE((result.out + result.err).find("Failed during: rdma_connect_activity"), std::string::npos)
		<< result.out << result.err;
}

TEST(rdma_e2e, bidir_is_refused_with_code_4)
{
	companion peer;
	auto const result =
		kova::test::run_program(kova_bench, rdma_args("kova_rdma::bidir", peer), std::chrono::seconds{60});
	ASSERT_FALSE(result.timed_out);
	EXPECT_EQ(result.status, 1);
	auto const text = result.out + result.err;
	EXPECT_NE(text.find("KOVA_ERROR_NOT_SUPPORTED"), std::string::npos) << text;
	EXPECT_NE(text.find("bidir rdma is temporarily disabled"), std::string::npos) << text;
}

TEST(rdma_e2e, device_capabilities_show_the_rdma_record)
{
	auto const result =
		kova::test::run_program(kova_bench, {"--query", "device-capabilities", "--device", "03:00.1"});
	ASSERT_EQ(result.status, 0) << result.err;
	auto const at = result.out.find("kova_rdma:\n");
	ASSERT_NE(at, std::string::npos) << result.out;
	std::string const record = result.out.substr(at, result.out.find("kova_sha:\n") - at);
	for (const char *line : {"\tInstalled: yes\n", "\t\tGID table size: 4\n", "\t\tSupported transport types: [RC]\n",
				 "\t\treceive: \n\t\t\tSupported: yes\n\t\t\tMax buffer length: 1073741824\n",
				 "\t\tsend: \n\t\t\tSupported: yes\n\t\t\tMax buffer length: 1073741824\n",
				 "\t\tbidir: \n\t\t\tSupported: no\n"}) {
		SCOPED_TRACE(line);
		EXPECT_NE(record.find(line), std::string::npos) << record;
	}
}

} // namespace
