// Jobs of the uniform job size filled with xorshift64 pseudo-random data.
#pragma once

#include "data_provider/data_provider.hpp"

#include <cstdint>

namespace kova::bench {

class random_data_provider : public data_provider {
public:
	// Seeds the generator with one draw of the system's random device.
	explicit random_data_provider(const attributes &attrs);
	// Seeds the generator with the given value.
	random_data_provider(const attributes &attrs, uint32_t seed);

	[[nodiscard]] const prototype_jobs &get_job_prototypes() const override { return m_jobs; }

private:
	prototype_jobs m_jobs;
};

} // namespace kova::bench
