// Tests for configuration_printer and utility/value_format.
#include "configuration_printer.hpp"
#include "utility/value_format.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>

using namespace kova::bench;

namespace {

template <typename T>
std::string print(const T &value)
{
	std::ostringstream os;
	os << value;
	return os.str();
}

configuration_collection sample_collection(std::size_t permutations)
{
	configuration_collection c;
	c.fixed.device = "03:00.0";
	c.fixed.companion.device = "03:00.1";
	c.fixed.companion.core_set.cores = {2, 3};
	c.fixed.pipelines.push_back({{{"kova_dma", {}}}, false, false, 10000, 1000});
	c.fixed.data_provider.name = "random-data";
	c.fixed.run_limits.max_execution_time = std::chrono::seconds{3};
	c.fixed.core_set.cores = {0, 1};
	c.fixed.stats.csv.selected_stats = {"stats.input.*"};
	c.fixed.stats.csv.deselected_stats = {"stats.input.throughput.rate"};
	for (std::size_t i = 0; i < permutations; ++i) {
		dynamic_configuration d;
		d.core_count = static_cast<uint32_t>(i + 1);
		d.threads_per_core = 1;
		d.task_pool_size = 1024;
		d.data_provider_job_count = 64;
		c.permutations.push_back(d);
	}
	return c;
}

} // namespace

TEST(configuration_printer, whole_collection)
{
	std::string const expected =
		"KOVA bench configuration\n"
		"Static configuration: [\n"
		"\tAttributes: []\n"
		"\tCompanion configuration: [\n"
		"\t\tDevice: 03:00.1\n"
		"\t\tRemote IP address: -- not configured --\n"
		"\t\tCore set: [2, 3]\n"
		"\t]\n"
		"\tPipelines: [\n"
		"\t\tSteps: [\n"
		"\t\t\tname: \"kova_dma\"\n"
		"\t\t\tattributes: []\n"
		"\t\t]\n"
		"\t\tUse remote input buffers: no\n"
		"\t\tUse remote output buffers: no\n"
		"\t\tLatency bucket_range: 10000ns-110000ns\n"
		"\t]\n"
		"\tRun limits: [\n"
		"\t\tMax execution time: 3 seconds\n"
		"\t\tMax jobs executed: -- not configured --\n"
		"\t\tMax bytes processed: -- not configured --\n"
		"\t]\n"
		"\tData provider: [\n"
		"\t\tName: \"random-data\"\n"
		"\t]\n"
		"\tDevice: \"03:00.0\"\n"
		"\tDevice representor: -- not configured --\n"
		"\tWarm up job count: 0\n"
		"\tInput files dir: -- not configured --\n"
		"\tOutput files dir: -- not configured --\n"
		"\tCore set: [0, 1]\n"
		"\tBenchmark mode: throughput\n"
		"\tBatch mode: none\n"
		"\tBatch size: 0\n"
		"\tWarnings as errors: no\n"
		"\tUsing blocking mode: no\n"
		"\tCSV output: [\n"
		"\t\tFile name: -- not configured --\n"
		"\t\tSelected stats: [stats.input.*]\n"
		"\t\tDeselected stats: [stats.input.throughput.rate]\n"
		"\t\tSeparate dynamic values: no\n"
		"\t\tCollect environment information: no\n"
		"\t\tAppend to stats file: no\n"
		"\t]\n"
		"\tDisplay poll result ratio: no\n"
		"\n"
		"]\n"
		"Test permutations: [\n"
		"\tAttributes: []\n"
		"\tUniform job size: -- not configured --\n"
		"\tJob output buffer size: auto\n"
		"\tCore count: 1\n"
		"\tPer core thread count: 1\n"
		"\tTask pool size: 1024\n"
		"\tData provider job count: 64\n"
		"\tMTU size: -- not configured --\n"
		"\tSQ depth: -- not configured --\n"
		"\tRQ depth: -- not configured --\n"
		"\tInput data file: -- not configured --\n"
		"]\n";
	EXPECT_EQ(print(sample_collection(1)), expected);
}

TEST(configuration_printer, separators_between_blocks_only)
{
	auto count = [](const std::string &text, const std::string &line) {
		std::size_t n = 0;
		for (auto pos = text.find(line); pos != std::string::npos; pos = text.find(line, pos + 1))
			++n;
		return n;
	};
	std::string const permutation_line = "\n\t" + std::string(32, '-') + "\n";
	EXPECT_EQ(count(print(sample_collection(1)), permutation_line), 0u);
	EXPECT_EQ(count(print(sample_collection(3)), permutation_line), 2u);

	auto c = sample_collection(1);
	c.fixed.pipelines.push_back(c.fixed.pipelines[0]);
	c.fixed.pipelines[1].steps.push_back({"kova_sha", {{"kova_sha.algorithm", "sha256"}}});
	auto const text = print(c);
	EXPECT_EQ(count(text, "\n\t\t" + std::string(32, '-') + "\n"), 1u);
	EXPECT_EQ(count(text, "\n\t\t\t" + std::string(11, '-') + "\n"), 1u);
	EXPECT_NE(text.find("\t\t\tattributes: [kova_sha.algorithm:sha256]\n"), std::string::npos);
}

TEST(configuration_printer, optional_and_enum_values)
{
	using kova::operator<<;
	using configuration::operator<<;
	EXPECT_EQ(print(kova::optional<std::string>{}), "-- not configured --");
	EXPECT_EQ(print(kova::optional<std::string>{std::string{"03:00.2"}}), "\"03:00.2\"");
	EXPECT_EQ(print(kova::optional<bool>{true}), "yes");
	EXPECT_EQ(print(kova::optional<std::chrono::seconds>{std::chrono::seconds{5}}), "5 seconds");
	EXPECT_EQ(print(static_cast<configuration::benchmark_mode>(3)), "max-bandwidth");
	EXPECT_EQ(print(static_cast<configuration::benchmark_mode>(9)), "UNDEFINED!");
	EXPECT_EQ(print(static_cast<configuration::batch_mode>(2)), "batch-submit-minimal-reports");
	EXPECT_EQ(print(static_cast<configuration::batch_mode>(3)), "UNDEFINED!");

	dynamic_configuration d;
	d.mtu_size = KOVA_MTU_SIZE_1K_BYTES;
	d.job_output_buffer_size = 16384;
	auto const text = to_string(d);
	EXPECT_NE(text.find("\tMTU size: 1kiB\n"), std::string::npos);
	EXPECT_NE(text.find("\tJob output buffer size: 16384\n"), std::string::npos);
}

TEST(value_format, small_values)
{
	using namespace kova::bench::utility;
	EXPECT_EQ(::to_string(static_cast<kova_mtu_size>(0)), "256B");
	EXPECT_EQ(::to_string(static_cast<kova_mtu_size>(3)), "2kiB");
	EXPECT_EQ(::to_string(static_cast<kova_mtu_size>(5)), "ETH_FRAME");
	EXPECT_EQ(::to_string(static_cast<kova_mtu_size>(7)), "UNDEFINED(7)");
	EXPECT_EQ(auto_or_int(0), "auto");
	EXPECT_EQ(auto_or_int(16384), "16384");
	EXPECT_EQ(to_string(cpu_core_set{}), "[]");
	EXPECT_EQ(to_string(cpu_core_set{{3, 1, 2}}), "[3, 1, 2]");
	EXPECT_EQ(sg_config_info({4096, sg_split_type::bytes_per_fragment}), "One fragment per 4096 bytes");
	EXPECT_EQ(sg_config_info({4, sg_split_type::count}), "4 fragments");
}

TEST(value_format, format_double_cuts_and_pads)
{
	using kova::bench::utility::format_double;
	struct {
		double value;
		uint32_t width;
		uint32_t digits;
		char fill;
		const char *expected;
	} const cases[] = {
		{2.5, 3, 3, ' ', "  2.500"},
		{12345.6789, 3, 3, ' ', "12345.678"},
		{2.96, 1, 1, ' ', "2.9"},
		{2.96, 1, 0, ' ', "2."},
		{-1.5, 4, 2, '0', "00-1.50"},
		{0.1234567, 1, 8, ' ', "0.12345700"}, // "%f" keeps six digits; the rest is padding
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.expected);
		EXPECT_EQ(format_double(c.value, {c.width, c.digits, c.fill}), c.expected);
	}
	EXPECT_EQ(format_double(std::numeric_limits<double>::infinity(), {3, 2, ' '}), "   inf");
}
