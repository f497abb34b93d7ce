// The CSV spelling of statistics lines.
#include "stats/formatter.hpp"

namespace kova::bench::stats {
namespace {

std::string maybe_escape(const std::string &field)
{
	if (field.find_first_of(",\"\r\n") == std::string::npos)
		return field;
	std::string escaped;
	escaped.reserve(field.size() + 2);
	escaped.push_back('"');
	for (char const c : field) {
		if (c == '"')
			escaped.push_back('"');
		escaped.push_back(c);
	}
	escaped.push_back('"');
	return escaped;
}

// fields is never empty.
std::string escape_and_join(const std::vector<std::string> &fields)
{
	std::string line = maybe_escape(fields.front());
	for (std::size_t i = 1; i != fields.size(); ++i) {
		line.push_back(',');
		line += maybe_escape(fields[i]);
	}
	return line;
}

std::string csv_start_segment(const std::string & /*segment_name*/, const std::vector<std::string> &column_names)
{
	return column_names.empty() ? std::string{} : escape_and_join(column_names);
}

std::string csv_end_segment() { return {}; }

std::string csv_write_row(const std::vector<std::string> &values)
{
	return values.empty() ? std::string{} : escape_and_join(values);
}

} // namespace

formatter make_csv_formatter() { return formatter{csv_start_segment, csv_end_segment, csv_write_row}; }

} // namespace kova::bench::stats
