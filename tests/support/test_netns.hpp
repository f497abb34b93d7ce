// Network namespaces for the tests that carry frames: the shell runner, the CI switch, the hugepage check
// and a "host" and "device" pair joined by a data wire (kovap0 on both sides) and a control link.
#pragma once

#include <string>

namespace kova::test {

// Runs a shell command with its output discarded; true when it exits 0.
bool run_quietly(const std::string &command);

// True under CI (CI=true), where a missing prerequisite fails the test instead of skipping it.
bool under_ci();

// True when a 2 MiB hugepage is free (DPDK's environment needs one).
bool hugepages_free();

// Two namespaces "<prefix>h<pid>" and "<prefix>d<pid>": the data wire kovap0 between them, a control link
// 192.0.2.1 (host) to 192.0.2.2 (device), IPv6 off. Both are removed on destruction (and any left by an
// earlier process of the same id before creation).
class host_and_device {
public:
	explicit host_and_device(const std::string &prefix);
	host_and_device(const host_and_device &) = delete;
	host_and_device &operator=(const host_and_device &) = delete;
	~host_and_device();

	[[nodiscard]] bool ready() const { return m_ready; }
	[[nodiscard]] const std::string &host() const { return m_host; }
	[[nodiscard]] const std::string &device() const { return m_device; }

private:
	void remove();

	std::string m_prefix;
	std::string m_host;
	std::string m_device;
	bool m_ready = false;
};

} // namespace kova::test
