#include "data_provider/file_data_provider.hpp"

#include "kova_exception.hpp"
#include "utility/file_utils.hpp"

#include <algorithm>
#include <string>

namespace kova::bench {

file_data_provider::file_data_provider(const attributes &attrs)
{
	if (!attrs.input_file.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Input file name not provided");
	if (attrs.uniform_job_size == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Uniform data size must not be 0 when using file data provider");
	if (attrs.job_count == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Number of jobs to produce must not be 0");

	std::string const content =
		utility::load_file_to_string(utility::append_file_path(attrs.input_directory, *attrs.input_file));
	if (content.empty())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Input data file is empty");

	m_jobs.is_file_set = false;
	m_jobs.jobs.resize(attrs.job_count);
	std::size_t position = 0;
	for (auto &job : m_jobs.jobs) {
		job.resize(attrs.uniform_job_size);
		std::size_t filled = 0;
		while (filled != job.size()) {
			std::size_t const count = std::min(content.size() - position, job.size() - filled);
			std::copy_n(content.data() + position, count, job.data() + filled);
			filled += count;
			position += count;
			if (position == content.size())
				position = 0;
		}
		if (!attrs.continue_stream)
			position = 0;
	}
}

} // namespace kova::bench
