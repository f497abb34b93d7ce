// Jobs of the uniform job size cut from one data file, cycling through it.
#pragma once

#include "data_provider/data_provider.hpp"

namespace kova::bench {

class file_data_provider : public data_provider {
public:
	explicit file_data_provider(const attributes &attrs);

	[[nodiscard]] const prototype_jobs &get_job_prototypes() const override { return m_jobs; }

private:
	prototype_jobs m_jobs;
};

} // namespace kova::bench
