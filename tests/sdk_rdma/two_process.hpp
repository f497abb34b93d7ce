// Two forked processes, each one end of an RDMA connection, on loopback or each in a network
// namespace of its own joined by a veth pair that the test creates and removes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kova::rdma_test {

// The control line between the test and one child (a socket pair).
class control_line {
public:
	explicit control_line(int fd) : m_fd{fd} {}
	void send_bytes(const std::vector<uint8_t> &bytes) const;
	std::vector<uint8_t> receive_bytes() const;
	void send_byte(char byte) const;
	// 0 when nothing arrived within the limit.
	char receive_byte(int limit_ms) const;
	[[nodiscard]] int fd() const { return m_fd; }

private:
	int m_fd;
};

// A child's body: 0 when every check held (failures are printed to standard error).
using child_body = std::function<int(const control_line &)>;

// Two namespaces joined by a veth pair; removed by the destructor. Empty names: loopback only.
class veth_pair {
public:
	veth_pair() = default;
	~veth_pair();
	veth_pair(const veth_pair &) = delete;
	veth_pair &operator=(const veth_pair &) = delete;

	// Creates the pair; false (with the reason) when the machine does not allow it.
	bool create(std::string &reason);
	// Sets one side's end of the pair up or down; false when ip failed.
	bool set_link(int side, bool up);
	std::string netns[2];
	std::string iface[2];

private:
	bool m_created = false;
};

struct child {
	pid_t pid = -1;
	int fd = -1;
};

// Forks a child that enters the namespace (when named), gives its device the interface and runs
// the body; the child never returns.
child spawn(const std::string &netns, const std::string &iface, const child_body &body);

// Waits for a child's exit status (128 + signal when killed); -1 at the limit (then kills it).
int wait_child(child &c, int limit_ms);

} // namespace kova::rdma_test
