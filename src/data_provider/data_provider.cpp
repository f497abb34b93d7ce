#include "data_provider/data_provider.hpp"

namespace kova::bench {

uint64_t data_provider::prototype_jobs::total_memory_size() const noexcept
{
	uint64_t total = 0;
	for (auto const &job : jobs)
		total += job.size();
	return total;
}

} // namespace kova::bench
