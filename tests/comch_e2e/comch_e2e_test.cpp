// kova_bench's comch pipelines against a companion started by hand on loopback: both pipelines,
// a sweep that builds and tears down the workers per permutation, and the capability record.
#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string const kova_bench = std::string{KOVA_BIN_DIR} + "/kova_bench";
std::string const kova_bench_companion = std::string{KOVA_BIN_DIR} + "/kova_bench_companion";

// A companion serving one benchmark run on a port of its own; its standard output goes to a file.
class companion {
public:
	// With a counters path, the companion writes the stand-in's comch counters there when it ends.
	explicit companion(uint16_t port, const std::string &counters_path = "")
		: m_port{port}, m_out{fs::temp_directory_path() / ("kova_comch_e2e_" + std::to_string(::getpid()) + "_" +
								    std::to_string(port) + ".out")}
	{
		std::string const port_text = std::to_string(m_port);
		std::string const out = m_out.string();
		m_pid = ::fork();
		if (m_pid == 0) {
			int const file = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
			::dup2(file, STDOUT_FILENO);
			if (!counters_path.empty()) {
				::setenv("LD_PRELOAD", KOVA_COMCH_COUNTERS_LIBRARY, 1);
				::setenv("KOVA_E2E_COMCH_COUNTERS", counters_path.c_str(), 1);
			}
			::execl(kova_bench_companion.c_str(), kova_bench_companion.c_str(), "--device", "03:00.0",
				"--method", "main", "--comms-type", "tcp", "--tcp-port", port_text.c_str(),
				static_cast<char *>(nullptr));
			::_exit(127);
		}
	}
	~companion()
	{
		wait_exit();
		fs::remove(m_out);
	}
	companion(const companion &) = delete;
	companion &operator=(const companion &) = delete;

	// The exit status once the companion ended by itself within 5 s; killed by its id and -1 otherwise.
	int wait_exit()
	{
		if (m_pid <= 0)
			return m_status;
		for (int i = 0; i < 100; ++i) {
			int status = 0;
			if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
				m_pid = -1;
				m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
				return m_status;
			}
			std::this_thread::sleep_for(std::chrono::milliseconds{50});
		}
		::kill(m_pid, SIGKILL);
		::waitpid(m_pid, nullptr, 0);
		m_pid = -1;
		m_status = -1;
		return m_status;
	}

	[[nodiscard]] std::string output() const
	{
		std::ifstream file{m_out};
		std::stringstream text;
		text << file.rdbuf();
		return text.str();
	}

	[[nodiscard]] std::string connection_string() const
	{
		return "proto=tcp,addr=127.0.0.1,port=" + std::to_string(m_port) + ",dev=0000:03:00.0,no-launch";
	}

private:
	uint16_t m_port;
	fs::path m_out;
	pid_t m_pid = -1;
	int m_status = -1;
};

std::vector<std::string> comch_args(const std::string &step, const companion &peer, const char *seconds = "3")
{
	return {"--device", "03:00.1", "--core-list", "1,2", "--pipeline-steps", step, "--uniform-job-size", "4096",
		"--data-provider-job-count", "16", "--run-limit-seconds", seconds, "--companion-connection-string",
		peer.connection_string(), "--companion-core-list", "4,5"};
}

// The dequeued jobs of each worker thread's final statistics, in the order printed.
std::vector<uint64_t> thread_dequeued_jobs(const std::string &out)
{
	std::vector<uint64_t> jobs;
	auto const completed = out.find("[main] Completed!");
	if (completed == std::string::npos)
		return jobs;
	for (auto at = out.find("Worker thread[", completed); at != std::string::npos; at = out.find("Worker thread[", at + 1)) {
		auto const count = out.find("Dequeued jobs:", at);
		if (count == std::string::npos)
			break;
		jobs.push_back(std::stoull(out.substr(count + 14)));
	}
	return jobs;
}

// {worker type, server name} of every "[<type> worker <id>] connected on <name>" line.
std::vector<std::pair<std::string, std::string>> connected_workers(const std::string &out)
{
	std::vector<std::pair<std::string, std::string>> found;
	std::regex const line{R"(\[(comch_\w+) worker \d+\] connected on (cc_server\d+))"};
	for (std::sregex_iterator it{out.begin(), out.end(), line}, end; it != end; ++it)
		found.emplace_back((*it)[1], (*it)[2]);
	return found;
}

// True once no server of these names has its socket any more (the group ended), within 5 s.
bool groups_ended(const std::set<std::string> &names)
{
	for (int i = 0; i < 100; ++i) {
		bool any = false;
		for (auto const &name : names)
			any = any || fs::exists(fs::path{"/tmp/kova_comch"} / name);
		if (!any)
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds{50});
	}
	return false;
}

// The "name value" lines of a counters file that the preload wrote; empty when it wrote none.
std::map<std::string, uint64_t> read_counters(const fs::path &path)
{
	std::map<std::string, uint64_t> counters;
	std::ifstream in{path};
	std::string name;
	uint64_t value = 0;
	while (in >> name >> value)
		counters[name] = value;
	return counters;
}

// The values of a one-permutation CSV file's data segment, by column name.
std::map<std::string, uint64_t> csv_data_row(const fs::path &path)
{
	std::ifstream in{path};
	std::string text{std::istreambuf_iterator<char>{in}, std::istreambuf_iterator<char>{}};
	std::map<std::string, uint64_t> row;
	auto split = [](const std::string &line) {
		std::vector<std::string> fields;
		std::stringstream stream{line};
		for (std::string field; std::getline(stream, field, ',');)
			fields.push_back(field);
		return fields;
	};
	std::vector<std::string> lines;
	std::stringstream stream{text};
	for (std::string line; std::getline(stream, line);)
		lines.push_back(line);
	for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
		auto const names = split(lines[i]);
		if (names.empty() || names[0].find("stats.") != 0)
			continue;
		auto const values = split(lines[i + 1]);
		for (std::size_t k = 0; k < names.size() && k < values.size(); ++k)
			row[names[k]] = std::stoull(values[k]);
		break;
	}
	return row;
}

// The warm-up jobs of every worker thread, summed ("Worker thread[i] Executing N warm-up tasks").
uint64_t warm_up_jobs(const std::string &out)
{
	uint64_t sum = 0;
	std::regex const line{R"(Worker thread\[\d+\] Executing (\d+) warm-up tasks)"};
	for (std::sregex_iterator it{out.begin(), out.end(), line}, end; it != end; ++it)
		sum += std::stoull((*it)[1]);
	return sum;
}

struct pipeline_case {
	const char *step;
	const char *worker_type;
	uint16_t port;
	const char *warm_up_jobs; // null: the default (none)
};

// Each pipeline against the companion's workers; the stand-in's counters in both programs then
// account for every byte kova_bench reports. Jobs are 4096 bytes and complete only once the peer
// placed (producer step) or the step received (consumer step) their message, so with W warm-up jobs:
// - "kova_comch::producer": the bytes kova_bench's producers had placed = its reported input bytes
//   + W x 4096 = the bytes the companion's consumer workers received;
// - "kova_comch::consumer": the bytes kova_bench's consumers received = its reported output bytes
//   + W x 4096 = the bytes the companion's producer workers had placed.
// The step's own side fails no task: every job it started ended before the teardown.
TEST(comch_e2e, both_pipelines_run_on_two_threads_against_two_companion_workers_and_the_channel_counts_their_bytes)
{
	for (auto const &c : {pipeline_case{"kova_comch::producer", "comch_consumer", 36140, nullptr},
			      pipeline_case{"kova_comch::consumer", "comch_producer", 36141, nullptr},
			      pipeline_case{"kova_comch::producer", "comch_consumer", 36144, "20"}}) {
		SCOPED_TRACE(std::string{c.step} + (c.warm_up_jobs != nullptr ? " with warm-up" : ""));
		std::string const stem = "kova_comch_e2e_" + std::to_string(::getpid()) + "_" + std::to_string(c.port);
		fs::path const bench_counters = fs::temp_directory_path() / (stem + ".bench_counters");
		fs::path const peer_counters = fs::temp_directory_path() / (stem + ".peer_counters");
		fs::path const csv = fs::temp_directory_path() / (stem + ".csv");
		for (auto const &path : {bench_counters, peer_counters, csv})
			fs::remove(path);
		companion peer{c.port, peer_counters.string()};
		auto args = comch_args(c.step, peer);
		args.insert(args.end(), {"--csv-output-file", csv.string(), "--csv-stats",
					 "stats.input.byte_count,stats.output.byte_count"});
		if (c.warm_up_jobs != nullptr)
			args.insert(args.end(), {"--warm-up-jobs", c.warm_up_jobs});
		auto const result = kova::test::run_program(
			kova_bench, args,
			{std::string{"LD_PRELOAD="} + KOVA_COMCH_COUNTERS_LIBRARY,
			 "KOVA_E2E_COMCH_COUNTERS=" + bench_counters.string()},
			std::chrono::seconds{60});
		ASSERT_FALSE(result.timed_out);
		EXPECT_EQ(result.status, 0) << result.out << result.err;
		EXPECT_NE(result.out.find("[main] Completed!"), std::string::npos);
		auto const jobs = thread_dequeued_jobs(result.out);
		ASSERT_EQ(jobs.size(), 2u) << result.out;
		EXPECT_GT(jobs[0], 0u);
		EXPECT_GT(jobs[1], 0u);

		EXPECT_EQ(peer.wait_exit(), 0) << "the companion did not end with the bye";
		auto const workers = connected_workers(peer.output());
		ASSERT_EQ(workers.size(), 2u) << peer.output();
		EXPECT_EQ(workers[0].first, c.worker_type);
		EXPECT_EQ(workers[1].first, c.worker_type);
		EXPECT_NE(workers[0].second, workers[1].second);
		EXPECT_TRUE(groups_ended({workers[0].second, workers[1].second}));

		auto const reported = csv_data_row(csv);
		auto const bench = read_counters(bench_counters);
		auto const remote = read_counters(peer_counters);
		fs::remove(csv);
		fs::remove(bench_counters);
		fs::remove(peer_counters);
		ASSERT_EQ(reported.count("stats.input.byte_count"), 1u) << "no reported bytes";
		ASSERT_FALSE(bench.empty()) << "kova_bench wrote no comch counters";
		ASSERT_FALSE(remote.empty()) << "the companion wrote no comch counters";
		uint64_t const warm_up = warm_up_jobs(result.out);
		EXPECT_EQ(warm_up, c.warm_up_jobs != nullptr ? 2 * std::stoull(c.warm_up_jobs) : 0) << result.out;
		uint64_t const warm_up_bytes = warm_up * 4096;
		bool const producer_step = c.worker_type == std::string{"comch_consumer"};
		uint64_t const step_bytes = producer_step ? reported.at("stats.input.byte_count")
							  : reported.at("stats.output.byte_count");
		EXPECT_GT(step_bytes, 0u);
		EXPECT_EQ(step_bytes % 4096, 0u);
		// The counter names of each end: the step's own, then the companion worker's.
		struct end_keys {
			const char *contexts;
			const char *messages;
			const char *bytes;
			const char *failed;
		};
		end_keys const sending{"producers", "sent_messages", "sent_bytes", "sends_failed"};
		end_keys const receiving{"consumers", "received_messages", "received_bytes", "receives_failed"};
		end_keys const &own = producer_step ? sending : receiving;
		end_keys const &far = producer_step ? receiving : sending;
		EXPECT_EQ(bench.at(own.contexts), 2u);
		EXPECT_EQ(remote.at(far.contexts), 2u);
		EXPECT_EQ(bench.at(own.bytes), step_bytes + warm_up_bytes);
		EXPECT_EQ(bench.at(own.messages) * 4096, bench.at(own.bytes));
		EXPECT_EQ(bench.at(own.failed), 0u);
		EXPECT_EQ(remote.at(far.bytes), bench.at(own.bytes));
		EXPECT_EQ(remote.at(far.messages), bench.at(own.messages));
	}
}

TEST(comch_e2e, a_two_value_sweep_builds_and_ends_the_workers_of_each_permutation)
{
	companion peer{36142};
	auto args = comch_args("kova_comch::producer", peer, "1");
	args.insert(args.end(), {"--sweep", "core-count,1,2,+1"});
	auto const result = kova::test::run_program(kova_bench, args, std::chrono::seconds{60});
	ASSERT_FALSE(result.timed_out);
	EXPECT_EQ(result.status, 0) << result.out << result.err;
	EXPECT_EQ(peer.wait_exit(), 0);
	// One worker for the one-core permutation, two for the two-core one, each on a name of its own.
	auto const workers = connected_workers(peer.output());
	std::set<std::string> names;
	for (auto const &[type, name] : workers) {
		EXPECT_EQ(type, "comch_consumer");
		names.insert(name);
	}
	EXPECT_EQ(workers.size(), 3u) << peer.output();
	EXPECT_EQ(names.size(), 3u);
	EXPECT_TRUE(groups_ended(names));
}

TEST(comch_e2e, device_capabilities_show_the_comch_record)
{
	auto const result =
		kova::test::run_program(kova_bench, {"--query", "device-capabilities", "--device", "03:00.1"});
	ASSERT_EQ(result.status, 0) << result.err;
	auto const at = result.out.find("kova_comch:\n");
	ASSERT_NE(at, std::string::npos) << result.out;
	std::string const record = result.out.substr(at, result.out.find("kova_compress:\n") - at);
	for (const char *line : {"\tInstalled: yes\n", "\t\tMax message size: ", "\t\tMax number clients: ",
				 "\t\tMax name length: 64\n", "\t\tconsumer: \n\t\t\tSupported: yes\n",
				 "\t\tproducer: \n\t\t\tSupported: yes\n", "Max consumers: ", "Max producers: "}) {
		SCOPED_TRACE(line);
		EXPECT_NE(record.find(line), std::string::npos) << record;
	}
}

// kova_bench copied next to a library folder that holds every library of the build but the comch one.
class hidden_comch_library : public ::testing::Test {
protected:
	void SetUp() override
	{
		m_root = fs::temp_directory_path() / ("kova_comch_e2e_hidden_" + std::to_string(::getpid()));
		fs::create_directories(m_root / "bin");
		fs::create_directories(m_root / "lib");
		fs::copy_file(kova_bench, m_root / "bin" / "kova_bench", fs::copy_options::overwrite_existing);
		for (auto const &entry : fs::directory_iterator{KOVA_LIB_DIR}) {
			std::string const name = entry.path().filename().string();
			if (name.rfind("libkova_comch.so", 0) == 0)
				continue;
			fs::create_symlink(entry.path(), m_root / "lib" / name);
		}
	}
	void TearDown() override { fs::remove_all(m_root); }

	[[nodiscard]] std::string bench() const { return (m_root / "bin" / "kova_bench").string(); }

private:
	fs::path m_root;
};

TEST_F(hidden_comch_library, the_record_says_not_installed_and_a_comch_pipeline_is_refused)
{
	auto const query = kova::test::run_program(bench(), {"--query", "device-capabilities", "--device", "03:00.1"});
	ASSERT_EQ(query.status, 0) << query.err;
	auto const at = query.out.find("kova_comch:\n");
	ASSERT_NE(at, std::string::npos) << query.out;
	std::string const record = query.out.substr(at, query.out.find("kova_compress:\n") - at);
	EXPECT_NE(record.find("\tInstalled: no\n"), std::string::npos) << record;
	EXPECT_EQ(record.find("consumer"), std::string::npos) << record;

	companion peer{36143};
	auto const run = kova::test::run_program(bench(), comch_args("kova_comch::producer", peer), std::chrono::seconds{60});
	ASSERT_FALSE(run.timed_out);
	EXPECT_EQ(run.status, 1);
	EXPECT_NE((run.out + run.err).find("kova_comch library is not installed"), std::string::npos)
		<< run.out << run.err;
}

} // namespace
