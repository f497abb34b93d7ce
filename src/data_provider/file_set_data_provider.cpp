#include "data_provider/file_set_data_provider.hpp"

#include "kova_exception.hpp"
#include "utility/file_utils.hpp"
#include "utility/string_utils.hpp"

#include <string>
#include <vector>

namespace kova::bench {
namespace {

// A name in the list is relative to the input directory unless it begins with '/'.
std::string listed_file_path(const kova::optional<std::string> &input_directory, const std::string &name)
{
	return name.front() == '/' ? name : utility::append_file_path(input_directory, name);
}

} // namespace

file_set_data_provider::file_set_data_provider(const attributes &attrs)
{
	if (!attrs.input_file.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Input file_set data file name not provided");
	if (attrs.uniform_job_size != 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Uniform data size must be 0 when using file_set data provider");
	if (attrs.job_count == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Number of jobs to produce must not be 0");

	std::string const list =
		utility::load_file_to_string(utility::append_file_path(attrs.input_directory, *attrs.input_file));
	if (list.empty())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Input file_set data file is empty");

	std::vector<std::string> names;
	for (auto &name : utility::split(list, "\n")) {
		if (!name.empty())
			names.push_back(std::move(name));
	}
	if (names.empty())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "File set does not name any data files to use.");

	m_jobs.is_file_set = true;
	m_jobs.jobs.resize(attrs.job_count);
	for (std::size_t i = 0; i != m_jobs.jobs.size(); ++i) {
		std::string const &name = names[i % names.size()];
		m_jobs.jobs[i] = utility::load_file_to_vector(listed_file_path(attrs.input_directory, name));
		if (m_jobs.jobs[i].empty())
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Input data file: \"" + name + "\" is empty");
	}
}

} // namespace kova::bench
