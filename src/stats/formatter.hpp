// How the statistics logger spells header lines and value lines.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kova::bench::stats {

struct formatter {
	// Header line of a segment (without line end), from its name and column names.
	std::function<std::string(const std::string &segment_name, const std::vector<std::string> &column_names)>
		start_segment;
	// Text that closes a segment.
	std::function<std::string()> end_segment;
	// Value line (without line end).
	std::function<std::string(const std::vector<std::string> &values)> write_row;
};

// Comma-separated fields, quoted only where a field needs it.
formatter make_csv_formatter();

} // namespace kova::bench::stats
