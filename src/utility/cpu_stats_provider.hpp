// Per-CPU busy percentages, sampled by the CPU usage recorder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kova::bench::utility {

class cpu_stats_provider {
public:
	virtual ~cpu_stats_provider() = default;

	// Busy percentage of every CPU (index = CPU position) since the previous
	// query, or since construction for the first one. The reference stays
	// valid until the next query.
	virtual const std::vector<float> &query_cpu_usage() = 0;
};

// A provider reading the system's CPU statistics ("/proc/stat").
std::unique_ptr<cpu_stats_provider> make_cpu_stats_provider();

// A provider reading a statistics file in the "/proc/stat" format at path.
std::unique_ptr<cpu_stats_provider> make_cpu_stats_provider(const std::string &path);

// The usage of each of the cores, in the order given; throws KOVA_ERROR_INVALID_VALUE
// "Invalid core index: N" for a core with no entry in usage.
std::vector<float> filter_cpu_usage_stats_by_core_id_list(const std::vector<float> &usage,
							    const std::vector<uint32_t> &cores);

} // namespace kova::bench::utility
