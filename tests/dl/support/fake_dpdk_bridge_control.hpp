// Access to the fake DPDK bridge's test controls, once the bridge's table has
// loaded it.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kova::bench::test {

class fake_dpdk_bridge {
public:
	fake_dpdk_bridge() : m_library{::dlopen("libkova_dpdk_bridge.so.2", RTLD_NOW | RTLD_NOLOAD)}
	{
		if (m_library == nullptr)
			throw std::runtime_error{"the fake DPDK bridge is not loaded"};
	}
	~fake_dpdk_bridge() { ::dlclose(m_library); }
	fake_dpdk_bridge(const fake_dpdk_bridge &) = delete;
	fake_dpdk_bridge &operator=(const fake_dpdk_bridge &) = delete;

	void reset() const { function<void (*)()>("fake_dpdk_reset")(); }
	void set_result(const char *name, int result) const
	{
		function<void (*)(const char *, int)>("fake_dpdk_set_result")(name, result);
	}
	void set_port_id(uint16_t port_id) const { function<void (*)(uint16_t)>("fake_dpdk_set_port_id")(port_id); }

	// One line per call, oldest first.
	[[nodiscard]] std::vector<std::string> calls() const
	{
		std::vector<std::string> lines;
		std::istringstream text{function<const char *(*)()>("fake_dpdk_calls")()};
		for (std::string line; std::getline(text, line);)
			lines.push_back(line);
		return lines;
	}

private:
	template <typename Function>
	Function function(const char *name) const
	{
		void *const address = ::dlsym(m_library, name);
		if (address == nullptr)
			throw std::runtime_error{std::string{"the fake DPDK bridge has no "} + name};
		return reinterpret_cast<Function>(address);
	}

	void *m_library;
};

} // namespace kova::bench::test
