#include "peer_namespaces.hpp"

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace kova::test {
namespace {

std::string const netns_script = KOVA_NETNS_SCRIPT;
std::string const companion_program = std::string{KOVA_BIN_DIR} + "/kova_bench_companion";

std::string read_file(const std::filesystem::path &path)
{
	std::ifstream file{path};
	std::stringstream text;
	text << file.rdbuf();
	return text.str();
}

std::string env_value(const std::string &env, const std::string &name)
{
	std::istringstream lines{env};
	for (std::string line; std::getline(lines, line);) {
		if (line.rfind(name + "=", 0) == 0)
			return line.substr(name.size() + 1);
	}
	return {};
}

std::vector<pid_t> pids_of(const std::string &ns)
{
	auto const result = run_program("/usr/sbin/ip", {"netns", "pids", ns}, std::chrono::seconds{10});
	std::vector<pid_t> pids;
	std::istringstream words{result.out};
	for (pid_t pid = 0; words >> pid;)
		pids.push_back(pid);
	return pids;
}

std::map<std::string, uint64_t> read_counters(const std::filesystem::path &path)
{
	std::map<std::string, uint64_t> counters;
	std::istringstream lines{read_file(path)};
	std::string name;
	for (uint64_t value = 0; lines >> name >> value;)
		counters[name] = value;
	return counters;
}

} // namespace

std::string test_name(const std::string &text)
{
	std::string name;
	for (char const c : text)
		name += std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
	return name;
}

uint64_t last_number_after(const std::string &text, const std::string &label)
{
	std::size_t const at = text.rfind(label);
	if (at == std::string::npos)
		return 0;
	return std::strtoull(text.c_str() + at + label.size(), nullptr, 10);
}

peer_namespaces::~peer_namespaces()
{
	stop();
}

std::string peer_namespaces::start()
{
	if (::geteuid() != 0)
		return "network namespaces and sshd need root";
	char pattern[] = "/tmp/kova_e2e_peer_XXXXXX";
	if (::mkdtemp(pattern) == nullptr)
		return "cannot create a temporary directory";
	m_dir = pattern;
	auto const up = run_program("/bin/bash", {netns_script, "up", m_dir.string()}, std::chrono::seconds{60});
	if (up.status != 0) {
		std::filesystem::remove_all(m_dir);
		m_dir.clear();
		return "the namespaces could not be made: " + up.err;
	}
	std::string const env = read_file(m_dir / "env");
	m_host = env_value(env, "KOVA_NETNS_HOST");
	m_device = env_value(env, "KOVA_NETNS_DEVICE");
	m_device_address = env_value(env, "KOVA_NETNS_DEVICE_ADDR");
	m_user = env_value(env, "KOVA_NETNS_SSH_USER");
	m_sshd = static_cast<pid_t>(std::atoi(env_value(env, "KOVA_NETNS_SSHD_PID").c_str()));

	// The companion as the benchmark starts it over ssh, with a copy of its output and status.
	auto const wrapper = m_dir / "companion";
	// ssh passes no environment: a sanitizer build's options go in the wrapper.
	std::string sanitizer_options;
	for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
		if (const char *value = std::getenv(name))
			sanitizer_options += std::string{"export "} + name + "='" + value + "'\n";
	}
	std::ofstream{wrapper} << "#!/bin/bash\n"
			       << sanitizer_options
			       << "export LD_PRELOAD='" << KOVA_ETH_COUNTERS_LIBRARY << "' KOVA_E2E_ETH_IFACE=kovap0 KOVA_E2E_ETH_COUNTERS='"
			       << (m_dir / "companion_eth_counters").string() << "'\n"
			       << "'" << companion_program << "' \"$@\" > >(exec tee -a '" << (m_dir / "companion.out").string()
			       << "') 2>&1\n"
			       << "status=$?\n"
			       << "echo \"$status\" >'" << (m_dir / "companion.status").string() << "'\n"
			       << "exit \"$status\"\n";
	std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
	return {};
}

void peer_namespaces::stop()
{
	if (m_dir.empty())
		return;
	run_program("/bin/bash", {netns_script, "down", m_dir.string()}, std::chrono::seconds{60});
	std::filesystem::remove_all(m_dir);
	m_dir.clear();
}

std::string peer_namespaces::connection_string(const std::string &device, const std::string &extra)
{
	std::string text = "proto=tcp,user=" + m_user + ",addr=" + m_device_address +
			   ",port=" + std::to_string(m_next_port++) + ",dev=" + device;
	return extra.empty() ? text : text + "," + extra;
}

peer_run peer_namespaces::run_bench(std::vector<std::string> args, const std::string &eth_iface,
				    std::chrono::seconds limit, const std::function<void()> &during)
{
	auto const counters_file = m_dir / "eth_counters";
	for (const char *name : {"companion.out", "companion.status", "eth_counters", "companion_eth_counters"})
		std::filesystem::remove(m_dir / name);
	args.insert(args.end(), {"-a", "zopt.companion_app.path=" + (m_dir / "companion").string()});
	std::vector<std::string> command{netns_script,
					 "run",
					 m_dir.string(),
					 "/usr/bin/env",
					 std::string{"LD_PRELOAD="} + KOVA_ETH_COUNTERS_LIBRARY,
					 "KOVA_E2E_ETH_IFACE=" + eth_iface,
					 "KOVA_E2E_ETH_COUNTERS=" + counters_file.string(),
					 std::string{KOVA_BIN_DIR} + "/kova_bench"};
	command.insert(command.end(), args.begin(), args.end());

	peer_run run;
	auto const start = std::chrono::steady_clock::now();
	std::thread bench{[&] { run.bench = run_program("/bin/bash", command, limit); }};
	if (during)
		during();
	bench.join();
	run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);

	// The companion's wrapper may still be writing its status when the benchmark has ended.
	for (int i = 0; i < 50 && !std::filesystem::exists(m_dir / "companion.status"); ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds{100});
	run.companion_out = read_file(m_dir / "companion.out");
	run.companion_status = read_file(m_dir / "companion.status");
	if (!run.companion_status.empty() && run.companion_status.back() == '\n')
		run.companion_status.pop_back();
	run.eth_counters = read_counters(counters_file);
	run.companion_eth_counters = read_counters(m_dir / "companion_eth_counters");
	return run;
}

std::vector<pid_t> peer_namespaces::processes()
{
	std::vector<pid_t> left;
	for (auto const *ns : {&m_host, &m_device}) {
		for (pid_t const pid : pids_of(*ns)) {
			if (pid != m_sshd)
				left.push_back(pid);
		}
	}
	return left;
}

std::vector<pid_t> peer_namespaces::processes_left(std::chrono::seconds limit)
{
	auto const deadline = std::chrono::steady_clock::now() + limit;
	std::vector<pid_t> left = processes();
	while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
		std::this_thread::sleep_for(std::chrono::milliseconds{100});
		left = processes();
	}
	for (pid_t const pid : left)
		::kill(pid, SIGKILL);
	return left;
}

std::vector<pid_t> peer_namespaces::companion_processes()
{
	std::vector<pid_t> found;
	for (pid_t const pid : pids_of(m_device)) {
		std::error_code error;
		auto const program = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
		if (!error && program.filename() == "kova_bench_companion")
			found.push_back(pid);
	}
	return found;
}

bool peer_namespaces::set_host_link(const std::string &link, bool up)
{
	return run_program("/usr/sbin/ip", {"-n", m_host, "link", "set", link, up ? "up" : "down"}).status == 0;
}

void peer_suite::SetUpTestSuite()
{
	s_net = new peer_namespaces;
	s_reason = s_net->start();
}

void peer_suite::TearDownTestSuite()
{
	delete s_net;
	s_net = nullptr;
}

void peer_suite::SetUp()
{
	if (!s_reason.empty())
		missing(s_reason);
}

bool peer_suite::hugepages_free()
{
	std::ifstream pages{"/sys/kernel/mm/hugepages/hugepages-2048kB/free_hugepages"};
	uint64_t count = 0;
	return static_cast<bool>(pages >> count) && count > 0;
}

void peer_suite::missing(const std::string &why)
{
	const char *ci = std::getenv("CI");
	if (ci != nullptr && std::string{ci} == "true")
		FAIL() << "a prerequisite is missing under CI: " << why;
	GTEST_SKIP() << why;
}

} // namespace kova::test
