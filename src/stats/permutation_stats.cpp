#include "stats/permutation_stats.hpp"

#include <algorithm>

namespace kova::bench {

uint64_t calculate_bucket_idx(uint64_t value, uint64_t lower_bound, uint64_t bucket_width) noexcept
{
	if (value < lower_bound)
		return 0;
	return std::min<uint64_t>((value - lower_bound) / bucket_width, 100) + 1;
}

double calc_throughput_rate(uint64_t byte_count, std::chrono::nanoseconds duration, utility::byte_unit unit) noexcept
{
	if (duration.count() <= 0)
		return 0.0;
	double const units = static_cast<double>(byte_count) * 8.0 / static_cast<double>(static_cast<uint64_t>(unit));
	return units * (1e9 / static_cast<double>(duration.count()));
}

uint64_t calc_operation_rate(uint64_t job_count, std::chrono::nanoseconds duration) noexcept
{
	if (duration.count() <= 0)
		return 0;
	double const rate = 1e9 / static_cast<double>(duration.count()) * static_cast<double>(job_count);
	// Saturate rather than overflow the conversion.
	if (rate >= 18446744073709551616.0)
		return UINT64_MAX;
	return static_cast<uint64_t>(rate);
}

step_stats::step_stats() : latency_histogram{std::make_unique<uint64_t[]>(histogram_cell_count)} {}

step_stats::step_stats(const step_stats &other)
	: enqueued_jobs{other.enqueued_jobs},
	  dequeued_jobs{other.dequeued_jobs},
	  ingress_bytes{other.ingress_bytes},
	  egress_bytes{other.egress_bytes},
	  latency_samples{other.latency_samples},
	  latency_histogram{std::make_unique_for_overwrite<uint64_t[]>(histogram_cell_count)}
{
	if (other.latency_histogram)
		std::copy_n(other.latency_histogram.get(), histogram_cell_count, latency_histogram.get());
	else
		std::fill_n(latency_histogram.get(), histogram_cell_count, 0);
}

step_stats::step_stats(step_stats &&other) noexcept
	: enqueued_jobs{other.enqueued_jobs},
	  dequeued_jobs{other.dequeued_jobs},
	  ingress_bytes{other.ingress_bytes},
	  egress_bytes{other.egress_bytes},
	  latency_samples{std::move(other.latency_samples)},
	  latency_histogram{std::move(other.latency_histogram)}
{
	other.latency_samples.clear();
}

step_stats &step_stats::operator=(const step_stats &other)
{
	if (this != &other) {
		step_stats copy{other};
		*this = std::move(copy);
	}
	return *this;
}

step_stats &step_stats::operator=(step_stats &&other) noexcept
{
	if (this == &other)
		return *this;
	enqueued_jobs = other.enqueued_jobs;
	dequeued_jobs = other.dequeued_jobs;
	ingress_bytes = other.ingress_bytes;
	egress_bytes = other.egress_bytes;
	latency_samples = std::move(other.latency_samples);
	other.latency_samples.clear();
	latency_histogram = std::move(other.latency_histogram);
	return *this;
}

step_stats &step_stats::operator+=(const step_stats &other)
{
	enqueued_jobs += other.enqueued_jobs;
	dequeued_jobs += other.dequeued_jobs;
	ingress_bytes += other.ingress_bytes;
	egress_bytes += other.egress_bytes;

	if (other.latency_histogram) {
		if (!latency_histogram)
			latency_histogram = std::make_unique<uint64_t[]>(histogram_cell_count);
		for (std::size_t cell = histogram_first_bucket_cell; cell != histogram_cell_count; ++cell)
			latency_histogram[cell] += other.latency_histogram[cell];
	}

	// Indexing (not iterators) keeps adding an object to itself well defined.
	std::size_t const other_count = other.latency_samples.size();
	latency_samples.reserve(latency_samples.size() + other_count);
	for (std::size_t i = 0; i != other_count; ++i)
		latency_samples.push_back(other.latency_samples[i]);
	return *this;
}

thread_stats &thread_stats::operator+=(const thread_stats &other)
{
	step += other.step;
	pe_progress_calls += other.pe_progress_calls;
	pe_progress_hits += other.pe_progress_hits;
	max_output_buffer_size = std::max(max_output_buffer_size, other.max_output_buffer_size);
	duration = std::max(duration, other.duration);
	return *this;
}

thread_stats operator+(thread_stats lhs, const thread_stats &rhs)
{
	lhs += rhs;
	return lhs;
}

} // namespace kova::bench
