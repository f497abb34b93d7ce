#include "utility/cpu_stats_provider.hpp"

#include "kova_exception.hpp"

namespace kova::bench::utility {

std::vector<float> filter_cpu_usage_stats_by_core_id_list(const std::vector<float> &usage,
							    const std::vector<uint32_t> &cores)
{
	std::vector<float> selected;
	selected.reserve(cores.size());
	for (uint32_t const core : cores) {
		if (core >= usage.size())
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid core index: " + std::to_string(core));
		selected.push_back(usage[core]);
	}
	return selected;
}

} // namespace kova::bench::utility
