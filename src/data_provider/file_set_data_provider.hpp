// One job per data file, the files named one a line in a list file and used
// in list order, starting again at the first when the jobs outnumber them.
#pragma once

#include "data_provider/data_provider.hpp"

namespace kova::bench {

class file_set_data_provider : public data_provider {
public:
	explicit file_set_data_provider(const attributes &attrs);

	[[nodiscard]] const prototype_jobs &get_job_prototypes() const override { return m_jobs; }

private:
	prototype_jobs m_jobs;
};

} // namespace kova::bench
