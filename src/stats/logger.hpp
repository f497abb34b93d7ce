// Writes the statistics of every completed permutation as one line of a CSV
// file, with columns chosen once from the value providers.
#pragma once

#include "kova_optional.hpp"
#include "stats/data_store.hpp"
#include "stats/formatter.hpp"
#include "stats/value_provider.hpp"

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace kova::bench::stats {

class logger {
public:
	enum class file_mode : uint8_t {
		append = 0,   // add lines after what the file holds
		truncate = 1, // start the file anew
	};

	struct configuration {
		kova::optional<std::string> directory;
		kova::optional<std::string> file_name;
		// Selection entries: a statistic id, a prefix ending in '*', either
		// optionally followed by ".<thread index>".
		std::vector<std::string> selected_stats;
		// Ids or prefixes ending in '*' whose columns are removed again.
		std::vector<std::string> deselected_stats;
		// Write the fixed-configuration values once, in their own segment.
		bool separate_fixed_values = false;
		// Write the environment values once, in their own segment.
		bool separate_environment_values = false;
		file_mode open_mode = file_mode::truncate;
	};

	// One column.
	struct record {
		std::string name;
		const value_provider *provider; // an entry of the engine's provider list
		thread_id thread;
	};

	// Selects the columns (KOVA_ERROR_INVALID_VALUE for a bad selection entry), opens the file
	// (KOVA_ERROR_NOT_FOUND "Unable to open file: "<path>"" when it cannot be opened) and,
	// when the file is empty, writes the header lines. providers must outlive
	// the logger.
	logger(formatter format, const configuration &config, const data_store &store,
	       const std::vector<value_provider> &providers);

	// Writes the value line of a stored permutation; a getter's error leaves
	// the file untouched. A line that cannot be written (a full disk) throws
	// KOVA_ERROR_IO_FAILED "Unable to write file: "<path>"", as does the
	// constructor for the header lines.
	void write_row(const data_store &store, permutation_id id);

private:
	void write_header(const std::string &segment, const std::vector<record> &records);
	void write_values(const data_store &store, permutation_id id, const std::vector<record> &records);
	void flush_or_throw();

	formatter m_formatter;
	std::vector<record> m_records;
	std::ofstream m_out;
	std::string m_path;
};

} // namespace kova::bench::stats
