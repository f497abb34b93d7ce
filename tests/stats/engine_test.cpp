// Tests for stats/engine: storing, logging and passing on each permutation.
#include "stats/engine.hpp"

#include "config/cli_args.hpp"
#include "kova_exception.hpp"
#include "stats/stats_test_support.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace std::chrono_literals;
using namespace kova::bench;
using namespace kova::bench::test;
using configuration::benchmark_mode;

namespace {

struct calls {
	std::vector<uint64_t> completed; // aggregate job counts, in call order
	std::vector<uint64_t> intermediate;
	int throw_on_completion = -1;
};

class recording_handler : public stats::handler {
public:
	explicit recording_handler(calls &log) : m_log{log} {}

	void on_permutation_complete(const permutation_stats &stats) override
	{
		m_log.completed.push_back(stats.aggregate.step.enqueued_jobs);
		if (static_cast<int>(m_log.completed.size()) == m_log.throw_on_completion)
			throw std::runtime_error{"handler failed"};
	}

	void display_intermediate_stats(const permutation_stats &stats) override
	{
		m_log.intermediate.push_back(stats.aggregate.step.enqueued_jobs);
	}

private:
	calls &m_log;
};

permutation_stats run_of(uint64_t jobs) { return make_permutation({make_thread(0, 1, 0, jobs, jobs * 64, 1s)}); }

std::vector<std::string> provider_ids(const stats::engine &engine)
{
	std::vector<std::string> ids;
	for (auto const &p : engine.get_value_providers())
		ids.push_back(p.id);
	return ids;
}

class csv_file {
public:
	csv_file()
		: m_path{std::filesystem::temp_directory_path() /
			 ("kova_engine_" + std::to_string(::getpid()) + "_" +
			  ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".csv")}
	{
	}
	~csv_file() { std::filesystem::remove(m_path); }

	[[nodiscard]] stats::logger::configuration config(std::vector<std::string> selected,
							  std::vector<std::string> deselected = {}) const
	{
		stats::logger::configuration c;
		c.directory = m_path.parent_path().string();
		c.file_name = m_path.filename().string();
		c.selected_stats = std::move(selected);
		c.deselected_stats = std::move(deselected);
		return c;
	}

	[[nodiscard]] std::string text() const { return read_file(m_path); }
	[[nodiscard]] std::string path() const { return m_path.string(); }

private:
	std::filesystem::path m_path;
};

} // namespace

TEST(stats_engine, stores_logs_and_reports_each_permutation)
{
	calls log;
	csv_file csv;
	stats::engine engine{make_collection(3), {}, {}};
	engine.add_csv_logger(csv.config({"stats.input.*"}, {"stats.input.throughput.rate"}));
	engine.add_handler(std::make_unique<recording_handler>(log));

	for (uint64_t jobs : {10u, 20u, 30u})
		engine.on_permutation_complete(run_of(jobs));

	auto const &store = engine.get_data_store();
	for (uint32_t id = 0; id != 3; ++id)
		EXPECT_EQ(store.get_permutation_stats(id).aggregate.step.enqueued_jobs, 10u * (id + 1));
	EXPECT_THROW((void)store.get_permutation_stats(3), kova::exception);
	EXPECT_EQ(log.completed, (std::vector<uint64_t>{10, 20, 30}));
	EXPECT_EQ(csv.text(), "stats.input.job_count,stats.input.byte_count,stats.input.throughput.bytes\n"
			      "10,640,000.000 Gib/s\n"
			      "20,1280,000.000 Gib/s\n"
			      "30,1920,000.000 Gib/s\n");
}

TEST(stats_engine, intermediate_statistics_reach_the_handlers_only)
{
	calls log;
	csv_file csv;
	stats::engine engine{make_collection(2), {}, {}};
	engine.add_csv_logger(csv.config({"stats.input.job_count"}));
	engine.add_handler(nullptr);
	engine.add_handler(std::make_unique<recording_handler>(log));
	engine.add_handler(nullptr);

	engine.display_intermediate_stats(run_of(5));
	engine.display_intermediate_stats(run_of(6));
	EXPECT_EQ(log.intermediate, (std::vector<uint64_t>{5, 6}));
	EXPECT_THROW((void)engine.get_data_store().get_permutation_stats(0), kova::exception);

	engine.on_permutation_complete(run_of(7));
	EXPECT_EQ(engine.get_data_store().get_permutation_stats(0).aggregate.step.enqueued_jobs, 7u);
	EXPECT_EQ(log.completed, (std::vector<uint64_t>{7}));
	EXPECT_EQ(csv.text(), "stats.input.job_count\n7\n");
}

TEST(stats_engine, a_failing_handler_leaves_ids_and_records_in_step)
{
	calls log;
	log.throw_on_completion = 2;
	csv_file csv;
	stats::engine engine{make_collection(3), {}, {}};
	engine.add_csv_logger(csv.config({"stats.input.job_count"}));
	engine.add_handler(std::make_unique<recording_handler>(log));

	engine.on_permutation_complete(run_of(10));
	EXPECT_THROW(engine.on_permutation_complete(run_of(20)), std::runtime_error);
	engine.on_permutation_complete(run_of(30));
	EXPECT_EQ(csv.text(), "stats.input.job_count\n10\n20\n30\n");
	EXPECT_EQ(engine.get_data_store().get_permutation_stats(2).aggregate.step.enqueued_jobs, 30u);
}

TEST(stats_engine, a_failing_logger_keeps_the_record)
{
	calls log;
	csv_file csv;
	stats::engine engine{make_collection(1), {}, {}};
	engine.add_csv_logger(csv.config({"cfg.core_count"}));
	engine.add_handler(std::make_unique<recording_handler>(log));

	engine.on_permutation_complete(run_of(10));
	// A second permutation the configuration does not know.
	EXPECT_THROW(engine.on_permutation_complete(run_of(20)), kova::exception);
	EXPECT_EQ(engine.get_data_store().get_permutation_stats(1).aggregate.step.enqueued_jobs, 20u);
	EXPECT_EQ(log.completed, (std::vector<uint64_t>{10}));
	EXPECT_EQ(csv.text(), "cfg.core_count\n1\n");
}

TEST(stats_engine, a_logger_that_fails_is_not_added)
{
	calls log;
	stats::engine engine{make_collection(1), {}, {}};
	csv_file csv;
	EXPECT_THROW(engine.add_csv_logger(csv.config({"stats.nothing"})), kova::exception);
	auto missing = csv.config({"cfg.core_count"});
	missing.directory = "/nonexistent/kova";
	EXPECT_THROW(engine.add_csv_logger(missing), kova::exception);
	engine.add_handler(std::make_unique<recording_handler>(log));
	EXPECT_NO_THROW(engine.on_permutation_complete(run_of(1)));
	EXPECT_EQ(log.completed.size(), 1u);
}

TEST(stats_engine, providers_follow_the_configuration)
{
	stats::environment_map const host{{"host.os", "linux"}};
	stats::environment_map const dpu{{"dpu.os", "bluefin"}, {"host.os", "dpu-side"}};
	struct {
		benchmark_mode mode;
		bool environment;
		std::size_t count;
	} const cases[] = {
		{benchmark_mode::throughput, false, 49},
		{benchmark_mode::max_bandwidth, false, 49},
		{benchmark_mode::precision_latency, false, 58},
		{benchmark_mode::bulk_latency, false, 151},
		{benchmark_mode::throughput, true, 52},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.count);
		auto collection = make_collection();
		collection.fixed.benchmark_mode = c.mode;
		collection.fixed.stats.csv.collect_environment_information = c.environment;
		stats::engine const engine{collection, host, dpu};
		auto const ids = provider_ids(engine);
		ASSERT_EQ(ids.size(), c.count);
		EXPECT_EQ(ids.front(), "cfg.companion.connection_string");
		EXPECT_EQ(ids[27], "cfg.uniform_job_size");
		EXPECT_EQ(ids[40], "stats.input.job_count");
		if (c.mode == benchmark_mode::precision_latency) {
			EXPECT_EQ(ids[49], "stats.latency.min");
		}
		if (c.mode == benchmark_mode::bulk_latency) {
			EXPECT_EQ(ids.back(), "stats.bulk-latency.b[101]");
		}
		if (c.environment) {
			// The DPU's values come first; a key in both maps gives two columns.
			auto const &providers = engine.get_value_providers();
			EXPECT_EQ(providers[49].flags | providers[50].flags, 4u);
			EXPECT_EQ(providers[51].id, "host.os");
			EXPECT_EQ(providers[51].flags, 8u);
			EXPECT_EQ(std::count(ids.begin(), ids.end(), "host.os"), 2);
		}
	}
}

TEST(stats_engine, cpu_usage_recording)
{
	stats::engine idle{make_collection(), {}, {}};
	EXPECT_TRUE(idle.get_cpu_usage().empty());
	EXPECT_NO_THROW(idle.stop_cpu_usage_recording());
	EXPECT_THROW(idle.start_cpu_usage_recording({0}), kova::exception);

	auto collection = make_collection();
	collection.fixed.record_cpu_usage = true;
	stats::engine engine{collection, {}, {}};
	engine.start_cpu_usage_recording({0, 0});
	engine.stop_cpu_usage_recording();
	ASSERT_EQ(engine.get_cpu_usage().size(), 1u);
	EXPECT_GE(engine.get_cpu_usage()[0], 0.0f);
	EXPECT_LE(engine.get_cpu_usage()[0], 100.0f);

	EXPECT_KOVA_THROW(engine.start_cpu_usage_recording({0, 1u << 20}), KOVA_ERROR_INVALID_VALUE,
			  "Invalid core index: 1048576");
	EXPECT_TRUE(engine.get_cpu_usage().empty());
}

TEST(stats_engine, csv_columns_from_the_command_line)
{
	csv_file csv;
	auto const collection = configuration_from({"--pipeline-steps", "kova_dma,kova_sha", "--csv-output-file", csv.path(),
						    "--csv-stats", "stats.input.*,-stats.input.throughput.rate,cfg.pipeline.steps",
						    "--csv-separate-dynamic-values"});
	auto const &settings = collection.fixed.stats.csv;
	stats::logger::configuration config;
	config.directory = collection.fixed.output_cwd;
	config.file_name = settings.file_name;
	config.selected_stats = settings.selected_stats;
	config.deselected_stats = settings.deselected_stats;
	config.separate_fixed_values = config.separate_environment_values = settings.separate_dynamic_values;
	config.open_mode = settings.append ? stats::logger::file_mode::append : stats::logger::file_mode::truncate;

	stats::engine engine{collection, {}, {}};
	engine.add_csv_logger(config);
	engine.on_permutation_complete(run_of(2));
	EXPECT_EQ(csv.text(), "cfg.pipeline.steps\n"
			      "\"[kova_dma,kova_sha]\"\n"
			      "stats.input.job_count,stats.input.byte_count,stats.input.throughput.bytes\n"
			      "2,128,000.000 Gib/s\n");
}
