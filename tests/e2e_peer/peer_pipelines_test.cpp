// Every peer pipeline as a user runs it: kova_bench in the host namespace starts the shipped
// companion over ssh in the device namespace and runs the pipeline for two seconds. One row per
// pipeline; a row's check compares the counts that the stand-ins and the companion keep with what
// kova_bench reported.
#include "peer_namespaces.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using kova::test::last_number_after;
using kova::test::peer_run;

uint64_t dequeued_jobs(const peer_run &r)
{
	return last_number_after(r.bench.out, "Dequeued jobs: ");
}

uint64_t eth_drops(const std::map<std::string, uint64_t> &counters)
{
	uint64_t sum = 0;
	for (auto const &[name, value] : counters) {
		if (name.rfind("rx_dropped_", 0) == 0)
			sum += value;
	}
	return sum;
}

// kova_eth::tx: every frame the benchmark sent was taken by the kernel, and the companion's
// "eth_recv" worker received it unless its stand-in counted it as dropped.
void eth_tx_counts(const peer_run &r)
{
	uint64_t const sent = dequeued_jobs(r);
	ASSERT_FALSE(r.eth_counters.empty()) << "no counters written";
	ASSERT_FALSE(r.companion_eth_counters.empty()) << "the companion wrote no counters";
	EXPECT_EQ(r.eth_counters.at("tx_frames"), sent);
	EXPECT_EQ(r.eth_counters.at("tx_failed"), 0U);
	uint64_t const received = last_number_after(r.companion_out, "Companion App received ");
	EXPECT_EQ(r.companion_eth_counters.at("rx_frames"), received);
	EXPECT_EQ(received, sent - eth_drops(r.companion_eth_counters))
		<< "dropped " << eth_drops(r.companion_eth_counters) << "\n" << r.companion_out;
}

// kova_eth::rx: the benchmark received what the companion's "eth_send" worker sent, less the
// frames the stand-in counted as dropped.
void eth_rx_counts(const peer_run &r)
{
	uint64_t const received = dequeued_jobs(r);
	uint64_t const sent = last_number_after(r.companion_out, "Companion App transmitted ");
	ASSERT_FALSE(r.eth_counters.empty()) << "no counters written";
	EXPECT_EQ(r.eth_counters.at("rx_frames"), received);
	EXPECT_GT(sent, 0U) << r.companion_out;
	EXPECT_EQ(received, sent - eth_drops(r.eth_counters))
		<< "sent " << sent << ", dropped " << eth_drops(r.eth_counters) << "\n" << r.companion_out;
}

// kova_tessel::eth_tx: the companion's "eth_recv" worker received frames of the GPU send kernel, at
// most as many as the stand-in sent, which failed none of them; the kernel's reported count differs from
// the stand-in's only by frames sent outside the measured window (before the counters' baseline and
// after the last reading).
void gpu_eth_tx_counts(const peer_run &r)
{
	uint64_t const reported = dequeued_jobs(r);
	ASSERT_FALSE(r.eth_counters.empty()) << "no counters written";
	EXPECT_EQ(r.eth_counters.at("tx_failed"), 0U);
	uint64_t const sent = r.eth_counters.at("tx_frames");
	EXPECT_GE(sent, reported);
	EXPECT_LE(sent - std::min(sent, reported), 4U * 2048U + reported / 20) << "sent " << sent;
	uint64_t const received = last_number_after(r.companion_out, "Companion App received ");
	EXPECT_GT(received, 0U) << r.companion_out;
	EXPECT_LE(received, sent) << r.companion_out;
}

// kova_tessel::eth_rx: the kernel counted no frame the stand-in did not place in the GPU receive queues'
// memory, and missed none but those placed outside the measured window (before the counters' baseline
// and after the last reading: a few receive calls of at most 2048 frames), and they came from the
// companion's "eth_send" worker.
void gpu_eth_rx_counts(const peer_run &r)
{
	uint64_t const received = dequeued_jobs(r);
	uint64_t const sent = last_number_after(r.companion_out, "Companion App transmitted ");
	ASSERT_FALSE(r.eth_counters.empty()) << "no counters written";
	uint64_t const placed = r.eth_counters.at("rx_frames");
	EXPECT_GE(placed, received);
	EXPECT_LE(placed - std::min(placed, received), 4U * 2048U + received / 20) << "placed " << placed;
	EXPECT_GT(sent, 0U) << r.companion_out;
	EXPECT_LE(received, sent) << r.companion_out;
}

// kova_tessel::eth_bidir: the companion's "eth_bidir" worker received frames and sent them back.
void gpu_eth_bidir_counts(const peer_run &r)
{
	EXPECT_GT(last_number_after(r.companion_out, "Companion App received "), 0U) << r.companion_out;
	EXPECT_GT(last_number_after(r.companion_out, "Companion App sent "), 0U) << r.companion_out;
}

// The last rate after the last occurrence of `label`; 0 when there is none.
double last_rate_after(const std::string &text, const std::string &label)
{
	std::size_t const at = text.rfind(label);
	return at == std::string::npos ? 0 : std::strtod(text.c_str() + at + label.size(), nullptr);
}

// kova_tessel::rdma_gpu: the benchmark's GPU receive kernel counted the bytes of the messages that
// the companion's "rdma_gpu_send" kernel sent. Its row warms up first: the companion's kernel may be
// launched after the benchmark's measurement has begun, which on two loaded cores can take seconds.
void gpu_bytes_counted(const peer_run &r)
{
	EXPECT_GT(last_rate_after(r.bench.out, "Ingress rate:  "), 0.0) << r.bench.out;
}

// The fields of one CSV line; a field in double quotes may hold commas.
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

struct peer_row {
	const char *name;
	const char *device;    // the device's PCI address on both sides
	const char *eth_iface; // the interface whose stand-in counters are read, "" for none
	bool needs_hugepages;  // DPDK's environment is set up on both sides
	std::vector<std::string> args;
	void (*check)(const peer_run &); // nullptr: no counters to compare
};

void PrintTo(const peer_row &row, std::ostream *out)
{
	*out << row.name;
}

// clang-format off
std::vector<peer_row> const peer_rows = {
	{"kova_dma remote input", "03:00.0", "", false,
	 {"--pipeline-steps", "kova_dma", "--use-remote-input-buffers", "--uniform-job-size", "4096", "--data-provider-job-count", "16"}, nullptr},
	{"kova_dma remote output", "03:00.0", "", false,
	 {"--pipeline-steps", "kova_dma", "--use-remote-output-buffers", "--uniform-job-size", "4096", "--data-provider-job-count", "16"}, nullptr},
	{"kova_rdma::send", "03:00.1", "", false,
	 {"--pipeline-steps", "kova_rdma::send", "--uniform-job-size", "65536", "--data-provider-job-count", "8"}, nullptr},
	{"kova_rdma::receive", "03:00.1", "", false,
	 {"--pipeline-steps", "kova_rdma::receive", "--uniform-job-size", "65536", "--data-provider-job-count", "8"}, nullptr},
	{"kova_comch::producer", "03:00.1", "", false,
	 {"--pipeline-steps", "kova_comch::producer", "--uniform-job-size", "4096", "--data-provider-job-count", "16"}, nullptr},
	{"kova_comch::consumer", "03:00.1", "", false,
	 {"--pipeline-steps", "kova_comch::consumer", "--uniform-job-size", "4096", "--data-provider-job-count", "16"}, nullptr},
	{"kova_tessel::rdma_gpu", "03:00.1", "", false,
	 {"--gpu", "65:00.0", "--pipeline-steps", "kova_tessel::rdma_gpu", "--uniform-job-size", "4096", "--data-provider-job-count", "8",
	  "--warm-up-jobs", "64"}, gpu_bytes_counted},
	{"kova_tessel::nop", "03:00.1", "", false,
	 {"--gpu", "65:00.0", "--pipeline-steps", "kova_tessel::nop", "--uniform-job-size", "4096", "--data-provider-job-count", "8"}, nullptr},
	{"kova_eth::tx", "03:00.0", "kovap0", true,
	 {"--pipeline-steps", "kova_eth::tx", "--uniform-job-size", "64", "--data-provider-job-count", "64"}, eth_tx_counts},
	{"kova_eth::rx", "03:00.0", "kovap0", true,
	 {"--pipeline-steps", "kova_eth::rx", "--uniform-job-size", "64", "--data-provider-job-count", "64"}, eth_rx_counts},
	{"kova_tessel::eth_tx", "03:00.0", "kovap0", true,
	 {"--gpu", "65:00.0", "--pipeline-steps", "kova_tessel::eth_tx", "--uniform-job-size", "64", "--data-provider-job-count", "64"}, gpu_eth_tx_counts},
	{"kova_tessel::eth_rx", "03:00.0", "kovap0", true,
	 {"--gpu", "65:00.0", "--pipeline-steps", "kova_tessel::eth_rx", "--uniform-job-size", "64", "--data-provider-job-count", "64"}, gpu_eth_rx_counts},
	{"kova_tessel::eth_bidir", "03:00.0", "kovap0", true,
	 {"--gpu", "65:00.0", "--pipeline-steps", "kova_tessel::eth_bidir", "--uniform-job-size", "64", "--data-provider-job-count", "64"}, gpu_eth_bidir_counts},
};
// clang-format on

class peer_pipelines : public kova::test::peer_suite {
protected:
	// A row that gives kova_bench a GPU gives the companion the same one, through the connection string.
	static std::string gpu_key(const peer_row &row)
	{
		auto const gpu = std::find(row.args.begin(), row.args.end(), "--gpu");
		return gpu == row.args.end() || gpu + 1 == row.args.end() ? std::string{} : "gpu=" + *(gpu + 1);
	}

	static peer_run run_row(const peer_row &row, const std::vector<std::string> &more = {})
	{
		std::vector<std::string> args{"--device", row.device, "--core-list", "0", "--run-limit-seconds", "2",
					      "--companion-connection-string", s_net->connection_string(row.device, gpu_key(row)),
					      "--companion-core-list", "1"};
		args.insert(args.end(), row.args.begin(), row.args.end());
		args.insert(args.end(), more.begin(), more.end());
		return s_net->run_bench(args, row.eth_iface, std::chrono::seconds{90});
	}

	static void expect_a_clean_run(const peer_run &r)
	{
		ASSERT_FALSE(r.bench.timed_out);
		EXPECT_EQ(r.bench.status, 0) << r.bench.out << r.bench.err;
		EXPECT_NE(r.bench.out.find("[main] Completed!"), std::string::npos);
		EXPECT_EQ(r.companion_status, "0") << r.companion_out;
		EXPECT_GT(dequeued_jobs(r), 0U) << r.bench.out;
		EXPECT_GT(last_number_after(r.bench.out, "Throughput:    "), 0U) << r.bench.out;
		EXPECT_EQ(s_net->processes_left(std::chrono::seconds{10}), std::vector<pid_t>{});
	}
};

class peer_pipeline_rows : public peer_pipelines, public ::testing::WithParamInterface<peer_row> {};

TEST_P(peer_pipeline_rows, runs_across_the_namespaces_with_the_companion_launched_over_ssh)
{
	peer_row const &row = GetParam();
	if (row.needs_hugepages && !hugepages_free()) {
		missing("no free 2 MiB hugepages for DPDK");
		return;
	}
	peer_run const r = run_row(row);
	expect_a_clean_run(r);
	if (row.check != nullptr)
		row.check(r);
}

INSTANTIATE_TEST_SUITE_P(every_peer_pipeline, peer_pipeline_rows, ::testing::ValuesIn(peer_rows),
			 [](const ::testing::TestParamInfo<peer_row> &info) { return kova::test::test_name(info.param.name); });

TEST_F(peer_pipelines, environment_information_describes_the_device_side)
{
	auto const csv = std::filesystem::temp_directory_path() / ("kova_e2e_peer_env_" + std::to_string(::getpid()) + ".csv");
	peer_run const r = run_row(peer_rows.front(), {"--enable-environment-information", "--csv-output-file", csv.string()});
	expect_a_clean_run(r);

	std::ifstream file{csv};
	std::string header;
	std::string values;
	std::getline(file, header);
	std::getline(file, values);
	std::filesystem::remove(csv);
	std::vector<std::string> const names = csv_fields(header);
	std::vector<std::string> const cells = csv_fields(values);
	// Both sides describe themselves; the companion's side is the device namespace, whose host name
	// differs from this one's.
	ASSERT_EQ(names.size(), cells.size()) << header << "\n" << values;
	std::vector<std::string> hostnames;
	for (std::size_t i = 0; i != names.size(); ++i) {
		if (names[i] == "host.hostname")
			hostnames.push_back(cells[i]);
	}
	char own[256] = {};
	::gethostname(own, sizeof(own) - 1);
	EXPECT_EQ(hostnames, (std::vector<std::string>{"kova-device", own})) << header << "\n" << values;
}

} // namespace
