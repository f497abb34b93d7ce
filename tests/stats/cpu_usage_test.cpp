// Tests for utility/cpu_stats_provider_posix and stats/cpu_usage_recorder.
#include "stats/cpu_usage_recorder.hpp"
#include "utility/cpu_stats_provider.hpp"
#include "utility/cpu_stats_provider_posix.hpp"

#include "kova_exception.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using kova::bench::stats::cpu_usage_recorder;
using kova::bench::utility::cpu_stats_provider;
using kova::bench::utility::make_cpu_stats_provider;

namespace {

const std::filesystem::path data_dir = std::filesystem::path{KOVA_TEST_SOURCE_DIR} / "stats" / "data";

// A scratch copy of a fixture that a test can replace between readings.
class stat_file {
public:
	stat_file()
		: m_path{std::filesystem::temp_directory_path() /
			 ("kova_stat_" + std::to_string(::getpid()) + "_" + std::to_string(counter++))}
	{
	}
	~stat_file() { std::filesystem::remove(m_path); }

	void load(const std::string &fixture)
	{
		std::ifstream in{data_dir / fixture};
		std::ofstream out{m_path, std::ios::trunc};
		out << in.rdbuf();
	}

	void write(const std::string &text) { std::ofstream{m_path, std::ios::trunc} << text; }

	[[nodiscard]] std::string path() const { return m_path.string(); }

private:
	static inline int counter = 0;
	std::filesystem::path m_path;
};

void expect_kova_error(const std::function<void()> &action, kova_error code, const std::string &message,
		       const std::string &function = {})
{
	try {
		action();
		ADD_FAILURE() << "no exception, expected: " << message;
	} catch (const kova::exception &e) {
		EXPECT_EQ(e.code(), code);
		EXPECT_EQ(std::string{e.what()}, message);
		if (!function.empty()) {
			EXPECT_EQ(e.function(), function);
		}
	}
}

void expect_floats(const std::vector<float> &actual, const std::vector<float> &expected)
{
	ASSERT_EQ(actual.size(), expected.size());
	for (std::size_t i = 0; i != expected.size(); ++i)
		EXPECT_FLOAT_EQ(actual[i], expected[i]) << "entry " << i;
}

// Usage figures set by the test; counts its queries and can fail one of them.
class fake_provider : public cpu_stats_provider {
public:
	fake_provider(std::vector<float> usage, std::atomic<int> &queries) : m_usage{std::move(usage)}, m_queries{queries}
	{
	}

	const std::vector<float> &query_cpu_usage() override
	{
		int const n = ++m_queries;
		if (n == fail_on_query)
			throw std::runtime_error{"query failed"};
		return m_usage;
	}

	int fail_on_query = -1;

private:
	std::vector<float> m_usage;
	std::atomic<int> &m_queries;
};

} // namespace

TEST(cpu_stats_provider_posix, per_cpu_usage_between_two_readings)
{
	stat_file file;
	file.load("proc_stat_start.txt");
	auto provider = make_cpu_stats_provider(file.path());
	file.load("proc_stat_end.txt");
	auto const usage = provider->query_cpu_usage();
	expect_floats(usage, {10.0f, 20.0f, 30.0f});

	auto const selected = kova::bench::utility::filter_cpu_usage_stats_by_core_id_list(usage, {0, 2});
	expect_floats(selected, {10.0f, 30.0f});

	// Unchanged ticks read as 0, not as a division by zero.
	EXPECT_EQ(provider->query_cpu_usage(), (std::vector<float>{0.0f, 0.0f, 0.0f}));
}

TEST(cpu_stats_provider_posix, reading_ends_at_a_line_of_another_letter)
{
	stat_file file;
	file.load("proc_stat_other_letter.txt");
	auto provider = make_cpu_stats_provider(file.path());
	file.write("cpu  1 1 1 1\ncpu0 2 2 3 4\ncpu1 6 6 7 9\nbtime 1 2\ncpu2 9 9 9 9\n");
	EXPECT_EQ(provider->query_cpu_usage(), (std::vector<float>{100.0f, 50.0f}));
}

TEST(cpu_stats_provider_posix, a_cpu_gone_offline_is_compared_over_the_common_cpus)
{
	stat_file file;
	file.load("proc_stat_start.txt");
	auto provider = make_cpu_stats_provider(file.path());
	file.write("cpu  9 9 9 9\ncpu0 50 0 0 50\n");
	EXPECT_EQ(provider->query_cpu_usage(), (std::vector<float>{50.0f}));
	file.load("proc_stat_end.txt");
	auto const usage = provider->query_cpu_usage();
	ASSERT_EQ(usage.size(), 1u);
}

TEST(cpu_stats_provider_posix, failures)
{
	expect_kova_error([] { (void)make_cpu_stats_provider((data_dir / "no_such_file").string()); },
			  KOVA_ERROR_INVALID_VALUE, "Unable to get CPU usage statistics.", "cpu_stats_provider_posix");
	expect_kova_error([] { (void)make_cpu_stats_provider((data_dir / "proc_stat_bad_field.txt").string()); },
			  KOVA_ERROR_INVALID_VALUE, "Unable to parse CPU usage statistics file.", "parse_cpu_usage_line");

	// A failed reading leaves the provider usable from the file's start.
	stat_file file;
	file.load("proc_stat_start.txt");
	auto provider = make_cpu_stats_provider(file.path());
	file.write("cpu  1\ncpu0 1 2 99999999999999999999999\n");
	expect_kova_error([&] { (void)provider->query_cpu_usage(); }, KOVA_ERROR_INVALID_VALUE,
			  "Unable to parse CPU usage statistics file.");
	file.load("proc_stat_end.txt");
	expect_floats(provider->query_cpu_usage(), {10.0f, 20.0f, 30.0f});
}

TEST(cpu_stats_provider_posix, reads_the_system_statistics)
{
	auto provider = make_cpu_stats_provider();
	auto const &usage = provider->query_cpu_usage();
	EXPECT_GE(usage.size(), 1u);
	for (float const value : usage) {
		EXPECT_GE(value, 0.0f);
		EXPECT_LE(value, 100.0f);
	}
}

TEST(cpu_usage_recorder, records_the_mean_of_the_selected_cores)
{
	stat_file file;
	file.load("proc_stat_start.txt");
	cpu_usage_recorder recorder{make_cpu_stats_provider(file.path())};
	// The start's baseline query sees the same reading again.
	recorder.start_cpu_usage_recording({0, 2});
	file.load("proc_stat_end.txt");
	recorder.stop_cpu_usage_recording();
	expect_floats(recorder.get_cpu_usage_stats(), {20.0f});
}

TEST(cpu_usage_recorder, start_then_stop_records_one_sample)
{
	std::atomic<int> queries{0};
	cpu_usage_recorder recorder{std::make_unique<fake_provider>(std::vector<float>{10.0f, 20.0f, 30.0f}, queries)};
	recorder.start_cpu_usage_recording({1, 1, 2});
	recorder.stop_cpu_usage_recording();
	EXPECT_EQ(queries.load(), 2);
	ASSERT_EQ(recorder.get_cpu_usage_stats().size(), 1u);
	EXPECT_FLOAT_EQ(recorder.get_cpu_usage_stats()[0], 70.0f / 3.0f);

	// A second recording starts from empty samples; stopping twice is harmless.
	recorder.stop_cpu_usage_recording();
	recorder.start_cpu_usage_recording({});
	recorder.stop_cpu_usage_recording();
	EXPECT_EQ(recorder.get_cpu_usage_stats(), (std::vector<float>{0.0f}));
}

TEST(cpu_usage_recorder, samples_about_once_a_second)
{
	std::atomic<int> queries{0};
	cpu_usage_recorder recorder{std::make_unique<fake_provider>(std::vector<float>{50.0f}, queries)};
	recorder.start_cpu_usage_recording({0});
	// Samples are hidden while the thread appends to them.
	EXPECT_TRUE(recorder.get_cpu_usage_stats().empty());
	std::this_thread::sleep_for(1500ms);
	recorder.stop_cpu_usage_recording();
	EXPECT_EQ(recorder.get_cpu_usage_stats(), (std::vector<float>{50.0f, 50.0f}));
}

TEST(cpu_usage_recorder, invalid_core_fails_on_the_callers_thread)
{
	std::atomic<int> queries{0};
	cpu_usage_recorder recorder{std::make_unique<fake_provider>(std::vector<float>{1.0f, 2.0f, 3.0f}, queries)};
	expect_kova_error([&] { recorder.start_cpu_usage_recording({0, 3}); }, KOVA_ERROR_INVALID_VALUE,
			  "Invalid core index: 3", "filter_cpu_usage_stats_by_core_id_list");
	// Nothing runs after the failure; a good start works.
	recorder.stop_cpu_usage_recording();
	recorder.start_cpu_usage_recording({2});
	expect_kova_error([&] { recorder.start_cpu_usage_recording({2}); }, KOVA_ERROR_BAD_STATE,
			  "CPU usage recording is already running");
	recorder.stop_cpu_usage_recording();
	EXPECT_EQ(recorder.get_cpu_usage_stats(), (std::vector<float>{3.0f}));
}

TEST(cpu_usage_recorder, error_on_the_thread_is_rethrown_by_stop)
{
	std::atomic<int> queries{0};
	auto provider = std::make_unique<fake_provider>(std::vector<float>{1.0f}, queries);
	provider->fail_on_query = 2;
	cpu_usage_recorder recorder{std::move(provider)};
	recorder.start_cpu_usage_recording({0});
	EXPECT_THROW(
		{
			try {
				recorder.stop_cpu_usage_recording();
			} catch (const std::runtime_error &e) {
				EXPECT_STREQ(e.what(), "query failed");
				throw;
			}
		},
		std::runtime_error);
	EXPECT_TRUE(recorder.get_cpu_usage_stats().empty());
	// The error is reported once; the recorder can run again.
	recorder.stop_cpu_usage_recording();
	recorder.start_cpu_usage_recording({0});
	recorder.stop_cpu_usage_recording();
	EXPECT_EQ(recorder.get_cpu_usage_stats().size(), 1u);
}

TEST(cpu_usage_recorder, destruction_stops_a_running_recording)
{
	std::atomic<int> queries{0};
	{
		cpu_usage_recorder recorder{std::make_unique<fake_provider>(std::vector<float>{1.0f}, queries)};
		recorder.start_cpu_usage_recording({0});
	}
	// The baseline query and the thread's last sample: the thread ran to its end.
	EXPECT_EQ(queries.load(), 2);
}
