#include "ssh_peer.hpp"

#include "companion/remote_control.hpp"
#include "support/unused_port.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kova::test {
namespace {

using bench::utility::make_process;
using bench::utility::run_to_completion;

constexpr const char *sshd_program = "/usr/sbin/sshd";
constexpr const char *keygen_program = "/usr/bin/ssh-keygen";
constexpr const char *system_ssh_config = "/etc/ssh/ssh_config";

std::string read_file(const std::filesystem::path &path)
{
	std::ifstream file{path};
	std::stringstream text;
	text << file.rdbuf();
	return text.str();
}

void write_file(const std::filesystem::path &path, const std::string &text)
{
	std::ofstream file{path};
	file << text;
}

} // namespace

namespace {

bool accepts_connections(uint16_t port)
{
	int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return false;
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	address.sin_port = htons(port);
	bool const connected = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
	::close(fd);
	return connected;
}

std::string all_stderr(bench::utility::shell_process &process)
{
	std::string text;
	for (auto line = process.get_line_stderr(); line.has_value(); line = process.get_line_stderr())
		text += *line + "\n";
	return text;
}

} // namespace

ssh_peer::~ssh_peer()
{
	stop();
}

std::string ssh_peer::start()
{
	if (::geteuid() != 0)
		return "the ssh tests run as root (sshd must switch users)";
	for (const char *program : {sshd_program, keygen_program, bench::companion::remote_control::ssh_program}) {
		if (::access(program, X_OK) != 0)
			return std::string{program} + " is not installed";
	}

	char pattern[] = "/tmp/kova_ssh_peer_XXXXXX";
	if (::mkdtemp(pattern) == nullptr)
		return "cannot create a temporary directory";
	m_directory = pattern;

	if (auto error = generate_keys(); !error.empty())
		return error;
	if (auto error = run_sshd(); !error.empty())
		return error;
	return isolate_ssh_client();
}

void ssh_peer::stop()
{
	if (m_sshd) {
		m_sshd->abort(); // SIGTERM to the pid of the sshd started here
		m_sshd.reset();
	}
	if (!m_directory.empty()) {
		std::error_code ignored;
		std::filesystem::remove_all(m_directory, ignored);
		m_directory.clear();
	}
}

std::string ssh_peer::generate_keys()
{
	for (const char *name : {"host_key", "client_key"}) {
		auto keygen = make_process(keygen_program,
					   {"-q", "-t", "ed25519", "-N", "", "-C", "kova-test", "-f", (m_directory / name).string()});
		if (!run_to_completion(*keygen) || keygen->execution_failed())
			return "ssh-keygen failed: " + all_stderr(*keygen);
	}
	std::filesystem::copy_file(m_directory / "client_key.pub", m_directory / "authorized_keys");
	return {};
}

std::string ssh_peer::run_sshd()
{
	// sshd insists on its privilege separation directory.
	::mkdir("/run/sshd", 0755);

	const passwd *user = ::getpwuid(::geteuid());
	if (user == nullptr)
		return "cannot find the current user";

	for (int attempt = 0; attempt < 5; ++attempt) {
		try {
			m_port = unused_port();
		} catch (const std::runtime_error &) {
			return "cannot find a free port";
		}
		auto const config = m_directory / "sshd_config";
		write_file(config, "Port " + std::to_string(m_port) +
					   "\n"
					   "ListenAddress 127.0.0.1\n"
					   "HostKey " +
					   (m_directory / "host_key").string() +
					   "\n"
					   "AuthorizedKeysFile " +
					   (m_directory / "authorized_keys").string() +
					   "\n"
					   "AllowUsers " +
					   user->pw_name +
					   "\n"
					   "StrictModes no\n"
					   "PubkeyAuthentication yes\n"
					   "PasswordAuthentication no\n"
					   "KbdInteractiveAuthentication no\n"
					   "PermitRootLogin prohibit-password\n"
					   "UsePAM no\n"
					   "UseDNS no\n"
					   "PrintMotd no\n"
					   "PidFile none\n"
					   "LogLevel ERROR\n");
		m_sshd = make_process(sshd_program, {"-D", "-e", "-f", config.string()});
		if (!m_sshd->launch())
			return "cannot start sshd";

		auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
		while (std::chrono::steady_clock::now() < deadline) {
			if (accepts_connections(m_port)) {
				m_destination = std::string{user->pw_name} + "@127.0.0.1";
				write_file(m_directory / "known_hosts",
					   "[127.0.0.1]:" + std::to_string(m_port) + " " + read_file(m_directory / "host_key.pub"));
				return {};
			}
			if (m_sshd->join(bench::utility::shell_process::join_mode::non_blocking))
				break; // ended: most likely the port was taken in between
			std::this_thread::sleep_for(std::chrono::milliseconds{20});
		}
		m_sshd->collect_output(std::chrono::milliseconds{0});
		std::string const log = all_stderr(*m_sshd);
		m_sshd.reset();
		if (attempt == 4)
			return "sshd did not start: " + log;
	}
	return "sshd did not start";
}

std::string ssh_peer::isolate_ssh_client()
{
	auto const client_config = m_directory / "ssh_config";
	write_file(client_config, "Host *\n"
				  "  IdentityFile " +
					  (m_directory / "client_key").string() +
					  "\n"
					  "  IdentitiesOnly yes\n"
					  "  UserKnownHostsFile " +
					  (m_directory / "known_hosts").string() +
					  "\n"
					  "  GlobalKnownHostsFile /dev/null\n"
					  "  StrictHostKeyChecking yes\n"
					  "  BatchMode yes\n"
					  "  LogLevel ERROR\n");
	auto const empty_config = m_directory / "empty_user_config";
	write_file(empty_config, "");
	::chmod(empty_config.c_str(), 0600);

	// Mounts made from here on are seen by this process and its children only.
	if (::unshare(CLONE_NEWNS) != 0)
		return std::string{"unshare(CLONE_NEWNS) failed: "} + std::strerror(errno);
	if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
		return std::string{"cannot make the mounts private: "} + std::strerror(errno);
	if (::access(system_ssh_config, F_OK) != 0)
		return std::string{system_ssh_config} + " is missing";
	if (::mount(client_config.c_str(), system_ssh_config, nullptr, MS_BIND, nullptr) != 0)
		return std::string{"cannot bind the test ssh configuration: "} + std::strerror(errno);
	// The user's own configuration would take precedence: hide it (in this
	// namespace only) when there is one.
	const passwd *user = ::getpwuid(::geteuid());
	if (user != nullptr) {
		auto const user_config = std::filesystem::path{user->pw_dir} / ".ssh" / "config";
		if (std::filesystem::exists(user_config) &&
		    ::mount(empty_config.c_str(), user_config.c_str(), nullptr, MS_BIND, nullptr) != 0)
			return std::string{"cannot hide the user's ssh configuration: "} + std::strerror(errno);
	}
	return {};
}

void ssh_peer_suite::SetUpTestSuite()
{
	s_peer = new ssh_peer;
	s_skip_reason = s_peer->start();
}

void ssh_peer_suite::TearDownTestSuite()
{
	delete s_peer;
	s_peer = nullptr;
}

void ssh_peer_suite::SetUp()
{
	if (s_skip_reason.empty())
		return;
	const char *ci = std::getenv("CI");
	if (ci != nullptr && std::string{ci} == "true")
		FAIL() << "no ssh peer under CI: " << s_skip_reason;
	GTEST_SKIP() << s_skip_reason;
}

} // namespace kova::test
