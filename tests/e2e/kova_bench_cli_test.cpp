// End-to-end tests of kova_bench's front end: the real program's standard output,
// standard error and exit status against golden files in tests/e2e/data/.
// KOVA_UPDATE_GOLDEN=1 rewrites the golden files from the program's output.
#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string const data_dir = std::string{KOVA_TEST_SOURCE_DIR} + "/e2e/data/";

std::string read_file(const std::string &path)
{
	std::ifstream in{path, std::ios::binary};
	std::ostringstream content;
	content << in.rdbuf();
	return content.str();
}

void compare_with_golden(const std::string &actual, const std::string &file)
{
	std::string const path = data_dir + file;
	if (std::getenv("KOVA_UPDATE_GOLDEN") != nullptr) {
		std::ofstream{path, std::ios::binary} << actual;
		ADD_FAILURE() << "golden file rewritten, compare it by hand: " << path;
		return;
	}
	EXPECT_EQ(actual, read_file(path)) << "golden file " << path;
}

struct cli_case {
	const char *name;
	std::vector<std::string> args;
	int status;
};

} // namespace

TEST(kova_bench_cli, output_matches_golden_files)
{
	std::vector<cli_case> const cases{
		{"validation_errors", {"--pipeline-steps", "kova_dma"}, 1},
		{"output_cwd_refused", {"-o", "out"}, 1},
		{"query_sweep_properties", {"--query", "sweep-properties"}, 0},
		{"query_unknown", {"--query", "foo"}, 0},
		{"bad_mode", {"--mode", "fast"}, 1},
		{"sweep_printout",
		 {"--device", "03:00.0", "--pipeline-steps", "kova_dma", "--core-list", "1-2", "--sweep", "core-count,1,2,+1",
		  "--data-provider-job-count", "8", "--run-limit-seconds", "1"},
		 1},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		auto const result = kova::test::run_program(std::string{KOVA_BIN_DIR} + "/kova_bench", c.args);
		ASSERT_FALSE(result.timed_out);
		EXPECT_EQ(result.status, c.status);
		compare_with_golden(result.out, std::string{c.name} + ".stdout");
		compare_with_golden(result.err, std::string{c.name} + ".stderr");
	}
}

TEST(kova_bench_cli, exception_report_names_the_throw_site)
{
	auto const result = kova::test::run_program(std::string{KOVA_BIN_DIR} + "/kova_bench", {"-o", "out"});
	EXPECT_EQ(result.status, 1);
	EXPECT_NE(result.err.find("\tcode: \"KOVA_ERROR_NOT_SUPPORTED\"\n"), std::string::npos) << result.err;
	EXPECT_NE(result.err.find("\tmessage: \"-o --output-cwd is not yet supported\"\n"), std::string::npos);
	EXPECT_NE(result.err.find(":set_output_cwd:"), std::string::npos);
}
