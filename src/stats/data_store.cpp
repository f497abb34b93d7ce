#include "stats/data_store.hpp"

#include "kova_exception.hpp"

namespace kova::bench::stats {

data_store::data_store(const configuration_collection &configuration, const environment_map &host_env,
		       const environment_map &dpu_env)
	: m_configuration{configuration}, m_host_env{host_env}, m_dpu_env{dpu_env}
{
}

void data_store::add_permutation_stats(const permutation_stats &stats) { m_permutation_stats.push_back(stats); }

const permutation_stats &data_store::get_permutation_stats(permutation_id id) const
{
	if (id >= m_permutation_stats.size()) {
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Tried to access invalid stats permutation " + std::to_string(id) +
							     " when only " + std::to_string(m_permutation_stats.size()) +
							     " permutations exist");
	}
	return m_permutation_stats[id];
}

} // namespace kova::bench::stats
