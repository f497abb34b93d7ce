// Unit tests for the companion side of src/benchmark*.cpp: a scripted companion on loopback records
// what the benchmark asks of it.
#include "benchmark.hpp"
#include "companion/api/tcp_connect.hpp"
#include "companion_api/protocol_test_support.hpp"
#include "config/cli_args.hpp"
#include "data_provider/random_data_provider.hpp"
#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <kova/error.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kova::bench::test {
namespace {

namespace api = companion::api;
namespace v1 = companion::api::v1;

// Serves one benchmark on a loopback port until its bye (or 20 seconds), answering every request
// with success and recording it.
class scripted_companion {
public:
	struct request {
		uint32_t type_id = 0;
		uint32_t count = 0; // regions asked for
		uint32_t size = 0;  // bytes per region
		std::vector<uint16_t> cores;
	};

	scripted_companion() : m_port{api::test::unused_port()}, m_thread{[this] { serve(); }} {}
	~scripted_companion() { finish(); }
	scripted_companion(const scripted_companion &) = delete;
	scripted_companion &operator=(const scripted_companion &) = delete;

	[[nodiscard]] std::string connection_string() const
	{
		return "proto=tcp,port=" + std::to_string(m_port) + ",addr=127.0.0.1,dev=03:00.0,no-launch";
	}

	// Waits for the session to end; the requests in the order received.
	const std::vector<request> &finish()
	{
		if (m_thread.joinable())
			m_thread.join();
		return m_requests;
	}

private:
	template <typename Reply>
	static void answer(api::connection &link, const Reply &reply)
	{
		auto buffer = api::test::encoded(reply);
		while (!link.send(buffer))
			std::this_thread::sleep_for(std::chrono::milliseconds{1});
	}

	// Keeps the link open until the benchmark closes it after reading the bye reply.
	static void linger(api::connection &link)
	{
		auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{2};
		api::message_buffer ignored;
		try {
			while (std::chrono::steady_clock::now() < deadline) {
				static_cast<void>(link.receive(ignored));
				std::this_thread::sleep_for(std::chrono::milliseconds{1});
			}
		} catch (const kova::exception &) {
			// Closed by the benchmark.
		}
	}

	void serve()
	{
		try {
			auto link = api::connect_via_tcp_as_server(m_port, 20, 64 * 1024 * 1024);
			auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{20};
			api::message_buffer message;
			while (std::chrono::steady_clock::now() < deadline) {
				if (!link->receive(message)) {
					std::this_thread::sleep_for(std::chrono::milliseconds{1});
					continue;
				}
				request seen;
				seen.type_id = message.get_message_type_id();
				uint64_t const id = message.get_message_id();
				switch (seen.type_id) {
				case v1::configure_worker_pool_request::type_id: {
					auto const decoded = api::test::decoded<v1::configure_worker_pool_request>(message);
					seen.cores.assign(decoded.cores.begin(), decoded.cores.end());
					std::sort(seen.cores.begin(), seen.cores.end());
					answer(*link, v1::configure_worker_pool_response{id});
					break;
				}
				case v1::create_uninitialized_remote_mmaps_request::type_id: {
					auto const decoded =
						api::test::decoded<v1::create_uninitialized_remote_mmaps_request>(message);
					seen.count = decoded.mmap_count;
					seen.size = decoded.mmap_size;
					answer(*link, v1::create_remote_mmaps_response{
							      id, std::vector<std::vector<char>>(decoded.mmap_count, {1, 2, 3})});
					break;
				}
				case v1::create_remote_mmaps_with_data_request::type_id: {
					auto const decoded = api::test::decoded<v1::create_remote_mmaps_with_data_request>(message);
					seen.count = static_cast<uint32_t>(decoded.buffers.size());
					seen.size = decoded.buffers.empty() ? 0 : static_cast<uint32_t>(decoded.buffers[0].size());
					answer(*link, v1::create_remote_mmaps_response{
							      id, std::vector<std::vector<char>>(seen.count, {4, 5, 6})});
					break;
				}
				case v1::destroy_remote_mmaps_request::type_id:
					answer(*link, v1::destroy_remote_mmaps_response{id});
					break;
				case v1::start_workers_request::type_id:
					answer(*link, v1::start_workers_response{id});
					break;
				case v1::bye_request::type_id:
					m_requests.push_back(seen);
					answer(*link, v1::bye_response{id});
					linger(*link);
					return;
				default:
					answer(*link, v1::error_response{id, KOVA_ERROR_NOT_SUPPORTED, "unexpected request"});
					break;
				}
				m_requests.push_back(seen);
			}
		} catch (const std::exception &error) {
			ADD_FAILURE() << "scripted companion: " << error.what();
		}
	}

	uint16_t m_port;
	std::vector<request> m_requests;
	std::thread m_thread;
};

benchmark::data_provider_factory random_factory()
{
	return [](const std::string &, const data_provider::attributes &attributes) {
		return std::make_unique<random_data_provider>(attributes, 5);
	};
}

std::vector<uint32_t> types_of(const std::vector<scripted_companion::request> &requests)
{
	std::vector<uint32_t> types;
	for (auto const &r : requests)
		types.push_back(r.type_id);
	return types;
}

class benchmark_companion_test : public ::testing::Test {
protected:
	benchmark_companion_test() { kova_test_reset(); }
	~benchmark_companion_test() override { kova_test_reset(); }

	configuration_collection configuration(std::vector<std::string> extra) const
	{
		std::vector<std::string> args{"--device", "03:00.0", "--pipeline-steps", "kova_dma", "--uniform-job-size",
					      "1024", "--data-provider-job-count", "8", "--rt-stats-interval", "100000",
					      "--companion-connection-string", companion.connection_string()};
		args.insert(args.end(), extra.begin(), extra.end());
		return configuration_from(args);
	}

	scripted_companion companion;
};

TEST_F(benchmark_companion_test, a_local_run_configures_the_companion_and_says_bye)
{
	::testing::internal::CaptureStdout();
	{
		benchmark bench{configuration({"--core-list", "0", "--run-limit-jobs", "100", "--companion-core-list", "3,2,3"}),
				random_factory()};
		bench.start();
		auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{20};
		while (!bench.progress() && std::chrono::steady_clock::now() < deadline)
			std::this_thread::sleep_for(std::chrono::milliseconds{10});
		bench.stop();
	}
	std::string const out = ::testing::internal::GetCapturedStdout();
	auto const &requests = companion.finish();
	EXPECT_EQ(types_of(requests),
		  (std::vector<uint32_t>{v1::configure_worker_pool_request::type_id,
					 v1::destroy_remote_mmaps_request::type_id, v1::bye_request::type_id}));
	ASSERT_FALSE(requests.empty());
	EXPECT_EQ(requests[0].cores, (std::vector<uint16_t>{2, 3}));
	EXPECT_NE(out.find("Aggregate stats"), std::string::npos) << out;
}

TEST_F(benchmark_companion_test, each_pipeline_gets_one_output_region_per_thread_that_runs_it)
{
	// Three threads over two pipelines: threads 0 and 2 run pipeline 0, thread 1 pipeline 1.
	::testing::internal::CaptureStdout();
	kova::exception const error = kova::test::thrown_by([&] {
		benchmark bench{configuration({"--pipeline-steps", "kova_dma", "--core-list", "0", "--threads-per-core", "3",
					       "--run-limit-jobs", "100", "--job-output-buffer-size", "4096",
					       "--use-remote-output-buffers", "--use-remote-input-buffers"}),
				random_factory()};
		bench.start();
	});
	// The fake companion answers with descriptors that are no exports.
	EXPECT_EQ(error.code(), KOVA_ERROR_INVALID_VALUE) << error.what();
	::testing::internal::GetCapturedStdout();

	auto const &requests = companion.finish();
	ASSERT_EQ(types_of(requests),
		  (std::vector<uint32_t>{v1::create_uninitialized_remote_mmaps_request::type_id,
					 v1::create_uninitialized_remote_mmaps_request::type_id,
					 v1::create_remote_mmaps_with_data_request::type_id,
					 v1::destroy_remote_mmaps_request::type_id, v1::bye_request::type_id}));
	EXPECT_EQ(requests[0].count, 2u);
	EXPECT_EQ(requests[0].size, 2u * 8 * 4096);
	EXPECT_EQ(requests[1].count, 1u);
	EXPECT_EQ(requests[1].size, 2u * 8 * 4096);
	EXPECT_EQ(requests[2].count, 3u);
	EXPECT_EQ(requests[2].size, 8u * 1024);
}

TEST_F(benchmark_companion_test, a_region_of_4_gib_or_more_is_refused_before_asking)
{
	::testing::internal::CaptureStdout();
	auto const start_with_a_4_gib_region = [this] {
		benchmark bench{configuration({"--core-list", "0", "--run-limit-jobs", "100", "--job-output-buffer-size",
					       "268435456", "--use-remote-output-buffers"}),
				random_factory()};
		bench.start();
	};
	EXPECT_KOVA_THROW(start_with_a_4_gib_region(), KOVA_ERROR_INVALID_VALUE, "Remote memory region size exceeds 4 GiB");
	::testing::internal::GetCapturedStdout();
	EXPECT_EQ(types_of(companion.finish()),
		  (std::vector<uint32_t>{v1::destroy_remote_mmaps_request::type_id, v1::bye_request::type_id}));
}

// Failures of the link to the companion, with short time limits in place of the 300 seconds.
class benchmark_companion_link_test : public ::testing::Test {
protected:
	using clock = std::chrono::steady_clock;

	benchmark_companion_link_test() { kova_test_reset(); }
	~benchmark_companion_link_test() override { kova_test_reset(); }

	static configuration_collection configuration(uint16_t port, std::vector<std::string> extra)
	{
		std::vector<std::string> args{"--device", "03:00.0", "--pipeline-steps", "kova_dma", "--uniform-job-size",
					      "1024", "--data-provider-job-count", "8", "--rt-stats-interval", "100000",
					      "--core-list", "0", "--companion-connection-string",
					      "proto=tcp,port=" + std::to_string(port) + ",addr=127.0.0.1,dev=03:00.0,no-launch"};
		args.insert(args.end(), extra.begin(), extra.end());
		return configuration_from(args);
	}

	static benchmark::companion_time_limits limits(std::chrono::seconds connect, std::chrono::seconds request)
	{
		benchmark::companion_time_limits result;
		result.connect = connect;
		result.request = request;
		return result;
	}
};

TEST_F(benchmark_companion_link_test, a_silent_companion_ends_the_run_within_one_request_time_out)
{
	api::test::silent_companion companion;
	::testing::internal::CaptureStdout();
	auto const start = clock::now();
	{
		benchmark bench{configuration(companion.port(), {"--run-limit-jobs", "100", "--companion-core-list", "2"}),
				random_factory(), limits(std::chrono::seconds{10}, std::chrono::seconds{1})};
		EXPECT_KOVA_THROW(bench.start(), KOVA_ERROR_TIME_OUT,
				  "Failed to configure companion workers pool: \"Shutting down\"");
		// Releasing the regions fails at once on the dead link, and no bye is waited for.
	}
	auto const elapsed = clock::now() - start;
	std::string const out = ::testing::internal::GetCapturedStdout();
	EXPECT_LT(elapsed, std::chrono::seconds{3});
	EXPECT_NE(out.find(std::string{"Failed to destroy remote mmaps: "} + kova_error_get_name(KOVA_ERROR_TIME_OUT) +
			   ": \"Shutting down\"\n"),
		  std::string::npos)
		<< out;
	EXPECT_EQ(companion.finish(), (std::vector<uint32_t>{v1::configure_worker_pool_request::type_id}));
}

TEST_F(benchmark_companion_link_test, the_wait_for_the_companion_names_address_port_and_limit)
{
	uint16_t const port = api::test::unused_port();
	::testing::internal::CaptureStdout();
	benchmark bench{configuration(port, {"--run-limit-jobs", "100"}), random_factory(),
			limits(std::chrono::seconds{1}, std::chrono::seconds{1})};
	kova::exception const error = kova::test::thrown_by([&] { bench.start(); });
	std::string const out = ::testing::internal::GetCapturedStdout();
	EXPECT_EQ(error.code(), KOVA_ERROR_TIME_OUT);
	EXPECT_EQ(std::string{error.what()}.rfind("Failed to connect to: 127.0.0.1:" + std::to_string(port), 0), 0U)
		<< error.what();
	// One line when the wait begins, before the failure.
	EXPECT_NE(out.find("Connecting to the companion at 127.0.0.1:" + std::to_string(port) +
			   ", waiting up to 1 seconds...\n"),
		  std::string::npos)
		<< out;
}

TEST_F(benchmark_companion_link_test, a_failure_of_the_main_thread_stops_the_workers)
{
	// The companion answers the hello, then drops the link while the workers run.
	uint16_t const port = api::test::unused_port();
	std::thread companion{[port] {
		try {
			auto link = api::connect_via_tcp_as_server(port, 20, api::default_max_message_size);
			std::this_thread::sleep_for(std::chrono::milliseconds{300});
			link->disconnect(false);
		} catch (const std::exception &error) {
			ADD_FAILURE() << "companion: " << error.what();
		}
	}};

	::testing::internal::CaptureStdout();
	clock::duration stopping{};
	{
		benchmark bench{configuration(port, {"--run-limit-seconds", "60"}), random_factory(),
				limits(std::chrono::seconds{10}, std::chrono::seconds{10})};
		bench.start();
		auto const deadline = clock::now() + std::chrono::seconds{20};
		kova::exception const error = kova::test::thrown_by([&] {
			while (!bench.progress() && clock::now() < deadline)
				std::this_thread::sleep_for(std::chrono::milliseconds{10});
		});
		EXPECT_EQ(error.code(), KOVA_ERROR_IO_FAILED) << error.what();
		EXPECT_STREQ(error.what(), "Connection closed by peer");
		// The workers end at their next clock check, not at the end of the 60-second run.
		auto const start = clock::now();
		EXPECT_ANY_THROW(bench.stop());
		stopping = clock::now() - start;
	}
	::testing::internal::GetCapturedStdout();
	companion.join();
	EXPECT_LT(stopping, std::chrono::seconds{5});
}

} // namespace
} // namespace kova::bench::test
