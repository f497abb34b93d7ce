// CPU usage from a Linux "/proc/stat" file: user, nice and system time count as
// busy, the sum of all fields of a CPU line as total.
#pragma once

#include "utility/cpu_stats_provider.hpp"

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace kova::bench::utility {

class cpu_stats_provider_posix : public cpu_stats_provider {
public:
	// Opens the file and takes the baseline reading; throws KOVA_ERROR_INVALID_VALUE "Unable to
	// get CPU usage statistics." when it cannot be opened, and the parse
	// error of a reading.
	explicit cpu_stats_provider_posix(const std::string &path = "/proc/stat");
	~cpu_stats_provider_posix() override = default;

	cpu_stats_provider_posix(const cpu_stats_provider_posix &) = delete;
	cpu_stats_provider_posix &operator=(const cpu_stats_provider_posix &) = delete;

	// CPUs that appear in only one of the two readings get no entry; a CPU
	// whose total ticks did not change reads 0.
	const std::vector<float> &query_cpu_usage() override;

private:
	// {busy ticks, total ticks} per CPU line.
	using reading = std::vector<std::pair<uint64_t, uint64_t>>;

	void get_current_usage();

	std::ifstream m_file;
	reading m_previous;
	reading m_current;
	std::vector<float> m_usage;
};

} // namespace kova::bench::utility
