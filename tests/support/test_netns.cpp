// Network namespaces for the tests that carry frames.
#include "support/test_netns.hpp"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>

namespace kova::test {

bool run_quietly(const std::string &command)
{
	return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool under_ci()
{
	const char *ci = std::getenv("CI");
	return ci != nullptr && std::string{ci} == "true";
}

bool hugepages_free()
{
	std::ifstream pages{"/sys/kernel/mm/hugepages/hugepages-2048kB/free_hugepages"};
	uint64_t count = 0;
	return static_cast<bool>(pages >> count) && count > 0;
}

host_and_device::host_and_device(const std::string &prefix)
	: m_prefix{prefix}, m_host{prefix + "h" + std::to_string(::getpid())},
	  m_device{prefix + "d" + std::to_string(::getpid())}
{
	remove();
	std::string const peer = m_prefix + "peer";
	std::string const control_host = m_prefix + "c0";
	std::string const control_device = m_prefix + "c1";
	std::string const no_ipv6 = " sh -c 'echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6 &&"
				    " echo 1 >/proc/sys/net/ipv6/conf/default/disable_ipv6'";
	m_ready = run_quietly("ip netns add " + m_host) && run_quietly("ip netns add " + m_device) &&
		  run_quietly("ip netns exec " + m_host + no_ipv6) && run_quietly("ip netns exec " + m_device + no_ipv6) &&
		  run_quietly("ip -n " + m_host + " link add kovap0 type veth peer name " + peer + " netns " + m_device) &&
		  run_quietly("ip -n " + m_device + " link set " + peer + " name kovap0") &&
		  run_quietly("ip -n " + m_host + " link add " + control_host + " type veth peer name " + control_device +
			      " netns " + m_device) &&
		  run_quietly("ip -n " + m_host + " addr add 192.0.2.1/24 dev " + control_host) &&
		  run_quietly("ip -n " + m_device + " addr add 192.0.2.2/24 dev " + control_device);
	for (auto const &link : {std::string{"kovap0"}, control_host, std::string{"lo"}})
		m_ready = m_ready && run_quietly("ip -n " + m_host + " link set " + link + " up");
	for (auto const &link : {std::string{"kovap0"}, control_device, std::string{"lo"}})
		m_ready = m_ready && run_quietly("ip -n " + m_device + " link set " + link + " up");
}

host_and_device::~host_and_device()
{
	remove();
}

void host_and_device::remove()
{
	run_quietly("ip netns del " + m_host);
	run_quietly("ip netns del " + m_device);
}

} // namespace kova::test
