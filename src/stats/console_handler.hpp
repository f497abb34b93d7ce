// The statistics report on the console: per-thread, per-pipeline and aggregate
// counters, the latency report of the benchmark mode, and CPU usage.
#pragma once

#include "configuration.hpp"
#include "stats/data_store.hpp"

#include <cstdint>
#include <memory>
#include <ostream>
#include <vector>

namespace kova::bench::stats {

// Bits of a report mask.
inline constexpr uint32_t intermediate_report = 1;
inline constexpr uint32_t final_report = 2;

struct console_handler_configuration {
	std::vector<configuration::pipeline_configuration> pipelines;
	configuration::benchmark_mode mode = configuration::benchmark_mode::throughput;
	// Labels of the latency histogram, in nanoseconds.
	uint64_t latency_lower_bound = 0;
	uint64_t latency_bucket_width = 0;
	// Report masks: which reports show each block.
	uint32_t per_thread_stats = 0;
	uint32_t aggregate_pipeline_stats = 0;
	uint32_t aggregate_stats = 0;
	uint32_t cpu_usage_stats = 0;
	bool show_pe_hit_ratio = false;
};

// A handler printing each report to out, which must outlive it.
std::unique_ptr<handler> make_console_handler(console_handler_configuration configuration, std::ostream &out);

} // namespace kova::bench::stats
