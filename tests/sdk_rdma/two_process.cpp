#include "two_process.hpp"

#include <kova/error.h>
#include <kova/test_control.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace kova::rdma_test {
namespace {

void write_all(int fd, const void *data, std::size_t len)
{
	auto const *p = static_cast<const char *>(data);
	while (len != 0) {
		ssize_t const n = ::write(fd, p, len);
		if (n <= 0)
			throw std::runtime_error("control line closed");
		p += n;
		len -= static_cast<std::size_t>(n);
	}
}

void read_all(int fd, void *data, std::size_t len)
{
	auto *p = static_cast<char *>(data);
	while (len != 0) {
		ssize_t const n = ::read(fd, p, len);
		if (n <= 0)
			throw std::runtime_error("control line closed");
		p += n;
		len -= static_cast<std::size_t>(n);
	}
}

int run_command(const std::string &command)
{
	return std::system((command + " >/dev/null 2>&1").c_str());
}

} // namespace

void control_line::send_bytes(const std::vector<uint8_t> &bytes) const
{
	uint32_t const size = static_cast<uint32_t>(bytes.size());
	write_all(m_fd, &size, sizeof(size));
	write_all(m_fd, bytes.data(), bytes.size());
}

std::vector<uint8_t> control_line::receive_bytes() const
{
	uint32_t size = 0;
	read_all(m_fd, &size, sizeof(size));
	std::vector<uint8_t> bytes(size);
	read_all(m_fd, bytes.data(), bytes.size());
	return bytes;
}

void control_line::send_byte(char byte) const
{
	write_all(m_fd, &byte, 1);
}

char control_line::receive_byte(int limit_ms) const
{
	pollfd p{m_fd, POLLIN, 0};
	if (::poll(&p, 1, limit_ms) != 1)
		return 0;
	char byte = 0;
	return ::read(m_fd, &byte, 1) == 1 ? byte : 0;
}

veth_pair::~veth_pair()
{
	if (!m_created)
		return;
	// Removing a namespace removes the veth end inside it, and with it the pair.
	for (const auto &name : netns)
		run_command("ip netns delete " + name);
}

namespace {

// Namespaces of an earlier test process that was killed before its destructor ran: their names end in
// "<pid>x<serial>" and that process is gone.
void remove_stale_namespaces()
{
	std::error_code error;
	for (auto const &entry : std::filesystem::directory_iterator{"/run/netns", error}) {
		std::string const name = entry.path().filename().string();
		if (name.rfind("krdA", 0) != 0 && name.rfind("krdB", 0) != 0)
			continue;
		pid_t const owner = static_cast<pid_t>(std::atoi(name.c_str() + 4));
		if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH)
			run_command("ip netns delete " + name);
	}
}

} // namespace

bool veth_pair::create(std::string &reason)
{
	static std::atomic<int> serial{0};
	std::string const id = std::to_string(::getpid()) + "x" + std::to_string(serial++);
	netns[0] = "krdA" + id;
	netns[1] = "krdB" + id;
	iface[0] = "krA" + id;
	iface[1] = "krB" + id;
	if (::geteuid() != 0) {
		reason = "network namespaces need root";
		return false;
	}
	remove_stale_namespaces();
	if (iface[0].size() > 15) {
		reason = "interface name too long: " + iface[0];
		return false;
	}
	if (run_command("ip netns add " + netns[0]) != 0) {
		reason = "ip netns add failed";
		return false;
	}
	m_created = true;
	std::vector<std::string> const commands = {
		"ip netns add " + netns[1],
		"ip link add " + iface[0] + " netns " + netns[0] + " type veth peer name " + iface[1] + " netns " + netns[1],
		"ip -n " + netns[0] + " addr add 10.201.0.1/24 dev " + iface[0],
		"ip -n " + netns[1] + " addr add 10.201.0.2/24 dev " + iface[1],
		"ip -n " + netns[0] + " link set " + iface[0] + " up",
		"ip -n " + netns[1] + " link set " + iface[1] + " up",
		"ip -n " + netns[0] + " link set lo up",
		"ip -n " + netns[1] + " link set lo up",
	};
	for (const auto &command : commands) {
		if (run_command(command) != 0) {
			reason = "failed: " + command;
			return false;
		}
	}
	return true;
}

bool veth_pair::set_link(int side, bool up)
{
	return run_command("ip -n " + netns[side] + " link set " + iface[side] + (up ? " up" : " down")) == 0;
}

child spawn(const std::string &netns, const std::string &iface, const child_body &body)
{
	int fds[2];
	if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
		throw std::runtime_error("socketpair failed");
	std::fflush(nullptr);
	pid_t const pid = ::fork();
	if (pid < 0)
		throw std::runtime_error("fork failed");
	if (pid > 0) {
		::close(fds[1]);
		return child{pid, fds[0]};
	}
	::close(fds[0]);
	int status = 1;
	try {
		if (!netns.empty()) {
			int const ns = ::open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
			if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) {
				std::fprintf(stderr, "cannot enter %s\n", netns.c_str());
				::_exit(2);
			}
			::close(ns);
		}
		kova_test_reset();
		if (!iface.empty()) {
			kova_test_device const device{"03:00.0", "krdma0", iface.c_str(), 0, nullptr, 0};
			if (kova_test_set_device_table(&device, 1) != KOVA_SUCCESS) {
				std::fprintf(stderr, "cannot set the device table\n");
				::_exit(2);
			}
		}
		status = body(control_line{fds[1]});
	} catch (const std::exception &e) {
		std::fprintf(stderr, "child failed: %s\n", e.what());
		status = 3;
	}
	std::fflush(nullptr);
	::_exit(status);
}

int wait_child(child &c, int limit_ms)
{
	auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds{limit_ms};
	int status = 0;
	while (true) {
		pid_t const done = ::waitpid(c.pid, &status, WNOHANG);
		if (done == c.pid)
			break;
		if (std::chrono::steady_clock::now() > deadline) {
			::kill(c.pid, SIGKILL);
			::waitpid(c.pid, &status, 0);
			status = -1;
			break;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds{5});
	}
	if (c.fd >= 0)
		::close(c.fd);
	c.fd = -1;
	c.pid = -1;
	if (status == -1)
		return -1;
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace kova::rdma_test
