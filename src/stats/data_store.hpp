// The record of one benchmark run that the statistics engine fills and the
// value providers and CSV loggers read, and the interface of every consumer of
// a permutation's statistics.
#pragma once

#include "configuration.hpp"
#include "stats/permutation_stats.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace kova::bench::stats {

// Index of a completed permutation in the data store; the first one is 0.
using permutation_id = uint32_t;

using environment_map = std::unordered_map<std::string, std::string>;

class handler {
public:
	virtual ~handler() = default;

	// A permutation has completed; stats are its final statistics.
	virtual void on_permutation_complete(const permutation_stats &stats) = 0;

	// Statistics of the running permutation, every stats interval.
	virtual void display_intermediate_stats(const permutation_stats &stats) = 0;
};

class data_store {
public:
	data_store(const configuration_collection &configuration, const environment_map &host_env,
		   const environment_map &dpu_env);

	// Stores a copy; it gets the id equal to the number stored before.
	void add_permutation_stats(const permutation_stats &stats);

	// Throws KOVA_ERROR_INVALID_VALUE for an id of no stored permutation.
	[[nodiscard]] const permutation_stats &get_permutation_stats(permutation_id id) const;

	[[nodiscard]] const configuration_collection &get_configuration() const noexcept { return m_configuration; }
	[[nodiscard]] const environment_map &get_host_env() const noexcept { return m_host_env; }
	[[nodiscard]] const environment_map &get_dpu_env() const noexcept { return m_dpu_env; }

private:
	std::vector<permutation_stats> m_permutation_stats;
	configuration_collection m_configuration;
	environment_map m_host_env;
	environment_map m_dpu_env;
};

} // namespace kova::bench::stats
