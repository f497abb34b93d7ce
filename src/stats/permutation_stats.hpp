// The counters a run's measurements travel in: per worker-thread pipeline
// (step_stats), per worker thread (thread_stats) and per test permutation
// (permutation_stats).
#pragma once

#include "utility/byte_unit.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kova::bench {

// Histogram bucket of a latency: 0 below lower_bound, 1 to 100 for the range
// of 100 buckets of bucket_width, 101 at or above its end. bucket_width > 0.
uint64_t calculate_bucket_idx(uint64_t value, uint64_t lower_bound, uint64_t bucket_width) noexcept;

// Rate of byte_count bytes over duration, in units per second; 0 for a duration
// that is not positive.
double calc_throughput_rate(uint64_t byte_count, std::chrono::nanoseconds duration, utility::byte_unit unit) noexcept;

// Jobs per second over duration, truncated to an integer; 0 for a duration
// that is not positive.
uint64_t calc_operation_rate(uint64_t job_count, std::chrono::nanoseconds duration) noexcept;

struct step_stats {
	static constexpr std::size_t latency_bucket_count = 102;
	// Cells of latency_histogram: lower bound, bucket width, then the bucket counts.
	static constexpr std::size_t histogram_lower_bound_cell = 0;
	static constexpr std::size_t histogram_bucket_width_cell = 1;
	static constexpr std::size_t histogram_first_bucket_cell = 2;
	static constexpr std::size_t histogram_cell_count = histogram_first_bucket_cell + latency_bucket_count;

	uint64_t enqueued_jobs = 0;
	uint64_t dequeued_jobs = 0;
	uint64_t ingress_bytes = 0;
	uint64_t egress_bytes = 0;
	// Nanoseconds per job, in recording order (precision-latency mode only).
	std::vector<uint64_t> latency_samples;
	// histogram_cell_count cells; null only in a moved-from object.
	std::unique_ptr<uint64_t[]> latency_histogram;

	step_stats();
	step_stats(const step_stats &other);
	step_stats(step_stats &&other) noexcept;
	step_stats &operator=(const step_stats &other);
	step_stats &operator=(step_stats &&other) noexcept;
	~step_stats() = default;

	// Adds counters, bucket counts and samples of other; keeps this object's
	// histogram lower bound and width.
	step_stats &operator+=(const step_stats &other);
};

struct thread_stats {
	uint32_t thread_index = 0;
	uint32_t core_id = 0;
	uint16_t pipeline_index = 0;
	step_stats step;
	uint64_t pe_progress_calls = 0;
	uint64_t pe_progress_hits = 0;
	uint32_t max_output_buffer_size = 0;
	std::chrono::nanoseconds duration{0};

	// Sums counters; keeps the larger output buffer size and duration and this
	// object's identity fields.
	thread_stats &operator+=(const thread_stats &other);
};

thread_stats operator+(thread_stats lhs, const thread_stats &rhs);

struct permutation_stats {
	// Sum of threads, starting from a default thread_stats.
	thread_stats aggregate;
	// One entry per worker thread, in thread order.
	std::vector<thread_stats> threads;
	// CPU usage samples in percent, sorted ascending.
	std::vector<float> cpu_usage;
};

} // namespace kova::bench
