// Tests for stats/console_handler: the report layout, golden files of final reports.
#include "stats/console_handler.hpp"

#include "stats/stats_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <sstream>

using namespace std::chrono_literals;
using namespace kova::bench;
using namespace kova::bench::test;
using configuration::benchmark_mode;
using stats::console_handler_configuration;

namespace {

// The settings the benchmark gives its console report.
console_handler_configuration benchmark_settings(benchmark_mode mode, bool cpu_usage = false, bool hit_ratio = false)
{
	console_handler_configuration c;
	c.pipelines = {make_pipeline({"kova_dma", "kova_sha"}), make_pipeline({"kova_compress::deflate"})};
	c.mode = mode;
	c.latency_lower_bound = 10000;
	c.latency_bucket_width = 1000;
	c.per_thread_stats = 3;
	c.aggregate_pipeline_stats = 2;
	c.aggregate_stats = 3;
	c.cpu_usage_stats = cpu_usage ? 2 : 0;
	c.show_pe_hit_ratio = hit_ratio;
	return c;
}

std::string final_report(const console_handler_configuration &c, const permutation_stats &stats)
{
	std::ostringstream out;
	stats::make_console_handler(c, out)->on_permutation_complete(stats);
	return out.str();
}

std::string intermediate_report(const console_handler_configuration &c, const permutation_stats &stats)
{
	std::ostringstream out;
	stats::make_console_handler(c, out)->display_intermediate_stats(stats);
	return out.str();
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

permutation_stats precision_run(std::size_t sample_count)
{
	auto thread = make_thread(0, 2, 0, sample_count, sample_count * 64, 1s);
	auto stats = make_permutation({thread});
	auto &samples = stats.aggregate.step.latency_samples;
	samples.resize(sample_count);
	for (std::size_t i = 0; i != sample_count; ++i)
		samples[i] = 1000 + 7 * i;
	return stats;
}

} // namespace

TEST(console_handler, one_thread_throughput)
{
	auto thread = make_thread(0, 1, 0, 1000, 134217728, 1s);
	thread.step.dequeued_jobs = 998;
	thread.step.egress_bytes = 67108864;
	thread.pe_progress_calls = 3;
	thread.pe_progress_hits = 1;
	auto const text = final_report(benchmark_settings(benchmark_mode::throughput, false, true),
				       make_permutation({thread}, {12.5f}));
	EXPECT_EQ(text, golden("console_one_thread_throughput.txt"));
	EXPECT_FALSE(contains(text, "Worker thread["));
	EXPECT_FALSE(contains(text, "Aggregate pipeline stats"));
}

TEST(console_handler, two_threads_on_one_pipeline)
{
	auto a = make_thread(0, 4, 0, 1000, 134217728, 1s);
	auto b = make_thread(1, 6, 0, 3000, 268435456, 2s);
	auto const text = final_report(benchmark_settings(benchmark_mode::throughput, true),
				       make_permutation({a, b}, {10.0f, 20.5f, 30.25f}));
	EXPECT_EQ(text, golden("console_two_threads_one_pipeline.txt"));
}

TEST(console_handler, two_threads_on_two_pipelines_have_no_pipeline_block)
{
	auto const stats = make_permutation({make_thread(0, 4, 0, 10, 10, 1s), make_thread(1, 5, 1, 20, 20, 1s)});
	auto const text = final_report(benchmark_settings(benchmark_mode::throughput), stats);
	EXPECT_TRUE(contains(text, "Worker thread[0](core: 4) [kova_dma>>kova_sha] stats :\n \tDuration:"));
	EXPECT_TRUE(contains(text, "Worker thread[1](core: 5) [kova_compress::deflate] stats :\n"));
	EXPECT_FALSE(contains(text, "Aggregate pipeline stats"));
	EXPECT_FALSE(contains(text, "Pipeline: "));
}

TEST(console_handler, intermediate_reports_show_threads_and_aggregate_only)
{
	auto const stats = make_permutation({make_thread(0, 4, 0, 10, 10, 1s), make_thread(1, 5, 0, 20, 20, 1s)}, {5.0f});
	auto const c = benchmark_settings(benchmark_mode::throughput, true);
	auto const text = intermediate_report(c, stats);
	EXPECT_TRUE(contains(text, "Worker thread[0]"));
	EXPECT_TRUE(contains(text, "Worker thread[1]"));
	EXPECT_TRUE(contains(text, "Aggregate stats\n"));
	EXPECT_FALSE(contains(text, "Aggregate pipeline stats"));
	EXPECT_FALSE(contains(text, "CPU Usage stats"));

	auto const final_text = final_report(c, stats);
	EXPECT_TRUE(contains(final_text, "Aggregate pipeline stats\nPipeline: [kova_dma>>kova_sha]\n"));
	EXPECT_TRUE(contains(final_text, "CPU Usage stats\n"));

	auto quiet = c;
	quiet.per_thread_stats = quiet.aggregate_pipeline_stats = quiet.aggregate_stats = quiet.cpu_usage_stats = 0;
	EXPECT_EQ(final_report(quiet, stats), "");
}

TEST(console_handler, short_runs_and_empty_ratios)
{
	struct {
		std::chrono::nanoseconds duration;
		bool short_note;
		const char *duration_line;
	} const cases[] = {
		{9999ns, true, "\tDuration:      9 micro seconds\n"},
		{10000ns, false, "\tDuration:      10 micro seconds\n"},
		{0ns, true, "\tDuration:      0 micro seconds\n"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.duration.count());
		auto const text = final_report(benchmark_settings(benchmark_mode::throughput, false, true),
					       make_permutation({make_thread(0, 1, 0, 5, 5, c.duration)}));
		EXPECT_TRUE(contains(text, c.duration_line));
		EXPECT_EQ(contains(text, "\tRate values may be less accurate due to a short run duration\n"), c.short_note);
		EXPECT_TRUE(contains(text, "\tPE hit ratio:  0/0 :   0.00%\n"));
	}
	// A zero duration reports zero rates.
	auto const zero = final_report(benchmark_settings(benchmark_mode::throughput),
				       make_permutation({make_thread(0, 1, 0, 5, 5, 0ns)}));
	EXPECT_TRUE(contains(zero, "\tThroughput:    0 Operations/s\n\tIngress rate:  000.000 Gib/s\n"));
}

TEST(console_handler, bulk_latency_histogram)
{
	auto thread = make_thread(0, 1, 0, 2000, 8192000, 1s);
	uint64_t *const buckets = thread.step.latency_histogram.get() + step_stats::histogram_first_bucket_cell;
	buckets[0] = 3;
	buckets[1] = 20;
	buckets[2] = 50;
	buckets[3] = 100;
	buckets[4] = 95;
	buckets[5] = 74;
	buckets[6] = 75;
	buckets[50] = 45;
	buckets[100] = 9;
	buckets[101] = 1;
	auto const text = final_report(benchmark_settings(benchmark_mode::bulk_latency), make_permutation({thread}));
	EXPECT_EQ(text, golden("console_bulk_latency.txt"));
}

TEST(console_handler, histogram_of_small_counts_is_all_full)
{
	auto thread = make_thread(0, 1, 0, 9, 9, 1s);
	thread.step.latency_histogram[step_stats::histogram_first_bucket_cell + 7] = 9;
	auto const text = final_report(benchmark_settings(benchmark_mode::bulk_latency), make_permutation({thread}));
	std::string const full_row = std::string(102, ':') + "\n";
	std::string rows;
	for (int r = 0; r != 10; ++r)
		rows += full_row;
	EXPECT_TRUE(contains(text, "Latency report:\n" + rows + std::string(102, '-') + "\n[<10000ns]: 0\n"));
	EXPECT_TRUE(contains(text, "[10000ns -> 10999ns]: 0\n"));
	EXPECT_TRUE(contains(text, "[15000ns -> 15999ns]: 0\n[16000ns -> 16999ns]: 9\n[17000ns -> 17999ns]: 0\n"));
	EXPECT_TRUE(contains(text, "[109000ns -> 109999ns]: 0\n[>110000ns]: 0\n"));
}

TEST(console_handler, precision_latency_reports)
{
	for (std::size_t const n : {9u, 10u, 100u, 1000u}) {
		SCOPED_TRACE(n);
		auto const text =
			final_report(benchmark_settings(benchmark_mode::precision_latency), precision_run(n));
		EXPECT_EQ(text, golden("console_precision_" + std::to_string(n) + ".txt"));
	}
}

TEST(console_handler, intermediate_precision_report_reads_samples_in_order_of_size)
{
	auto const c = benchmark_settings(benchmark_mode::precision_latency);
	auto const sorted = precision_run(100);
	auto shuffled = sorted;
	auto &samples = shuffled.aggregate.step.latency_samples;
	std::reverse(samples.begin(), samples.end());
	std::rotate(samples.begin(), samples.begin() + 37, samples.end());
	auto const before = samples;
	auto const text = intermediate_report(c, shuffled);
	EXPECT_EQ(text, intermediate_report(c, sorted));
	EXPECT_TRUE(contains(text, "\tmin:           1000 ns\n")) << "the report has its latency block";
	EXPECT_EQ(shuffled.aggregate.step.latency_samples, before) << "the run's samples are left as they were";
}

TEST(console_handler, cpu_usage_statistics)
{
	auto const c = benchmark_settings(benchmark_mode::throughput, true);
	auto const one_thread = make_thread(0, 1, 0, 1, 1, 1s);
	EXPECT_TRUE(contains(final_report(c, make_permutation({one_thread})),
			     "CPU Usage stats\nRun not long enough to calculate statistics\n"));

	std::vector<float> usage(10);
	std::iota(usage.begin(), usage.end(), 1.0f);
	usage[9] = 12.125f;
	EXPECT_TRUE(contains(final_report(c, make_permutation({one_thread}, usage)),
			     "CPU Usage stats\n"
			     "\tmin:           1%\n"
			     "\tmax:           12.125%\n"
			     "\tmedian:        6%\n"
			     "\tmean:          5.7125%\n"
			     "\t90th %ile:     12.125%\n"
			     "\t95th %ile:     12.125%\n"
			     "\t99th %ile:     12.125%\n"
			     "\t99.9th %ile:   12.125%\n"
			     "\t99.99th %ile:  12.125%\n"));
}
