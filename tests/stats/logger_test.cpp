// Tests for stats/logger: column selection, header and value lines, file modes.
#include "stats/logger.hpp"

#include "kova_exception.hpp"
#include "stats/stats_test_support.hpp"
#include "stats/value_provider_factory.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

using namespace std::chrono_literals;
using namespace kova::bench;
using namespace kova::bench::test;
using stats::data_store;
using stats::logger;
using stats::value_provider;

namespace {

std::vector<value_provider> make_providers(bool with_environment = false, const data_store *store = nullptr)
{
	std::vector<value_provider> providers;
	auto append = [&](std::vector<value_provider> more) {
		providers.insert(providers.end(), more.begin(), more.end());
	};
	append(stats::make_fixed_configuration_value_providers());
	append(stats::make_dynamic_configuration_value_providers());
	append(stats::make_permutation_stats_value_providers());
	if (with_environment) {
		append(stats::make_environment_value_providers(store->get_dpu_env(), true));
		append(stats::make_environment_value_providers(store->get_host_env(), false));
	}
	return providers;
}

std::string header_of_all(const std::vector<value_provider> &providers)
{
	std::string line;
	for (auto const &p : providers)
		line += (line.empty() ? "" : ",") + p.id;
	return line + "\n";
}

class logger_test : public ::testing::Test {
protected:
	logger_test()
		: m_dir{std::filesystem::temp_directory_path() /
			("kova_logger_" + std::to_string(::getpid()) + "_" +
			 ::testing::UnitTest::GetInstance()->current_test_info()->name())}
	{
		std::filesystem::remove_all(m_dir);
		std::filesystem::create_directories(m_dir);
		auto collection = make_collection(2);
		collection.fixed.pipelines = {make_pipeline({"kova_dma", "kova_sha"})};
		collection.fixed.device = "03:00.0";
		m_store = std::make_unique<data_store>(collection, stats::environment_map{{"os", "linux"}},
						       stats::environment_map{{"dpu.model", "x,\"y\""}});
		m_store->add_permutation_stats(make_permutation(
			{make_thread(0, 1, 0, 1000, 134217728, 1s), make_thread(1, 2, 0, 3000, 268435456, 2s)}));
		m_store->add_permutation_stats(make_permutation({make_thread(0, 1, 0, 10, 4096, 2s)}));
	}

	~logger_test() override { std::filesystem::remove_all(m_dir); }

	logger::configuration config(std::vector<std::string> selected = {}, std::vector<std::string> deselected = {})
	{
		logger::configuration c;
		c.directory = m_dir.string();
		c.file_name = "stats.csv";
		c.selected_stats = std::move(selected);
		c.deselected_stats = std::move(deselected);
		return c;
	}

	// Logs both stored permutations and returns the file.
	std::string log(const logger::configuration &c, const std::vector<value_provider> &providers)
	{
		{
			logger csv{stats::make_csv_formatter(), c, *m_store, providers};
			csv.write_row(*m_store, 0);
			csv.write_row(*m_store, 1);
		}
		return read_file(m_dir / "stats.csv");
	}

	std::string header(std::vector<std::string> selected, std::vector<std::string> deselected = {})
	{
		{
			logger const csv{stats::make_csv_formatter(), config(std::move(selected), std::move(deselected)),
					 *m_store, m_providers};
		}
		return read_file(m_dir / "stats.csv");
	}

	std::filesystem::path m_dir;
	std::unique_ptr<data_store> m_store;
	std::vector<value_provider> m_providers = make_providers();
};

kova::exception selection_error(const std::function<void()> &action)
{
	try {
		action();
	} catch (const kova::exception &e) {
		return e;
	}
	return kova::exception{KOVA_SUCCESS, "no error", "", "", 0};
}

} // namespace

TEST_F(logger_test, input_statistics_without_the_rate)
{
	auto const text = log(config({"stats.input.*"}, {"stats.input.throughput.rate"}), m_providers);
	EXPECT_EQ(text, golden("csv_input_stats.csv"));
	EXPECT_EQ(text.substr(0, text.find('\n')),
		  "stats.input.job_count,stats.input.byte_count,stats.input.throughput.bytes");
}

TEST_F(logger_test, no_selection_takes_every_provider_in_order)
{
	EXPECT_EQ(header({}), header_of_all(m_providers));
}

TEST_F(logger_test, selection_cases)
{
	struct {
		std::vector<std::string> selected;
		std::vector<std::string> deselected;
		const char *header;
	} const cases[] = {
		{{"stats.input.job_count", "stats.input.job_count"}, {}, "stats.input.job_count,stats.input.job_count\n"},
		{{"stats.nothing*"}, {}, "\n"},
		{{"cfg.*.1"}, {}, "\n"},
		{{"", "cfg.core_count"}, {""}, "cfg.core_count\n"},
		{{"stats.input.job_count.3", "stats.output.*.0"},
		 {},
		 "stats.input.job_count3,stats.output.job_count0,stats.output.byte_count0,"
		 "stats.output.throughput.bytes0,stats.output.throughput.rate0\n"},
		// Deselection ignores thread indexes.
		{{"stats.input.job_count", "stats.input.job_count.1", "cfg.core_count"},
		 {"stats.input.job_count", "nothing*"},
		 "cfg.core_count\n"},
		{{"stats.*"}, {"stats.output*", "stats.input.throughput*"}, "stats.input.job_count,stats.input.byte_count\n"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.header);
		EXPECT_EQ(header(c.selected, c.deselected), c.header);
	}
}

TEST_F(logger_test, selection_errors)
{
	struct {
		const char *entry;
		const char *message;
	} const cases[] = {
		{"stats.nothing", "Unknown stat id: \"stats.nothing\""},
		{"cfg.core_count.1",
		 "Tried to use stat \"cfg.core_count\" with thread index 1 but the stats does not support per thread values."},
		{"stats.latency.min.x1", "Invalid thread id: \"x1\""},
		{"abc1", "Invalid stat name matcher: \"abc1\""},
		{"stats.input.job_count.1.2", "Cannot nest thread id values: \"stats.input.job_count.1\" within thread id: 2"},
		{"stats.nothing.4", "Unknown stat id: \"stats.nothing\""},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.entry);
		std::filesystem::remove(m_dir / "stats.csv");
		auto const e = selection_error([&] { (void)header({"cfg.core_count", c.entry}); });
		EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_STREQ(e.what(), c.message);
		EXPECT_STREQ(e.function(), "find_matching_value_providers");
		EXPECT_FALSE(std::filesystem::exists(m_dir / "stats.csv"));
	}
}

TEST_F(logger_test, a_bad_selection_leaves_an_existing_file_alone)
{
	std::ofstream{m_dir / "stats.csv"} << "old\n";
	EXPECT_THROW((void)header({"stats.nothing"}), kova::exception);
	EXPECT_EQ(read_file(m_dir / "stats.csv"), "old\n");
}

TEST_F(logger_test, a_missing_thread_gives_an_empty_field)
{
	auto const text = log(config({"stats.input.job_count.1", "stats.input.job_count.7", "cfg.core_count"}), m_providers);
	EXPECT_EQ(text, "stats.input.job_count1,stats.input.job_count7,cfg.core_count\n"
			"3000,,1\n"
			",,2\n");
}

TEST_F(logger_test, separate_segments_without_environment)
{
	auto c = config({"cfg.pipeline.steps", "cfg.device.pci_address", "cfg.core_count", "stats.output.job_count"});
	c.separate_fixed_values = true;
	c.separate_environment_values = true;
	EXPECT_EQ(log(c, m_providers), golden("csv_separate_segments.csv"));
}

TEST_F(logger_test, separate_segments_with_environment)
{
	auto const providers = make_providers(true, m_store.get());
	auto c = config();
	c.separate_fixed_values = true;
	c.separate_environment_values = true;
	auto const text = log(c, providers);
	EXPECT_EQ(text, golden("csv_separate_environment.csv"));
}

TEST_F(logger_test, every_provider_with_quoted_pipeline)
{
	EXPECT_EQ(log(config(), m_providers), golden("csv_all_columns.csv"));
}

TEST_F(logger_test, append_mode)
{
	auto c = config({"stats.input.job_count", "cfg.core_count"});
	c.open_mode = logger::file_mode::append;

	// A missing file and an empty file get the header.
	EXPECT_EQ(log(c, m_providers), "stats.input.job_count,cfg.core_count\n4000,1\n10,2\n");
	std::ofstream{m_dir / "stats.csv", std::ios::trunc}.close();
	EXPECT_EQ(log(c, m_providers), "stats.input.job_count,cfg.core_count\n4000,1\n10,2\n");

	// A file holding data gets value lines only, separate segments included.
	c.separate_fixed_values = true;
	c.selected_stats.push_back("cfg.device.pci_address");
	EXPECT_EQ(log(c, m_providers), "stats.input.job_count,cfg.core_count\n4000,1\n10,2\n"
				       "4000,1\n10,2\n");

	// Truncation starts anew.
	c.open_mode = logger::file_mode::truncate;
	c.separate_fixed_values = false;
	EXPECT_EQ(log(c, m_providers),
		  "stats.input.job_count,cfg.core_count,cfg.device.pci_address\n4000,1,03:00.0\n10,2,03:00.0\n");
}

TEST_F(logger_test, a_file_that_cannot_be_opened_fails_at_creation)
{
	for (auto const &directory : {(m_dir / "missing").string(), std::string{"/proc/kova"}}) {
		SCOPED_TRACE(directory);
		auto c = config({"cfg.core_count"});
		c.directory = directory;
		auto const e = selection_error([&] { logger{stats::make_csv_formatter(), c, *m_store, m_providers}; });
		EXPECT_EQ(e.code(), KOVA_ERROR_NOT_FOUND);
		EXPECT_EQ(std::string{e.what()}, "Unable to open file: \"" + directory + "/stats.csv\"");
	}
}

TEST_F(logger_test, a_header_that_cannot_be_written_fails_at_creation)
{
	for (auto const mode : {logger::file_mode::truncate, logger::file_mode::append}) {
		auto c = config({"cfg.core_count"});
		c.directory = "/dev";
		c.file_name = "full";
		c.open_mode = mode;
		auto const e = selection_error([&] { logger{stats::make_csv_formatter(), c, *m_store, m_providers}; });
		EXPECT_EQ(e.code(), KOVA_ERROR_IO_FAILED);
		EXPECT_EQ(std::string{e.what()}, "Unable to write file: \"/dev/full\"");
	}
}

TEST_F(logger_test, a_line_that_cannot_be_written_fails_naming_the_file)
{
	// A file size limit just above the header makes the value lines fail as a full disk does.
	std::string const header = "stats.input.job_count\n";
	rlimit saved{};
	ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
	auto const old_handler = std::signal(SIGXFSZ, SIG_IGN);
	{
		logger csv{stats::make_csv_formatter(), config({"stats.input.job_count"}), *m_store, m_providers};
		rlimit limited = saved;
		limited.rlim_cur = header.size() + 2;
		ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
		auto const e = selection_error([&] { csv.write_row(*m_store, 0); });
		::setrlimit(RLIMIT_FSIZE, &saved);
		EXPECT_EQ(e.code(), KOVA_ERROR_IO_FAILED);
		EXPECT_EQ(std::string{e.what()}, "Unable to write file: \"" + (m_dir / "stats.csv").string() + "\"");
	}
	std::signal(SIGXFSZ, old_handler);
	EXPECT_EQ(read_file(m_dir / "stats.csv").substr(0, header.size()), header);
}

TEST_F(logger_test, a_failing_getter_writes_nothing_of_its_line)
{
	logger csv{stats::make_csv_formatter(), config({"stats.input.job_count", "cfg.core_count"}), *m_store,
		   m_providers};
	csv.write_row(*m_store, 0);
	// Permutation 2 is neither configured nor stored.
	EXPECT_THROW(csv.write_row(*m_store, 2), kova::exception);
	csv.write_row(*m_store, 1);
	EXPECT_EQ(read_file(m_dir / "stats.csv"), "stats.input.job_count,cfg.core_count\n4000,1\n10,2\n");
}
