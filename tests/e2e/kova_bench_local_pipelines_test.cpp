// End-to-end runs of the local offload pipelines: the real kova_bench over the real stand-in libraries,
// each pipeline for a bounded number of jobs, checked for its exit status and its final report.
#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string const kova_bench = std::string{KOVA_BIN_DIR} + "/kova_bench";

std::filesystem::path make_work_dir()
{
	auto dir = std::filesystem::temp_directory_path() / ("kova_local_pipelines_" + std::to_string(::getpid()));
	std::filesystem::create_directories(dir);
	return dir;
}

} // namespace

TEST(kova_bench_local_pipelines, every_local_pipeline_runs_and_reports)
{
	auto const dir = make_work_dir();
	// 32 bytes of key as hexadecimal text with a trailing newline, as a key file holds it.
	std::ofstream{dir / "aes.key"} << std::string(64, 'a') << "\n";
	std::string const key_file = (dir / "aes.key").string();
	// Text-like data compresses; the trial then sizes the compressed output exactly.
	{
		std::ofstream text{dir / "text.bin"};
		char const *const words[] = {"offload ", "engine ", "buffer ", "stream ", "kova "};
		for (std::size_t i = 0, size = 0; size < 65536; ++i) {
			std::string const word = words[(i * 7 + i / 3) % 5];
			text << word.substr(0, std::min(word.size(), 65536 - size));
			size += std::min(word.size(), 65536 - size);
		}
	}
	std::string const text_file = (dir / "text.bin").string();

	struct pipeline_case {
		const char *name;
		std::vector<std::string> args;
	};
	std::vector<pipeline_case> const cases{
		{"deflate compress", {"--pipeline-steps", "kova_compress::compress", "-a", "kova_compress.algorithm=deflate"}},
		{"deflate round trip sized by the trial",
		 {"--pipeline-steps", "kova_compress::compress,kova_compress::decompress", "-a",
		  "kova_compress.algorithm=deflate"}},
		{"deflate compress of text sized by the trial",
		 {"--pipeline-steps", "kova_compress::compress", "-a", "kova_compress.algorithm=deflate", "--data-provider",
		  "file", "--data-provider-input-file", text_file}},
		{"deflate round trip of text sized by the trial",
		 {"--pipeline-steps", "kova_compress::compress,kova_compress::decompress", "-a",
		  "kova_compress.algorithm=deflate", "--data-provider", "file", "--data-provider-input-file", text_file}},
		{"aes-gcm round trip with key file and aad",
		 {"--pipeline-steps", "kova_aes_gcm::encrypt,kova_aes_gcm::decrypt", "-a", "kova_aes_gcm.key-file=" + key_file,
		  "-a", "kova_aes_gcm.aad-size=16"}},
		{"sha256 batched",
		 {"--pipeline-steps", "kova_sha", "-a", "kova_sha.algorithm=sha256", "--batch-mode", "batch-submit",
		  "--batch-size", "4"}},
		{"ec create default", {"--pipeline-steps", "kova_ec::create"}},
		{"ec create 8+2",
		 {"--pipeline-steps", "kova_ec::create", "-a", "kova_ec.data_block_count=8", "-a",
		  "kova_ec.redundancy_block_count=2"}},
		{"ec recover", {"--pipeline-steps", "kova_ec::recover"}},
		{"ec update", {"--pipeline-steps", "kova_ec::update"}},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		std::vector<std::string> args{"--device", "03:00.0", "--core-list", "0", "--data-provider-job-count", "8",
					      "--uniform-job-size", "65536", "--run-limit-jobs", "200",
					      "--rt-stats-interval", "100000"};
		args.insert(args.end(), c.args.begin(), c.args.end());
		auto const result = kova::test::run_program(kova_bench, args);
		ASSERT_FALSE(result.timed_out);
		EXPECT_EQ(result.status, 0) << result.err;
		EXPECT_NE(result.out.find("[main] Completed! tearing down...\n"), std::string::npos) << result.out;
		auto const report_at = result.out.rfind("Aggregate stats");
		ASSERT_NE(report_at, std::string::npos) << result.out;
		auto const final_report = result.out.substr(report_at);
		EXPECT_NE(final_report.find("\tThroughput:"), std::string::npos) << final_report;
		EXPECT_NE(final_report.find("\tDequeued jobs: 200\n"), std::string::npos) << final_report;
	}
	std::filesystem::remove_all(dir);
}
