// One value the CSV output can show: its statistic id, how to produce its text
// for a stored permutation (and optionally one worker thread), and what kind of
// value it is.
#pragma once

#include "kova_optional.hpp"
#include "stats/data_store.hpp"

#include <cstdint>
#include <functional>
#include <string>

namespace kova::bench::stats {

// Empty: the aggregate over all threads; a value: one worker thread's entry.
using thread_id = kova::optional<uint32_t>;

struct value_provider {
	enum metadata_flag : uint32_t {
		fixed_config_value = 1,
		dynamic_config_value = 2,
		dpu_environment_value = 4,
		host_environment_value = 8,
		statistics_value = 16,
		per_permutation_value = 32,
		per_thread_value = 64,
	};

	using getter_type = std::function<std::string(const data_store &, permutation_id, thread_id)>;

	std::string id;
	getter_type getter;
	uint32_t flags = 0;
};

} // namespace kova::bench::stats
