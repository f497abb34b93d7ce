// End-to-end tests of kova_bench running its pipelines: the real program over the stand-in DMA
// library, checked for its exit status and the structure of its reports, never for speed.
#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string const kova_bench = std::string{KOVA_BIN_DIR} + "/kova_bench";

// The DMA benchmark of the demo; the callers add a short run limit.
std::vector<std::string> dma_args(std::vector<std::string> extra, const std::string &core_list = "0,1",
				  const std::string &job_size = "4096")
{
	std::vector<std::string> args{"--device",
				      "03:00.0",
				      "--pipeline-steps",
				      "kova_dma",
				      "--core-list",
				      core_list,
				      "--data-provider-job-count",
				      "64",
				      "--uniform-job-size",
				      job_size,
				      "--rt-stats-interval",
				      "300"};
	args.insert(args.end(), extra.begin(), extra.end());
	return args;
}

std::size_t count(const std::string &text, const std::string &what)
{
	std::size_t n = 0;
	for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
		++n;
	return n;
}

// The text from the first occurrence of `from` up to the next occurrence of `to` (or the end).
std::string between(const std::string &text, const std::string &from, const std::string &to)
{
	auto const start = text.find(from);
	if (start == std::string::npos)
		return {};
	auto const end = text.find(to, start + from.size());
	return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The number after "<label>:" in the first line of the block that carries the label.
uint64_t value_of(const std::string &block, const std::string &label)
{
	auto const at = block.find(label + ":");
	if (at == std::string::npos)
		return UINT64_MAX;
	return std::strtoull(block.c_str() + at + label.size() + 1, nullptr, 10);
}

// Fields of one CSV line; double quotes group a field that holds commas.
std::vector<std::string> csv_fields(const std::string &line)
{
	std::vector<std::string> fields(1);
	bool quoted = false;
	for (char const c : line) {
		if (c == '"')
			quoted = !quoted;
		else if (c == ',' && !quoted)
			fields.emplace_back();
		else
			fields.back() += c;
	}
	return fields;
}

class temporary_directory {
public:
	temporary_directory()
	{
		std::string pattern = (std::filesystem::temp_directory_path() / "kova_e2e_XXXXXX").string();
		if (::mkdtemp(pattern.data()) == nullptr)
			throw std::runtime_error("mkdtemp failed");
		m_path = pattern;
	}
	~temporary_directory() { std::filesystem::remove_all(m_path); }
	temporary_directory(const temporary_directory &) = delete;
	temporary_directory &operator=(const temporary_directory &) = delete;

	[[nodiscard]] std::string file(const std::string &name) const { return (m_path / name).string(); }

private:
	std::filesystem::path m_path;
};

// The header line and the value lines of a CSV file.
std::vector<std::vector<std::string>> read_csv(const std::string &path)
{
	std::ifstream in{path};
	std::vector<std::vector<std::string>> lines;
	for (std::string line; std::getline(in, line);) {
		if (!line.empty())
			lines.push_back(csv_fields(line));
	}
	return lines;
}

std::string column(const std::vector<std::vector<std::string>> &csv, std::size_t row, const std::string &name)
{
	auto const &header = csv.at(0);
	for (std::size_t i = 0; i != header.size(); ++i) {
		if (header[i] == name)
			return csv.at(row).at(i);
	}
	return "<no column " + name + ">";
}

// A finished single-permutation run: its phases in order, at least one intermediate report while
// the threads ran, and a final report after the completion message whose counts balance.
void expect_completed_run(const kova::test::program_result &result)
{
	ASSERT_FALSE(result.timed_out);
	EXPECT_EQ(result.status, 0) << result.err;
	EXPECT_EQ(result.err, "");
	auto const &out = result.out;
	auto const preparing = out.find("Preparing...\n");
	auto const executing = out.find("Executing...\n");
	auto const cleanup = out.find("Cleanup...\n");
	auto const completed = out.find("[main] Completed! tearing down...\n");
	ASSERT_NE(completed, std::string::npos) << out;
	EXPECT_LT(out.find("[main] Start execution...\n"), preparing);
	EXPECT_LT(preparing, executing);
	EXPECT_LT(executing, cleanup);
	EXPECT_LT(cleanup, completed);
	EXPECT_EQ(count(out, "Worker thread[0](core: 0) [kova_dma] started...\n"), 1u);
	EXPECT_EQ(count(out, "Worker thread[1](core: 1) [kova_dma] started...\n"), 1u);

	std::string const final_report = out.substr(completed);
	std::string const aggregate = between(final_report, "Aggregate stats\n", "\nWorker");
	ASSERT_FALSE(aggregate.empty()) << final_report;
	EXPECT_NE(aggregate.find("Throughput:"), std::string::npos);
	EXPECT_GT(value_of(aggregate, "Enqueued jobs"), 0u);
	EXPECT_EQ(value_of(aggregate, "Enqueued jobs"), value_of(aggregate, "Dequeued jobs"));
	EXPECT_NE(final_report.find("Pipeline: [kova_dma]"), std::string::npos);
}

} // namespace

TEST(kova_bench_run, throughput_reports_intermediate_and_final_statistics)
{
	auto const result = kova::test::run_program(kova_bench, dma_args({"--run-limit-seconds", "1"}));
	expect_completed_run(result);
	std::string const running = between(result.out, "Executing...\n", "Cleanup...\n");
	EXPECT_GE(count(running, "Aggregate stats\n"), 1u) << running;
}

TEST(kova_bench_run, latency_modes_write_csv_rows)
{
	struct latency_case {
		const char *name;
		std::vector<std::string> args;
		const char *console_marker;
		const char *csv_column;
	};
	std::vector<latency_case> const cases{
		{"bulk latency", {"--mode", "bulk-latency", "--run-limit-seconds", "1"}, "Latency report:\n",
		 "stats.bulk-latency.b[1]"},
		{"precision latency", {"--mode", "precision-latency", "--run-limit-jobs", "2000"}, "\t99th %ile:",
		 "stats.latency.99th %ile"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		temporary_directory const dir;
		std::string const csv_path = dir.file("stats.csv");
		auto args = c.args;
		args.insert(args.end(), {"--csv-output-file", csv_path});
		auto const result = kova::test::run_program(kova_bench, dma_args(args));
		expect_completed_run(result);
		std::string const final_report = result.out.substr(result.out.find("[main] Completed!"));
		EXPECT_NE(final_report.find(c.console_marker), std::string::npos) << final_report;

		auto const csv = read_csv(csv_path);
		ASSERT_EQ(csv.size(), 2u);
		EXPECT_EQ(csv[0].size(), csv[1].size());
		EXPECT_NE(column(csv, 1, c.csv_column), "");
		EXPECT_NE(column(csv, 1, "stats.output.job_count"), "0");
	}
}

TEST(kova_bench_run, precision_latency_measures_every_job_of_its_limit)
{
	auto const result = kova::test::run_program(
		kova_bench, dma_args({"--mode", "precision-latency", "--run-limit-jobs", "500"}, "0"));
	ASSERT_EQ(result.status, 0) << result.err;
	std::string const final_report = result.out.substr(result.out.find("[main] Completed!"));
	EXPECT_EQ(value_of(between(final_report, "Aggregate stats\n", "min:"), "Dequeued jobs"), 500u) << final_report;
}

TEST(kova_bench_run, sweep_runs_and_reports_every_permutation)
{
	auto const result = kova::test::run_program(
		kova_bench, dma_args({"--run-limit-seconds", "1", "--sweep", "core-count,1,2,+1"}));
	ASSERT_FALSE(result.timed_out);
	EXPECT_EQ(result.status, 0) << result.err;
	auto const &out = result.out;
	std::vector<std::string> const phases{
		"Preparing permutation 1 of 2...\n", "Executing permutation 1 of 2...\n", "Cleanup permutation 1 of 2...\n",
		"Preparing permutation 2 of 2...\n", "Executing permutation 2 of 2...\n", "Cleanup permutation 2 of 2...\n",
		"[main] Completed! tearing down...\n",
	};
	std::size_t at = 0;
	for (auto const &phase : phases) {
		SCOPED_TRACE(phase);
		auto const found = out.find(phase, at);
		ASSERT_NE(found, std::string::npos) << out;
		at = found;
	}
	// The first permutation's final report comes before the second is prepared, the second's after
	// the completion message.
	EXPECT_NE(between(out, "Cleanup permutation 1 of 2...\n", "Preparing permutation 2 of 2").find("Aggregate stats\n"),
		  std::string::npos);
	EXPECT_NE(out.substr(out.find("[main] Completed!")).find("Aggregate stats\n"), std::string::npos);
	EXPECT_EQ(count(between(out, "Executing permutation 1 of 2", "Cleanup permutation 1"), "started...\n"), 1u);
	EXPECT_EQ(count(between(out, "Executing permutation 2 of 2", "Cleanup permutation 2"), "started...\n"), 2u);
}

TEST(kova_bench_run, output_buffers_are_sized_by_the_trial_unless_given)
{
	struct sizing_case {
		const char *name;
		std::vector<std::string> args;
		const char *expected;
	};
	std::vector<sizing_case> const cases{
		{"measured", {}, "3000"},
		{"given", {"--job-output-buffer-size", "8192"}, "8192"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		temporary_directory const dir;
		std::string const csv_path = dir.file("stats.csv");
		auto args = c.args;
		args.insert(args.end(), {"--run-limit-seconds", "1", "--csv-output-file", csv_path});
		auto const result = kova::test::run_program(kova_bench, dma_args(args, "0", "3000"));
		ASSERT_EQ(result.status, 0) << result.err;
		auto const csv = read_csv(csv_path);
		ASSERT_EQ(csv.size(), 2u);
		EXPECT_EQ(column(csv, 1, "cfg.data_provider.output_buffer_size"), c.expected);
	}
}

TEST(kova_bench_run, failed_task_fails_the_run)
{
	auto const result = kova::test::run_program(kova_bench, dma_args({"--run-limit-seconds", "1"}),
						    {std::string{"LD_PRELOAD="} + KOVA_TASK_FAULT_LIBRARY},
						    std::chrono::seconds{60});
	ASSERT_FALSE(result.timed_out);
	EXPECT_EQ(result.status, 1);
	EXPECT_EQ(count(result.err, "Unrecoverable error(KOVA_ERROR_DRIVER) when retrieving kova_task result\n"), 1u)
		<< result.err;
	EXPECT_NE(result.err.find("\tmessage: \"Benchmark failed critically, see logs for more info\"\n"),
		  std::string::npos)
		<< result.err;
	EXPECT_EQ(result.out.find("[main] Completed!"), std::string::npos);
}

// A device that stalls fails the run after the stall limit, without a second wait for it. What it
// still holds is reported and left to it: the stand-in logs no free or destroy it had to refuse.
TEST(kova_bench_run, a_stalled_device_fails_the_run_and_keeps_what_it_holds)
{
	auto const start = std::chrono::steady_clock::now();
	auto const result = kova::test::run_program(kova_bench, dma_args({"--run-limit-jobs", "1000"}, "0"),
						    {std::string{"LD_PRELOAD="} + KOVA_STALLED_DEVICE_LIBRARY},
						    std::chrono::seconds{120});
	auto const elapsed = std::chrono::steady_clock::now() - start;
	ASSERT_FALSE(result.timed_out);
	EXPECT_EQ(result.status, 1);
	std::string const both = result.out + result.err;
	EXPECT_EQ(count(both, "\tmessage: \"WT [0] Stuck after 30 seconds. Enqueue count: 64, dequeue count: 0\"\n"), 1u)
		<< both;
	EXPECT_EQ(count(both, "Unable to stop kova_dma ctx: 64 tasks in flight on a stalled device are left to it\n"), 1u)
		<< both;
	EXPECT_EQ(both.find("[kova]["), std::string::npos) << "the stand-in refused a free or destroy:\n" << both;
	EXPECT_LT(elapsed, std::chrono::seconds{50}) << "the run waited for the stalled device again";
}

TEST(kova_bench_run, a_csv_file_that_cannot_be_written_fails_the_run_naming_it)
{
	auto const result = kova::test::run_program(
		kova_bench, dma_args({"--run-limit-jobs", "100", "--csv-output-file", "/dev/full"}, "0"));
	ASSERT_FALSE(result.timed_out);
	EXPECT_EQ(result.status, 1);
	EXPECT_NE(result.err.find("\tcode: \"KOVA_ERROR_IO_FAILED\"\n\tmessage: \"Unable to write file: \"/dev/full\"\"\n"),
		  std::string::npos)
		<< result.err;
}

TEST(kova_bench_run, precision_latency_with_a_byte_limit_is_refused_before_anything_is_set_up)
{
	auto const result = kova::test::run_program(
		kova_bench, dma_args({"--mode", "precision-latency", "--run-limit-bytes", "4096"}, "0"));
	ASSERT_FALSE(result.timed_out);
	EXPECT_EQ(result.status, 1);
	EXPECT_NE(result.out.find("[main] Configuration error . Fields [run-limit-bytes]. Message: A run-limit-bytes "
				  "value cannot be used with precision latency mode.\n"),
		  std::string::npos)
		<< result.out;
	EXPECT_EQ(result.out.find("[main] Initialize framework..."), std::string::npos);
}

TEST(kova_bench_run, unreachable_companion_fails_the_run)
{
	// ssh to a closed port on loopback: the companion never starts.
	auto const result = kova::test::run_program(
		kova_bench, dma_args({"--run-limit-seconds", "1", "--companion-connection-string",
				      "proto=tcp,port=23456,addr=127.0.0.1,ssh-port=1,dev=03:00.0"}));
	ASSERT_FALSE(result.timed_out);
	EXPECT_EQ(result.status, 1);
	EXPECT_NE(result.err.find("Failed to Execute companion app."), std::string::npos) << result.err;
	EXPECT_EQ(result.out.find("Executing"), std::string::npos);
}

TEST(kova_bench_run, device_capabilities_query_lists_the_offload_libraries)
{
	auto const result =
		kova::test::run_program(kova_bench, {"--query", "device-capabilities", "--device", "03:00.0"});
	ASSERT_EQ(result.status, 0) << result.err;
	auto const &out = result.out;
	for (const char *library : {"kova_aes_gcm:\n", "kova_comch:\n", "kova_compress:\n", "kova_dma:\n", "kova_ec:\n",
				    "kova_eth:\n", "kova_rdma:\n", "kova_sha:\n"}) {
		SCOPED_TRACE(library);
		EXPECT_EQ(count(out, std::string{"\n"} + library + "\tCapable: yes\n"), 1u);
	}
	std::string const dma = between(out, "kova_dma:\n", "kova_ec:\n");
	EXPECT_NE(dma.find("\tInstalled: yes\n\tLib path: "), std::string::npos) << dma;
	EXPECT_NE(dma.find("libkova_dma.so.2\n\tTasks: \n\t\tmemcpy: \n\t\t\tSupported: yes\n\t\t\tMax buffer length: "
			   "2097152\n"),
		  std::string::npos)
		<< dma;
}

TEST(kova_bench_run, device_capabilities_query_needs_a_device)
{
	struct query_case {
		const char *name;
		std::vector<std::string> args;
		const char *message;
	};
	std::vector<query_case> const cases{
		{"no device", {"--query", "device-capabilities"}, "device-capabilities requires a device to be specified"},
		{"unknown device",
		 {"--query", "device-capabilities", "--device", "07:00.0"},
		 "No suitable device found matching address: 07:00.0"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		auto const result = kova::test::run_program(kova_bench, c.args);
		EXPECT_EQ(result.status, 1);
		EXPECT_NE(result.err.find(std::string{"\tmessage: \""} + c.message + "\"\n"), std::string::npos)
			<< result.err;
	}
}
