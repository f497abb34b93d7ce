// kova_bench's GPU steps end to end against a companion started by hand on loopback.
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

// A companion with the emulated GPU open, serving one run; killed by its id if it outlives the test.
class companion {
public:
	companion() : m_port{kova::test::unused_port()}
	{
		std::string const port = std::to_string(m_port);
		m_pid = ::fork();
		if (m_pid == 0) {
			int const quiet = ::open("/dev/null", O_WRONLY);
			::dup2(quiet, STDOUT_FILENO);
			::execl(kova_bench_companion.c_str(), kova_bench_companion.c_str(), "--device", "03:00.0",
				"--method", "main", "--comms-type", "tcp", "--tcp-port", port.c_str(), "--gpu", "65:00.0",
				static_cast<char *>(nullptr));
			::_exit(127);
		}
	}
	~companion()
	{
		if (m_pid <= 0)
			return;
		::kill(m_pid, SIGKILL);
		::waitpid(m_pid, nullptr, 0);
	}
	companion(const companion &) = delete;
	companion &operator=(const companion &) = delete;

	// The companion's exit status once it ended on the benchmark's bye; -1 when it is still running
	// after 20 s (it is then left to the destructor).
	int exit_status()
	{
		for (int i = 0; i < 400 && m_pid > 0; ++i) {
			int status = 0;
			if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
				m_pid = -1;
				return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
			}
			std::this_thread::sleep_for(std::chrono::milliseconds{50});
		}
		return -1;
	}

	[[nodiscard]] std::string connection_string() const
	{
		return "proto=tcp,addr=127.0.0.1,port=" + std::to_string(m_port) + ",dev=0000:03:00.0,no-launch";
	}

private:
	uint16_t m_port;
	pid_t m_pid = -1;
};

std::vector<std::string> gpu_args(const std::string &step, const companion &peer)
{
	return {"--device", "03:00.0", "--gpu", "65:00.0", "--pipeline-steps", step, "--run-limit-seconds", "3",
		"--core-list", "0", "--data-provider-job-count", "4", "--uniform-job-size", "1024",
		"--companion-connection-string", peer.connection_string(), "--companion-core-list", "1"};
}

// The number after the last occurrence of the label (the final aggregate statistics).
double final_value(const std::string &out, const std::string &label)
{
	auto const at = out.rfind(label);
	if (at == std::string::npos)
		return 0;
	return std::stod(out.substr(at + label.size()));
}

TEST(gpu_e2e, steps_run_three_seconds_and_count)
{
	struct row {
		const char *step;
		bool counts_bytes;
	};
	for (row const &r : {row{"kova_tessel::nop", false}, row{"kova_tessel::rdma_gpu", true}}) {
		SCOPED_TRACE(r.step);
		companion peer;
		auto const result =
			kova::test::run_program(kova_bench, gpu_args(r.step, peer), std::chrono::seconds{90});
		ASSERT_FALSE(result.timed_out);
		EXPECT_EQ(result.status, 0) << result.out << result.err;
		EXPECT_NE(result.out.find("[main] Completed!"), std::string::npos) << result.out;
		EXPECT_GT(final_value(result.out, "Dequeued jobs:"), 0.0) << result.out;
		if (r.counts_bytes) {
			EXPECT_GT(final_value(result.out, "Ingress rate:"), 0.0) << result.out;
		}
		// Both sides tore down: the companion ended on the benchmark's bye.
		EXPECT_EQ(peer.exit_status(), 0);
	}
}

// The capability listing says the GPU figures come from the emulated GPU's software path.
TEST(gpu_e2e, capability_query_describes_the_emulated_gpu)
{
	struct row {
		const char *name;
		std::vector<std::string> args;
		const char *expected;
		bool lists_libraries;
	};
	for (row const &r :
	     {row{"GPU only", {"--gpu", "65:00.0"}, "GPU 65:00.0: emulated on CPU threads (software path, no GPU present)\n",
		  false},
	      row{"device and GPU", {"--device", "03:00.0", "--gpu", "65:00.0"},
		  "GPU 65:00.0: emulated on CPU threads (software path, no GPU present)\n", true},
	      row{"no GPU there", {"--gpu", "81:00.0"}, "Unable to query GPU, no GPU device found at address 81:00.0.\n",
		  false}}) {
		SCOPED_TRACE(r.name);
		std::vector<std::string> args{"--query", "device-capabilities"};
		args.insert(args.end(), r.args.begin(), r.args.end());
		auto const result = kova::test::run_program(kova_bench, args);
		EXPECT_EQ(result.status, 0) << result.out << result.err;
		EXPECT_NE(result.out.find(r.expected), std::string::npos) << result.out;
		EXPECT_EQ(result.out.find("kova_rdma:\n\tCapable:") != std::string::npos, r.lists_libraries) << result.out;
	}
}

TEST(gpu_e2e, another_gpu_address_is_not_found)
{
	auto const result = kova::test::run_program(
		kova_bench, {"--device", "03:00.0", "--gpu", "81:00.0", "--pipeline-steps", "kova_tessel::nop",
			     "--run-limit-seconds", "1", "--data-provider-job-count", "4", "--companion-connection-string",
			     "proto=tcp,addr=127.0.0.1,port=1,dev=0000:03:00.0,no-launch"});
	EXPECT_EQ(result.status, 1);
	EXPECT_NE((result.out + result.err).find("KOVA_ERROR_NOT_FOUND"), std::string::npos) << result.out << result.err;
}

} // namespace
