// Unit tests for src/benchmark*.cpp: the benchmark object driven as the entry point drives it, over
// the stand-in DMA library.
#include "benchmark.hpp"
#include "config/cli_args.hpp"
#include "data_provider/random_data_provider.hpp"
#include "kova_exception.hpp"
#include "support/kova_throws.hpp"
#include "utility/cpu_stats_provider.hpp"

#include <kova/error.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kova::bench::test {
namespace {

// A random data provider factory that remembers what it was asked for.
struct recording_factory {
	std::vector<std::string> names;
	std::vector<data_provider::attributes> requests;

	benchmark::data_provider_factory make()
	{
		return [this](const std::string &name, const data_provider::attributes &attributes) {
			names.push_back(name);
			requests.push_back(attributes);
			return std::make_unique<random_data_provider>(attributes, 3);
		};
	}
};

configuration_collection dma_configuration(std::vector<std::string> extra)
{
	std::vector<std::string> args{"--device",         "03:00.0", "--pipeline-steps", "kova_dma",
				      "--core-list",      "0",       "--uniform-job-size", "1024",
				      "--data-provider-job-count", "8", "--rt-stats-interval", "100000"};
	args.insert(args.end(), extra.begin(), extra.end());
	return configuration_from(args);
}

// Polls as the entry point does, for at most 30 seconds.
void run_to_completion(benchmark &bench)
{
	auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{30};
	while (!bench.progress()) {
		ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "benchmark did not complete";
		std::this_thread::sleep_for(std::chrono::milliseconds{10});
	}
}

std::size_t count(const std::string &text, const std::string &what)
{
	std::size_t n = 0;
	for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
		++n;
	return n;
}

// A usage source for core 0: busy until the benchmark announces its clean-up on standard output
// (which the test captures to a file), idle from then on, as the workers' cores are.
class busy_until_cleanup : public utility::cpu_stats_provider {
public:
	explicit busy_until_cleanup(std::atomic<uint32_t> &queries) : m_queries{queries} {}

	const std::vector<float> &query_cpu_usage() override
	{
		std::fflush(stdout);
		std::ifstream out{"/proc/self/fd/1"};
		std::string const text{std::istreambuf_iterator<char>{out}, std::istreambuf_iterator<char>{}};
		m_usage.assign(1, text.find("Cleanup...") == std::string::npos ? 100.0f : 0.0f);
		++m_queries;
		return m_usage;
	}

private:
	std::atomic<uint32_t> &m_queries;
	std::vector<float> m_usage;
};

class benchmark_test : public ::testing::Test {
protected:
	benchmark_test() { kova_test_reset(); }
	~benchmark_test() override { kova_test_reset(); }
};

TEST_F(benchmark_test, construction_refuses_what_cannot_run)
{
	recording_factory factory;
	EXPECT_KOVA_THROW(benchmark const bench(dma_configuration({}), factory.make()), KOVA_ERROR_INVALID_VALUE,
			  "Invalid configuration");
	EXPECT_KOVA_THROW(benchmark const bench(dma_configuration({"--run-limit-jobs", "10"}), nullptr),
			  KOVA_ERROR_INVALID_VALUE, "Data provider factory must be provided");
}

TEST_F(benchmark_test, every_permutation_makes_its_own_data_provider)
{
	recording_factory factory;
	::testing::internal::CaptureStdout();
	{
		benchmark bench{dma_configuration({"--run-limit-jobs", "100", "--sweep", "data-provider-job-count,4,6,+2"}),
				factory.make()};
		bench.start();
		run_to_completion(bench);
		bench.stop();
	}
	std::string const out = ::testing::internal::GetCapturedStdout();
	ASSERT_EQ(factory.requests.size(), 2u);
	EXPECT_EQ(factory.names[0], "random-data");
	EXPECT_EQ(factory.requests[0].job_count, 4u);
	EXPECT_EQ(factory.requests[1].job_count, 6u);
	EXPECT_EQ(factory.requests[1].uniform_job_size, 1024u);
	EXPECT_TRUE(factory.requests[1].continue_stream);
	EXPECT_EQ(count(out, "Cleanup permutation 1 of 2...\n"), 1u);
	EXPECT_EQ(count(out, "Cleanup permutation 2 of 2...\n"), 1u);
	// One final report per permutation, the second from stop() and not again from the destructor.
	EXPECT_EQ(count(out, "Aggregate stats\n") - count(out, "Aggregate pipeline stats\n"), 2u) << out;
}

TEST_F(benchmark_test, intermediate_reports_come_while_the_threads_run)
{
	recording_factory factory;
	auto config = dma_configuration({"--run-limit-seconds", "1"});
	config.fixed.rt_stats_interval = 100;
	// Two threads on two cores, read while they count.
	config.fixed.core_set.cores = {0, 1};
	config.permutations.at(0).core_count = 2;
	::testing::internal::CaptureStdout();
	{
		benchmark bench{config, factory.make()};
		bench.start();
		run_to_completion(bench);
	}
	std::string const out = ::testing::internal::GetCapturedStdout();
	auto const executing = out.find("Executing...\n");
	auto const cleanup = out.find("Cleanup...\n");
	ASSERT_NE(cleanup, std::string::npos) << out;
	EXPECT_GE(count(out.substr(executing, cleanup - executing), "Aggregate stats\n"), 2u) << out;
}

TEST_F(benchmark_test, precision_latency_asks_for_one_job)
{
	recording_factory factory;
	::testing::internal::CaptureStdout();
	{
		benchmark bench{dma_configuration({"--mode", "precision-latency", "--run-limit-jobs", "50"}), factory.make()};
		bench.start();
		run_to_completion(bench);
	}
	std::string const out = ::testing::internal::GetCapturedStdout();
	ASSERT_EQ(factory.requests.size(), 1u);
	EXPECT_EQ(factory.requests[0].job_count, 1u);
	EXPECT_NE(out.find("\tmedian:"), std::string::npos) << out;
}

TEST_F(benchmark_test, a_second_start_fails_and_fails_the_running_permutation)
{
	recording_factory factory;
	::testing::internal::CaptureStdout();
	{
		benchmark bench{dma_configuration({"--run-limit-jobs", "1000"}), factory.make()};
		bench.start();
		EXPECT_KOVA_THROW(bench.start(), KOVA_ERROR_BAD_STATE, "Cannot start an already running instance");
		EXPECT_KOVA_THROW(run_to_completion(bench), KOVA_ERROR_UNKNOWN,
				  "Benchmark failed critically, see logs for more info");
	}
	std::string const out = ::testing::internal::GetCapturedStdout();
	EXPECT_EQ(out.find("Aggregate stats"), std::string::npos) << out;
	EXPECT_EQ(out.find("Failed to stop benchmark"), std::string::npos) << out;
}

TEST_F(benchmark_test, a_failed_start_reports_nothing_and_destroys_quietly)
{
	struct start_case {
		const char *name;
		const char *device;
		const char *core_list;
		const char *message;
	};
	std::vector<start_case> const cases{
		{"unknown device", "07:00.0", "0", "No suitable device found matching address: 07:00.0"},
		{"core that cannot be pinned after one thread started", "03:00.0", "0,4095", nullptr},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		auto const config = configuration_from({"--pipeline-steps", "kova_dma", "--uniform-job-size", "1024",
							"--data-provider-job-count", "8", "--run-limit-jobs", "10",
							"--rt-stats-interval", "100000",
							"--device", c.device, "--core-list", c.core_list});
		recording_factory factory;
		::testing::internal::CaptureStdout();
		bool failed = false;
		try {
			benchmark bench{config, factory.make()};
			bench.start();
		} catch (const kova::exception &error) {
			failed = true;
			if (c.message != nullptr) {
				EXPECT_STREQ(error.what(), c.message);
			}
		}
		std::string const out = ::testing::internal::GetCapturedStdout();
		EXPECT_TRUE(failed);
		EXPECT_EQ(out.find("Aggregate stats"), std::string::npos) << out;
		EXPECT_EQ(out.find("Failed to stop benchmark"), std::string::npos) << out;
	}
}

TEST_F(benchmark_test, a_failed_task_fails_the_run_without_final_statistics)
{
	recording_factory factory;
	::testing::internal::CaptureStdout();
	::testing::internal::CaptureStderr();
	bool failed = false;
	{
		benchmark bench{dma_configuration({"--run-limit-jobs", "1000"}), factory.make()};
		kova_test_inject_completion_status(nullptr, KOVA_ERROR_DRIVER, 1);
		bench.start();
		try {
			run_to_completion(bench);
		} catch (const kova::exception &error) {
			failed = error.code() == KOVA_ERROR_UNKNOWN;
		}
	}
	std::string const err = ::testing::internal::GetCapturedStderr();
	std::string const out = ::testing::internal::GetCapturedStdout();
	EXPECT_TRUE(failed);
	EXPECT_EQ(count(err, "Unrecoverable error(KOVA_ERROR_DRIVER) when retrieving kova_task result\n"), 1u) << err;
	EXPECT_EQ(out.find("Aggregate stats"), std::string::npos) << out;
}

// The last CPU usage sample ends when the workers stop: a clean-up that follows them does not
// count as the run's idle time.
TEST_F(benchmark_test, the_last_cpu_usage_sample_is_taken_before_the_cleanup)
{
	recording_factory factory;
	std::atomic<uint32_t> queries{0};
	::testing::internal::CaptureStdout();
	{
		benchmark bench{dma_configuration({"--run-limit-jobs", "1000", "--record-cpu-usage"}), factory.make()};
		bench.set_cpu_stats_source([&queries] { return std::make_unique<busy_until_cleanup>(queries); });
		bench.start();
		run_to_completion(bench);
	}
	std::string const out = ::testing::internal::GetCapturedStdout();
	// The source was sampled at the start and at least once more, and the clean-up was announced.
	EXPECT_GE(queries.load(), 2u);
	EXPECT_EQ(count(out, "Cleanup...\n"), 1u) << out;
	EXPECT_NE(out.find("CPU Usage stats\n\tmin:           100%\n\tmax:           100%\n"), std::string::npos)
		<< out;
}

} // namespace
} // namespace kova::bench::test
