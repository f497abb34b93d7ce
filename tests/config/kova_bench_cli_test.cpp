// Runs the kova_bench program: its built-in help and version options and the
// exit status of a refused command line.
#include "impl/configuration_parser.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace kova::bench {
namespace {

// Printed before the command line is read.
std::string const banner = "[main] kova_bench : 2.9.0001\n[main] release build\n";

struct run_result {
	std::string output;
	int status;
};

// Standard output of kova_bench with the arguments (standard error is discarded).
run_result run_kova_bench(const std::string &arguments)
{
	std::string const command = std::string{KOVA_BIN_DIR} + "/kova_bench " + arguments + " 2>/dev/null";
	FILE *pipe = popen(command.c_str(), "r");
	if (pipe == nullptr)
		return {"", -1};
	std::string output;
	char buffer[4096];
	std::size_t n;
	while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0)
		output.append(buffer, n);
	int const status = pclose(pipe);
	return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(kova_bench_cli, help_lists_every_option_with_its_text_and_exits_0)
{
	run_result const result = run_kova_bench("--help");
	EXPECT_EQ(result.status, 0);
	std::size_t previous = 0;
	for (const auto &row : impl::options_in_registration_order()) {
		SCOPED_TRACE(row.long_name);
		std::string entry = row.short_name != nullptr ? std::string{"\n  -"} + row.short_name + ", --" + row.long_name
							      : std::string{"\n      --"} + row.long_name;
		if (row.value_type == utility::cfg_value_type::integer)
			entry += " <int>";
		else if (row.value_type == utility::cfg_value_type::string)
			entry += " <string>";
		std::size_t const at = result.output.find(entry);
		ASSERT_NE(at, std::string::npos);
		EXPECT_GT(at, previous) << "listed in registration order";
		previous = at;
		// Padding (or a line break and an indent), then the help text as given.
		std::size_t const text_at = result.output.find(row.description, at);
		ASSERT_NE(text_at, std::string::npos);
		std::string const gap = result.output.substr(at + entry.size(), text_at - at - entry.size());
		EXPECT_EQ(gap.find_first_not_of(" \n"), std::string::npos) << '"' << gap << '"';
		EXPECT_LE(std::count(gap.begin(), gap.end(), '\n'), 1);
		EXPECT_EQ(result.output[text_at + std::string{row.description}.size()], '\n');
	}
	EXPECT_EQ(result.output.rfind(banner + "Usage: kova_bench [OPTIONS]\n", 0), 0u);
}

TEST(kova_bench_cli, version_prints_both_versions_and_exits_0)
{
	run_result const result = run_kova_bench("--sweep core-count,1,2 --version --mode fast");
	EXPECT_EQ(result.status, 0);
	EXPECT_EQ(result.output,
		  banner + "KOVA SDK     Version (Compilation): 2.9.0001\nKOVA Runtime Version (Runtime):     2.9.0001\n");
	EXPECT_EQ(run_kova_bench("-v").status, 0);
}

TEST(kova_bench_cli, refused_command_lines_exit_1)
{
	for (const char *arguments : {"--mode fast", "-o x", "--bogus", "-s 1 -J 2"}) {
		SCOPED_TRACE(arguments);
		EXPECT_EQ(run_kova_bench(arguments).status, 1);
	}
}

} // namespace
} // namespace kova::bench
