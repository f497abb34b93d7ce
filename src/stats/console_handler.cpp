#include "stats/console_handler.hpp"

#include "kova_exception.hpp"
#include "stats/sample_order.hpp"
#include "utility/value_format.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <utility>

namespace kova::bench::stats {
namespace {

constexpr auto rate_unit = utility::byte_unit::Gib;
// Durations up to this many nanoseconds make the rates unreliable.
constexpr int64_t short_run_ns = 9999;
constexpr std::size_t histogram_rows = 10;

constexpr std::array<const char *, 4> order_labels{
	"\tmin:           ",
	"\tmax:           ",
	"\tmedian:        ",
	"\tmean:          ",
};
constexpr std::array<const char *, reported_percentiles.size()> percentile_labels{
	"\t90th %ile:     ", "\t95th %ile:     ", "\t99th %ile:     ", "\t99.9th %ile:   ", "\t99.99th %ile:  ",
};

std::string pipeline_name(const configuration::pipeline_configuration &pipeline)
{
	std::string name = "[";
	for (std::size_t i = 0; i != pipeline.steps.size(); ++i) {
		if (i != 0)
			name += ">>";
		name += pipeline.steps[i].name;
	}
	name += ']';
	return name;
}

class console_handler : public handler {
public:
	console_handler(console_handler_configuration configuration, std::ostream &out)
		: m_pipelines{std::move(configuration.pipelines)},
		  m_mode{configuration.mode},
		  m_latency_lower_bound{configuration.latency_lower_bound},
		  m_latency_bucket_width{configuration.latency_bucket_width},
		  m_per_thread_stats{configuration.per_thread_stats},
		  m_aggregate_pipeline_stats{configuration.aggregate_pipeline_stats},
		  m_aggregate_stats{configuration.aggregate_stats},
		  m_cpu_usage_stats{configuration.cpu_usage_stats},
		  m_show_pe_hit_ratio{configuration.show_pe_hit_ratio},
		  m_out{out}
	{
		m_pipeline_names.reserve(m_pipelines.size());
		for (auto const &pipeline : m_pipelines)
			m_pipeline_names.push_back(pipeline_name(pipeline));
	}

	void on_permutation_complete(const permutation_stats &stats) override { report(stats, final_report); }

	void display_intermediate_stats(const permutation_stats &stats) override
	{
		report(stats, intermediate_report);
	}

private:
	void report(const permutation_stats &stats, uint32_t report_bit);
	void print_per_thread_blocks(const permutation_stats &stats);
	void print_per_pipeline_blocks(const permutation_stats &stats);
	void print_step_block(const step_stats &step, std::chrono::nanoseconds duration);
	void print_thread_block(const thread_stats &thread);
	void print_short_run_note(std::chrono::nanoseconds duration);
	void print_latency_histogram(const step_stats &step);
	void print_precision_latency(const std::vector<uint64_t> &samples);
	void print_cpu_usage(const std::vector<float> &samples);
	[[nodiscard]] const std::string &name_of_pipeline(uint16_t index) const;

	std::vector<configuration::pipeline_configuration> m_pipelines;
	configuration::benchmark_mode m_mode;
	uint64_t m_latency_lower_bound;
	uint64_t m_latency_bucket_width;
	uint32_t m_per_thread_stats;
	uint32_t m_aggregate_pipeline_stats;
	uint32_t m_aggregate_stats;
	uint32_t m_cpu_usage_stats;
	bool m_show_pe_hit_ratio;
	std::ostream &m_out;
	std::vector<std::string> m_pipeline_names;
};

void console_handler::report(const permutation_stats &stats, uint32_t report_bit)
{
	if ((m_per_thread_stats & report_bit) != 0)
		print_per_thread_blocks(stats);
	if ((m_aggregate_pipeline_stats & report_bit) != 0)
		print_per_pipeline_blocks(stats);
	if ((m_aggregate_stats & report_bit) != 0) {
		m_out << "Aggregate stats\n";
		print_thread_block(stats.aggregate);
		if (m_mode == configuration::benchmark_mode::bulk_latency)
			print_latency_histogram(stats.aggregate.step);
		else if (m_mode == configuration::benchmark_mode::precision_latency)
			print_precision_latency(stats.aggregate.step.latency_samples);
	}
	if ((m_cpu_usage_stats & report_bit) != 0) {
		m_out << "CPU Usage stats\n";
		print_cpu_usage(stats.cpu_usage);
	}
	m_out.flush();
}

const std::string &console_handler::name_of_pipeline(uint16_t index) const
{
	if (index >= m_pipeline_names.size())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "[BUG] Invalid pipeline index: " + std::to_string(index));
	return m_pipeline_names[index];
}

void console_handler::print_per_thread_blocks(const permutation_stats &stats)
{
	if (stats.threads.size() < 2)
		return;
	for (auto const &thread : stats.threads) {
		m_out << "Worker thread[" << thread.thread_index << "](core: " << thread.core_id << ") "
		      << name_of_pipeline(thread.pipeline_index) << " stats :\n ";
		print_thread_block(thread);
	}
}

void console_handler::print_per_pipeline_blocks(const permutation_stats &stats)
{
	if (stats.threads.size() < 2)
		return;
	std::vector<std::pair<uint16_t, step_stats>> pipelines;
	bool shared = false;
	for (auto const &thread : stats.threads) {
		auto const found = std::find_if(pipelines.begin(), pipelines.end(),
						[&](auto const &entry) { return entry.first == thread.pipeline_index; });
		if (found == pipelines.end()) {
			pipelines.emplace_back(thread.pipeline_index, thread.step);
		} else {
			found->second += thread.step;
			shared = true;
		}
	}
	if (!shared)
		return;

	m_out << "Aggregate pipeline stats\n";
	for (auto const &[index, step] : pipelines) {
		m_out << "Pipeline: " << name_of_pipeline(index) << "\n";
		print_step_block(step, stats.aggregate.duration);
		print_short_run_note(stats.aggregate.duration);
	}
}

void console_handler::print_step_block(const step_stats &step, std::chrono::nanoseconds duration)
{
	utility::double_format const rate_format{3, 3, '0'};
	std::string const unit = utility::to_string(rate_unit);

	m_out << "\tDuration:      " << duration.count() / 1000 << " micro seconds\n"
	      << "\tEnqueued jobs: " << step.enqueued_jobs << "\n"
	      << "\tDequeued jobs: " << step.dequeued_jobs << "\n"
	      << "\tThroughput:    " << calc_operation_rate(step.dequeued_jobs, duration)
	      << " Operations/s\n"
	      << "\tIngress rate:  "
	      << utility::format_double(calc_throughput_rate(step.ingress_bytes, duration, rate_unit), rate_format) << " "
	      << unit << "/s\n"
	      << "\tEgress rate:   "
	      << utility::format_double(calc_throughput_rate(step.egress_bytes, duration, rate_unit), rate_format) << " "
	      << unit << "/s\n";
}

void console_handler::print_thread_block(const thread_stats &thread)
{
	print_step_block(thread.step, thread.duration);
	if (m_show_pe_hit_ratio) {
		double const ratio = thread.pe_progress_calls == 0
					     ? 0.0
					     : static_cast<double>(thread.pe_progress_hits) /
						       static_cast<double>(thread.pe_progress_calls) * 100.0;
		m_out << "\tPE hit ratio:  " << thread.pe_progress_hits << "/" << thread.pe_progress_calls << " : "
		      << utility::format_double(ratio, {3, 2, ' '}) << "%\n";
	}
	print_short_run_note(thread.duration);
}

void console_handler::print_short_run_note(std::chrono::nanoseconds duration)
{
	if (duration.count() <= short_run_ns)
		m_out << "\tRate values may be less accurate due to a short run duration\n";
}

void console_handler::print_latency_histogram(const step_stats &step)
{
	uint64_t const *const counts = step.latency_histogram.get() + step_stats::histogram_first_bucket_cell;
	constexpr std::size_t bucket_count = step_stats::latency_bucket_count;

	m_out << "Latency report:\n";
	uint64_t const largest = *std::max_element(counts, counts + bucket_count);
	uint64_t const row_step = static_cast<uint32_t>(largest / histogram_rows);
	uint64_t full = histogram_rows * row_step;
	uint64_t half = full - row_step / 2;
	std::string row(bucket_count, ' ');
	for (std::size_t r = 0; r != histogram_rows; ++r) {
		for (std::size_t b = 0; b != bucket_count; ++b)
			row[b] = counts[b] >= full ? ':' : counts[b] >= half ? '.' : ' ';
		m_out << row << "\n";
		full -= row_step;
		half -= row_step;
	}
	m_out << std::string(bucket_count, '-') << "\n";

	uint64_t const lower = m_latency_lower_bound;
	uint64_t const width = m_latency_bucket_width;
	m_out << "[<" << lower << "ns]: " << counts[0] << "\n";
	for (uint64_t k = 1; k <= 100; ++k) {
		uint64_t const start = lower + (k - 1) * width;
		m_out << "[" << start << "ns -> " << start + width - 1 << "ns]: " << counts[k] << "\n";
	}
	m_out << "[>" << lower + 100 * width << "ns]: " << counts[bucket_count - 1] << "\n";
}

void console_handler::print_precision_latency(const std::vector<uint64_t> &unsorted)
{
	if (unsorted.size() < 10) {
		m_out << "\tNot enough data points to calculate latency statistics\n";
		return;
	}
	std::vector<uint64_t> storage;
	auto const &samples = sorted_samples(unsorted, storage);
	std::size_t const n = samples.size();
	uint64_t sum = 0;
	for (uint64_t const sample : samples)
		sum += sample;

	std::array<uint64_t, 4> const figures{samples.front(), samples.back(), samples[n / 2], sum / n};
	for (std::size_t i = 0; i != figures.size(); ++i)
		m_out << order_labels[i] << figures[i] << " ns\n";
	for (std::size_t i = 0; i != reported_percentiles.size(); ++i)
		m_out << percentile_labels[i] << samples[percentile_index(n, reported_percentiles[i])] << " ns\n";
}

void console_handler::print_cpu_usage(const std::vector<float> &unsorted)
{
	if (unsorted.empty()) {
		m_out << "Run not long enough to calculate statistics\n";
		return;
	}
	std::vector<float> storage;
	auto const &samples = sorted_samples(unsorted, storage);
	std::size_t const n = samples.size();
	float sum = 0.0f;
	for (float const sample : samples)
		sum += sample;

	std::array<float, 4> const figures{samples.front(), samples.back(), samples[n / 2],
					   sum / static_cast<float>(n)};
	for (std::size_t i = 0; i != figures.size(); ++i)
		m_out << order_labels[i] << static_cast<double>(figures[i]) << "%\n";
	for (std::size_t i = 0; i != reported_percentiles.size(); ++i) {
		m_out << percentile_labels[i] << static_cast<double>(samples[percentile_index(n, reported_percentiles[i])])
		      << "%\n";
	}
}

} // namespace

std::unique_ptr<handler> make_console_handler(console_handler_configuration configuration, std::ostream &out)
{
	return std::make_unique<console_handler>(std::move(configuration), out);
}

} // namespace kova::bench::stats
