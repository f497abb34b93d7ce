// The catalogue of values the CSV output can show, built in the engine's
// column order.
#pragma once

#include "stats/value_provider.hpp"
#include "utility/byte_unit.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace kova::bench::stats {

// The "cfg.*" values of the fixed configuration (27).
std::vector<value_provider> make_fixed_configuration_value_providers();

// The "cfg.*" values of a permutation's dynamic configuration (13).
std::vector<value_provider> make_dynamic_configuration_value_providers();

// Job and byte counts, throughputs and rates, output buffer size (9).
std::vector<value_provider> make_permutation_stats_value_providers();

// Minimum, maximum, median, mean and percentiles of the latency samples (9).
std::vector<value_provider> make_permutation_precision_latency_value_providers();

// "stats.bulk-latency.b[0]" to "stats.bulk-latency.b[101]" (102).
std::vector<value_provider> make_permutation_bulk_latency_value_providers();

// One provider per map entry, named by its key; dpu selects the DPU map and
// flag, else the host map and flag.
std::vector<value_provider> make_environment_value_providers(const std::unordered_map<std::string, std::string> &env,
							     bool dpu);

// "<rate> <unit>/s" with the rate as at least three integer digits and three
// fraction digits: 1.5 Gib is "001.500 Gib/s".
std::string format_throughput(uint64_t byte_count, std::chrono::nanoseconds duration, utility::byte_unit unit);

} // namespace kova::bench::stats
