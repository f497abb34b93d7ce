// Runs a program with arguments and collects its standard output, standard error and exit status.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace kova::test {

struct program_result {
	std::string out;
	std::string err;
	int status = -1; // exit status, or 128 + signal
	bool timed_out = false;
};

program_result run_program(const std::string &path, const std::vector<std::string> &args,
			   std::chrono::seconds limit = std::chrono::seconds{60});

// As above, with "NAME=value" entries added to the program's environment (an entry replaces a
// variable of the same name).
program_result run_program(const std::string &path, const std::vector<std::string> &args,
			   const std::vector<std::string> &extra_environment, std::chrono::seconds limit);

} // namespace kova::test
