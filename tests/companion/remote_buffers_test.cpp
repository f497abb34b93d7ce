// End-to-end runs of kova_bench with DMA steps on remote input and output buffers, against the
// shipped kova_bench_companion (started by the test or over ssh) and against a companion served
// inside this test, whose regions the test reads.
#include "companion/api/tcp_connect.hpp"
#include "companion/api/v1/codecs.hpp"
#include "companion/companion_client.hpp"
#include "companion/runtime_state.hpp"
#include "companion/service_loop.hpp"
#include "companion_api/protocol_test_support.hpp"
#include "launch/ssh_peer.hpp"
#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

namespace api = kova::bench::companion::api;
namespace v1 = kova::bench::companion::api::v1;
using kova::test::companion_process;
using namespace std::chrono_literals;

std::string const kova_bench = std::string{KOVA_BIN_DIR} + "/kova_bench";
std::string const shipped_companion = std::string{KOVA_BIN_DIR} + "/kova_bench_companion";

struct buffer_case {
	const char *name;
	std::vector<std::string> flags;
};

std::vector<buffer_case> const buffer_cases{
	{"remote output", {"--use-remote-output-buffers"}},
	{"remote input", {"--use-remote-input-buffers"}},
	{"remote input and output", {"--use-remote-input-buffers", "--use-remote-output-buffers"}},
};

std::vector<std::string> bench_args(const std::string &connection, const std::vector<std::string> &flags)
{
	std::vector<std::string> args{"--device", "03:00.1", "--pipeline-steps", "kova_dma",
				      "--companion-connection-string", connection, "--companion-core-list", "4,5",
				      "--enable-environment-information", "--run-limit-seconds", "2",
				      "--data-provider-job-count", "16", "--uniform-job-size", "65536"};
	args.insert(args.end(), flags.begin(), flags.end());
	return args;
}

std::string no_launch(uint16_t port)
{
	return "proto=tcp,addr=127.0.0.1,port=" + std::to_string(port) + ",dev=0000:03:00.0,no-launch";
}

// The dequeued jobs of the final report; 0 when there is none.
uint64_t final_dequeued_jobs(const std::string &out)
{
	auto const report = out.rfind("Aggregate stats");
	if (report == std::string::npos)
		return 0;
	auto const line = out.find("\tDequeued jobs: ", report);
	if (line == std::string::npos)
		return 0;
	return std::strtoull(out.c_str() + line + 16, nullptr, 10);
}

void expect_a_good_run(const kova::test::program_result &result)
{
	ASSERT_FALSE(result.timed_out);
	EXPECT_EQ(result.status, 0) << result.out << result.err;
	EXPECT_GT(final_dequeued_jobs(result.out), 0u) << result.out;
	EXPECT_EQ(result.out.find("\tThroughput:    0.000"), std::string::npos) << result.out;
}

// How often a column of the CSV report's first line is named.
int csv_columns_named(const std::filesystem::path &csv, const std::string &name)
{
	std::ifstream in{csv};
	std::string header;
	std::getline(in, header);
	int count = 0;
	std::size_t at = 0;
	while ((at = header.find(name, at)) != std::string::npos) {
		bool const whole = (at == 0 || header[at - 1] == ',') &&
				   (at + name.size() == header.size() || header[at + name.size()] == ',');
		count += whole ? 1 : 0;
		at += name.size();
	}
	return count;
}

TEST(remote_buffers, dma_runs_on_a_companion_started_by_hand)
{
	auto const csv = std::filesystem::temp_directory_path() / ("kova_remote_buffers_" + std::to_string(::getpid()) + ".csv");
	for (auto const &c : buffer_cases) {
		SCOPED_TRACE(c.name);
		uint16_t const port = api::test::unused_port();
		companion_process companion{shipped_companion, kova::test::server_args(port)};
		auto args = bench_args(no_launch(port), c.flags);
		args.insert(args.end(), {"--csv-output-file", csv.string()});
		auto const result = kova::test::run_program(kova_bench, args);
		expect_a_good_run(result);
		// The companion's environment stands beside the host's: the same host, so each key twice.
		EXPECT_EQ(csv_columns_named(csv, "host.cpu.socket_count"), 2);
		std::filesystem::remove(csv);
		EXPECT_EQ(companion.wait_exit(20s), 0) << companion.out() << companion.err();
		std::string const served = companion.out();
		EXPECT_NE(served.find("kova bench disconnected!\n"), std::string::npos) << served;
		EXPECT_NE(served.find("[pool::pool] created with core set: "), std::string::npos) << served;
		EXPECT_NE(served.find(c.flags.size() == 2 || c.flags[0] == "--use-remote-input-buffers" ? "Creating 1 mmaps.\n"
													    : "mmaps of "),
			  std::string::npos)
			<< served;
	}
}

// A companion served by a thread of this test: the regions are read before each destroy request.
class companion_in_process {
public:
	explicit companion_in_process(uint16_t port)
	{
		m_thread = std::thread{[this, port] { serve(port); }};
	}

	~companion_in_process()
	{
		m_stop = true;
		if (m_thread.joinable())
			m_thread.join();
	}

	// Waits until the benchmark said bye or went away.
	void join() { m_thread.join(); }

	// After join: the regions as they were at the last destroy request or bye.
	std::vector<std::vector<char>> regions;
	bool environment_asked = false;
	std::string failure;

private:
	void serve(uint16_t port)
	{
		try {
			kova::bench::companion::runtime_state state;
			state.open_device_and_representor("0000:03:00.0", {});
			auto link = api::connect_via_tcp_as_server(port, api::server_wait{30s, 10s, &m_stop}, 1 << 30);
			if (link == nullptr)
				return;
			api::message_buffer buffer;
			while (!m_stop) {
				if (!link->receive(buffer)) {
					std::this_thread::sleep_for(100us);
					continue;
				}
				uint32_t const type = buffer.get_message_type_id();
				if (type == v1::get_environment_information_request::type_id)
					environment_asked = true;
				if ((type == v1::destroy_remote_mmaps_request::type_id || type == v1::bye_request::type_id) &&
				    state.get_mmap_count() != 0) {
					regions.clear();
					for (std::size_t i = 0; i != state.get_mmap_count(); ++i) {
						auto const &region = state.get_buffer(i);
						auto const *bytes = reinterpret_cast<const char *>(region.data());
						regions.emplace_back(bytes, bytes + region.size());
					}
				}
				kova::bench::companion::handle_v1_request(*link, state, buffer,
									   kova::bench::companion::worker::shipped_worker_types());
				if (type == v1::bye_request::type_id)
					return;
			}
		} catch (const std::exception &e) {
			failure = e.what();
		}
	}

	std::atomic<bool> m_stop{false};
	std::thread m_thread;
};

TEST(remote_buffers, dma_copies_the_jobs_into_and_out_of_the_companions_regions)
{
	auto const dir = std::filesystem::temp_directory_path() / ("kova_remote_buffers_" + std::to_string(::getpid()));
	std::filesystem::create_directories(dir);
	std::string job(65536, '\0');
	for (std::size_t i = 0; i != job.size(); ++i)
		job[i] = static_cast<char>((i * 131 + i / 256) % 253 + 1);
	std::ofstream{dir / "job.bin", std::ios::binary} << job;

	for (auto const &c : buffer_cases) {
		SCOPED_TRACE(c.name);
		uint16_t const port = api::test::unused_port();
		std::vector<std::string> flags = c.flags;
		flags.insert(flags.end(), {"--data-provider", "file", "--data-provider-input-file", (dir / "job.bin").string(),
					   "--core-list", "0"});
		kova::test::program_result result;
		std::vector<std::vector<char>> regions;
		{
			companion_in_process companion{port};
			result = kova::test::run_program(kova_bench, bench_args(no_launch(port), flags));
			companion.join();
			regions = companion.regions;
			EXPECT_TRUE(companion.environment_asked);
			EXPECT_EQ(companion.failure, "");
		}
		expect_a_good_run(result);
		ASSERT_FALSE(regions.empty());
		// Every region holds the job: the input as sent, the output as the DMA wrote it.
		for (auto const &region : regions)
			EXPECT_NE(std::search(region.begin(), region.end(), job.begin(), job.end()), region.end());
	}
	std::filesystem::remove_all(dir);
}

class remote_buffers_over_ssh : public kova::test::ssh_peer_suite {};

TEST_F(remote_buffers_over_ssh, dma_runs_on_a_companion_launched_over_ssh)
{
	for (auto const &c : buffer_cases) {
		SCOPED_TRACE(c.name);
		uint16_t const port = api::test::unused_port();
		std::string const connection = "proto=tcp,user=" + s_peer->destination().substr(0, s_peer->destination().find('@')) +
					       ",addr=127.0.0.1,ssh-port=" + std::to_string(s_peer->port()) +
					       ",port=" + std::to_string(port) + ",dev=0000:03:00.0";
		auto args = bench_args(connection, c.flags);
		args.insert(args.end(), {"-a", "zopt.companion_app.path=" + shipped_companion});
		expect_a_good_run(kova::test::run_program(kova_bench, args));
	}
}

} // namespace
