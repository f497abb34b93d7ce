#include "utility/cpu_stats_provider_posix.hpp"

#include "kova_exception.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace kova::bench::utility {
namespace {

constexpr std::string_view white_space = " \t\n\v\f\r";

std::string_view trimmed(std::string_view text)
{
	auto const first = text.find_first_not_of(white_space);
	if (first == std::string_view::npos)
		return {};
	return text.substr(first, text.find_last_not_of(white_space) - first + 1);
}

// A whole field of decimal digits within the 64-bit range.
bool parse_tick_count(std::string_view field, uint64_t &value)
{
	auto const [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
	return !field.empty() && error == std::errc{} && end == field.data() + field.size();
}

// One CPU line: "cpuN user nice system idle ...", fields separated by single blanks.
std::pair<uint64_t, uint64_t> parse_cpu_usage_line(std::string_view line)
{
	std::pair<uint64_t, uint64_t> ticks{0, 0};
	std::size_t field_index = 0;
	std::size_t start = 0;
	for (;;) {
		std::size_t const end = line.find(' ', start);
		std::string_view const field = trimmed(line.substr(start, end == std::string_view::npos ? line.npos : end - start));
		if (field_index != 0) {
			uint64_t value = 0;
			if (!parse_tick_count(field, value))
				KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to parse CPU usage statistics file.");
			if (field_index <= 3)
				ticks.first += value;
			ticks.second += value;
		}
		if (end == std::string_view::npos)
			break;
		start = end + 1;
		++field_index;
	}
	return ticks;
}

} // namespace

cpu_stats_provider_posix::cpu_stats_provider_posix(const std::string &path) : m_file{path}
{
	if (!m_file.is_open())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to get CPU usage statistics.");
	get_current_usage();
}

void cpu_stats_provider_posix::get_current_usage()
{
	reading next;
	next.reserve(m_current.size());
	std::string line;
	try {
		std::getline(m_file, line); // the summary line of all CPUs
		while (std::getline(m_file, line) && !line.empty() && line.front() == 'c')
			next.push_back(parse_cpu_usage_line(line));
	} catch (...) {
		m_file.clear();
		m_file.seekg(0);
		throw;
	}
	m_file.clear();
	m_file.seekg(0);
	m_previous = std::move(m_current);
	m_current = std::move(next);
}

const std::vector<float> &cpu_stats_provider_posix::query_cpu_usage()
{
	get_current_usage();
	m_usage.clear();
	std::size_t const cpu_count = std::min(m_previous.size(), m_current.size());
	for (std::size_t i = 0; i != cpu_count; ++i) {
		uint64_t const busy = m_current[i].first - m_previous[i].first;
		uint64_t const total = m_current[i].second - m_previous[i].second;
		m_usage.push_back(total == 0 ? 0.0f
					     : static_cast<float>(busy) / static_cast<float>(total) * 100.0f);
	}
	return m_usage;
}

std::unique_ptr<cpu_stats_provider> make_cpu_stats_provider()
{
	return std::make_unique<cpu_stats_provider_posix>();
}

std::unique_ptr<cpu_stats_provider> make_cpu_stats_provider(const std::string &path)
{
	return std::make_unique<cpu_stats_provider_posix>(path);
}

} // namespace kova::bench::utility
