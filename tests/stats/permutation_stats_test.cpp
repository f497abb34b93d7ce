// Tests for stats/permutation_stats: buckets, rates and the sums of counters.
#include "stats/permutation_stats.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace std::chrono_literals;
using kova::bench::calc_throughput_rate;
using kova::bench::calculate_bucket_idx;
using kova::bench::permutation_stats;
using kova::bench::step_stats;
using kova::bench::thread_stats;
using kova::bench::utility::byte_unit;

namespace {

constexpr std::size_t first_bucket = step_stats::histogram_first_bucket_cell;

step_stats make_step(uint64_t base, uint64_t lower, uint64_t width)
{
	step_stats s;
	s.enqueued_jobs = base + 1;
	s.dequeued_jobs = base + 2;
	s.ingress_bytes = base + 3;
	s.egress_bytes = base + 4;
	s.latency_samples = {base + 5, base + 6};
	s.latency_histogram[0] = lower;
	s.latency_histogram[1] = width;
	for (std::size_t b = 0; b != step_stats::latency_bucket_count; ++b)
		s.latency_histogram[first_bucket + b] = base * 1000 + b;
	return s;
}

} // namespace

TEST(calculate_bucket_idx, maps_values_to_the_102_buckets)
{
	constexpr uint64_t L = 10000;
	constexpr uint64_t w = 1000;
	struct {
		uint64_t value;
		uint64_t lower;
		uint64_t bucket;
	} const cases[] = {
		{L - 1, L, 0},
		{0, L, 0},
		{L, L, 1},
		{L + w - 1, L, 1},
		{L + w, L, 2},
		{L + 100 * w - 1, L, 100},
		{L + 100 * w, L, 101},
		{std::numeric_limits<uint64_t>::max(), L, 101},
		{0, 0, 1},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.value);
		EXPECT_EQ(calculate_bucket_idx(c.value, c.lower, w), c.bucket);
	}
}

TEST(calc_throughput_rate, converts_bytes_over_time_to_units_per_second)
{
	EXPECT_DOUBLE_EQ(calc_throughput_rate(134217728, 1000000000ns, byte_unit::Gib), 1.0);
	EXPECT_DOUBLE_EQ(calc_throughput_rate(1000, 1s, byte_unit::Kb), 8.0);
	EXPECT_DOUBLE_EQ(calc_throughput_rate(1000, 500ms, byte_unit::B), 2000.0);

	// Counts above 2^63 stay unsigned.
	uint64_t const huge = (uint64_t{1} << 63) + (uint64_t{1} << 62);
	double const rate = calc_throughput_rate(huge, 1s, byte_unit::B);
	EXPECT_GT(rate, 0.0);
	EXPECT_DOUBLE_EQ(rate, static_cast<double>(huge));
}

TEST(calc_throughput_rate, is_zero_for_a_duration_that_is_not_positive)
{
	for (std::chrono::nanoseconds const duration : {0ns, -1ns, std::chrono::nanoseconds{-1s}}) {
		SCOPED_TRACE(duration.count());
		double const rate = calc_throughput_rate(4096, duration, byte_unit::Gib);
		EXPECT_EQ(rate, 0.0);
		EXPECT_FALSE(std::isnan(rate));
	}
}

TEST(step_stats, default_has_zeroed_histogram)
{
	step_stats const s;
	ASSERT_NE(s.latency_histogram, nullptr);
	for (std::size_t c = 0; c != step_stats::histogram_cell_count; ++c)
		EXPECT_EQ(s.latency_histogram[c], 0u) << c;
	EXPECT_EQ(s.enqueued_jobs + s.dequeued_jobs + s.ingress_bytes + s.egress_bytes, 0u);
	EXPECT_TRUE(s.latency_samples.empty());
}

TEST(step_stats, copies_deeply_and_moves_out)
{
	step_stats original = make_step(1, 7, 3);
	step_stats copy{original};
	ASSERT_NE(copy.latency_histogram.get(), original.latency_histogram.get());
	copy.latency_histogram[first_bucket] = 999;
	copy.latency_samples.push_back(1);
	EXPECT_EQ(original.latency_histogram[first_bucket], 1000u);
	EXPECT_EQ(original.latency_samples.size(), 2u);

	step_stats assigned;
	assigned = original;
	EXPECT_EQ(assigned.latency_histogram[0], 7u);
	EXPECT_EQ(assigned.latency_samples, original.latency_samples);

	step_stats moved{std::move(original)};
	EXPECT_EQ(original.latency_histogram, nullptr); // NOLINT: checking the moved-from state
	EXPECT_TRUE(original.latency_samples.empty());
	EXPECT_EQ(moved.latency_histogram[1], 3u);

	step_stats target = make_step(5, 0, 1);
	target = std::move(moved);
	EXPECT_EQ(target.enqueued_jobs, 2u);
	EXPECT_EQ(target.latency_histogram[0], 7u);
	EXPECT_EQ(moved.latency_histogram, nullptr); // NOLINT

	auto &self = target;
	target = std::move(self);
	EXPECT_EQ(target.enqueued_jobs, 2u);
	ASSERT_NE(target.latency_histogram, nullptr);

	// A copy of a moved-from object is a whole object again.
	step_stats const revived{moved};
	ASSERT_NE(revived.latency_histogram, nullptr);
	EXPECT_EQ(revived.latency_histogram[first_bucket], 0u);
}

TEST(step_stats, sum_keeps_left_range_and_adds_cells_and_samples)
{
	step_stats left = make_step(1, 100, 10);
	step_stats const right = make_step(2, 500, 50);
	left += right;
	EXPECT_EQ(left.enqueued_jobs, 2u + 3u);
	EXPECT_EQ(left.dequeued_jobs, 3u + 4u);
	EXPECT_EQ(left.ingress_bytes, 4u + 5u);
	EXPECT_EQ(left.egress_bytes, 5u + 6u);
	EXPECT_EQ(left.latency_histogram[0], 100u);
	EXPECT_EQ(left.latency_histogram[1], 10u);
	for (std::size_t b = 0; b != step_stats::latency_bucket_count; ++b)
		EXPECT_EQ(left.latency_histogram[first_bucket + b], 3000u + 2 * b) << b;
	EXPECT_EQ(left.latency_samples, (std::vector<uint64_t>{6, 7, 7, 8}));

	step_stats wrap;
	wrap.enqueued_jobs = std::numeric_limits<uint64_t>::max();
	step_stats one;
	one.enqueued_jobs = 2;
	wrap += one;
	EXPECT_EQ(wrap.enqueued_jobs, 1u);

	step_stats self = make_step(1, 0, 1);
	self += self;
	EXPECT_EQ(self.enqueued_jobs, 4u);
	EXPECT_EQ(self.latency_samples, (std::vector<uint64_t>{6, 7, 6, 7}));
	EXPECT_EQ(self.latency_histogram[first_bucket + 1], 2002u);
}

TEST(thread_stats, sum_of_two_threads)
{
	thread_stats a;
	a.thread_index = 3;
	a.core_id = 4;
	a.pipeline_index = 1;
	a.step = make_step(1, 0, 1);
	a.pe_progress_calls = 10;
	a.pe_progress_hits = 5;
	a.max_output_buffer_size = 4096;
	a.duration = 5ms;

	thread_stats b;
	b.thread_index = 8;
	b.core_id = 9;
	b.pipeline_index = 2;
	b.step = make_step(2, 0, 1);
	b.pe_progress_calls = 20;
	b.pe_progress_hits = 7;
	b.max_output_buffer_size = 1024;
	b.duration = 7ms;

	thread_stats const sum = a + b;
	EXPECT_EQ(sum.thread_index, 3u);
	EXPECT_EQ(sum.core_id, 4u);
	EXPECT_EQ(sum.pipeline_index, 1u);
	EXPECT_EQ(sum.step.enqueued_jobs, 5u);
	EXPECT_EQ(sum.step.dequeued_jobs, 7u);
	EXPECT_EQ(sum.pe_progress_calls, 30u);
	EXPECT_EQ(sum.pe_progress_hits, 12u);
	EXPECT_EQ(sum.max_output_buffer_size, 4096u);
	EXPECT_EQ(sum.duration, 7ms);
	// operator+ leaves its operands alone.
	EXPECT_EQ(a.step.enqueued_jobs, 2u);
	EXPECT_EQ((b + a).max_output_buffer_size, 4096u);
	EXPECT_EQ((b + a).duration, 7ms);
}

TEST(permutation_stats, aggregate_of_one_thread_equals_the_thread)
{
	thread_stats t;
	t.thread_index = 2;
	t.core_id = 6;
	t.pipeline_index = 1;
	t.step = make_step(4, 10000, 1000);
	t.pe_progress_calls = 11;
	t.pe_progress_hits = 9;
	t.max_output_buffer_size = 2048;
	t.duration = 3s;

	permutation_stats p;
	p.threads = {t};
	p.aggregate = thread_stats{} + t;

	thread_stats const &agg = p.aggregate;
	EXPECT_EQ(agg.thread_index, 0u);
	EXPECT_EQ(agg.core_id, 0u);
	EXPECT_EQ(agg.pipeline_index, 0u);
	EXPECT_EQ(agg.step.latency_histogram[0], 0u);
	EXPECT_EQ(agg.step.latency_histogram[1], 0u);
	EXPECT_EQ(agg.step.enqueued_jobs, t.step.enqueued_jobs);
	EXPECT_EQ(agg.step.egress_bytes, t.step.egress_bytes);
	EXPECT_EQ(agg.step.latency_samples, t.step.latency_samples);
	for (std::size_t c = first_bucket; c != step_stats::histogram_cell_count; ++c)
		EXPECT_EQ(agg.step.latency_histogram[c], t.step.latency_histogram[c]) << c;
	EXPECT_EQ(agg.pe_progress_calls, 11u);
	EXPECT_EQ(agg.pe_progress_hits, 9u);
	EXPECT_EQ(agg.max_output_buffer_size, 2048u);
	EXPECT_EQ(agg.duration, 3s);

	permutation_stats const copy{p};
	EXPECT_NE(copy.aggregate.step.latency_histogram.get(), p.aggregate.step.latency_histogram.get());
	EXPECT_NE(copy.threads[0].step.latency_histogram.get(), p.threads[0].step.latency_histogram.get());
}
