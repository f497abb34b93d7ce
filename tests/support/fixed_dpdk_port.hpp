// A DPDK context that only names a port id: for the Ethernet queues, which read nothing else.
#pragma once

#include "utility/dpdk_common.hpp"

#include <cstdint>

namespace kova::test {

class fixed_dpdk_port : public kova::bench::utility::dpdk_context {
public:
	explicit fixed_dpdk_port(uint16_t id) : m_id{id} {}
	[[nodiscard]] uint16_t get_dev_port_id() const override { return m_id; }
	[[nodiscard]] bool is_dev_port_started() const override { return true; }
	void start_dev_port() override {}

private:
	uint16_t m_id;
};

} // namespace kova::test
