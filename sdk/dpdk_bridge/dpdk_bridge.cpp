// DPDK bridge stand-in: each device gets a software port, a ring whose
// transmit side feeds its own receive side. The port is named after the
// device, so probing twice finds the port made the first time.
#include <kova/dpdk_bridge.h>

#include <rte_eal.h>
#include <rte_eth_ring.h>
#include <rte_ethdev.h>
#include <rte_lcore.h>
#include <rte_ring.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

constexpr unsigned ring_size = 1024;

// The name the device's ring and port are created with; the ring driver
// refuses names of 20 characters or more.
std::string device_name(const kova_dev *dev)
{
	char text[32];
	std::snprintf(text, sizeof(text), "kova_%" PRIxPTR, reinterpret_cast<uintptr_t>(dev));
	return text;
}

// The ring driver names the port after the name it was given.
std::string port_name(const kova_dev *dev)
{
	return "net_ring_" + device_name(dev);
}

bool eal_initialized()
{
	// Zero until rte_eal_init has set up the lcores.
	return rte_lcore_count() != 0;
}

} // namespace

KOVA_EXPORT kova_error kova_dpdk_port_probe(kova_dev *dev, const char *devargs)
{
	// The ring port takes no driver arguments; devargs meant for a hardware port are accepted and unused.
	(void)devargs;
	if (dev == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (!eal_initialized())
		return KOVA_ERROR_BAD_STATE;

	uint16_t existing = 0;
	if (rte_eth_dev_get_port_by_name(port_name(dev).c_str(), &existing) == 0)
		return KOVA_SUCCESS;

	std::string const name = device_name(dev);
	rte_ring *ring = rte_ring_create(name.c_str(), ring_size, rte_socket_id(), 0);
	if (ring == nullptr)
		return KOVA_ERROR_DRIVER;
	if (rte_eth_from_rings(name.c_str(), &ring, 1, &ring, 1, rte_socket_id()) < 0) {
		rte_ring_free(ring);
		return KOVA_ERROR_DRIVER;
	}
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_dpdk_get_first_port_id(const kova_dev *dev, uint16_t *port_id)
{
	if (dev == nullptr || port_id == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (!eal_initialized())
		return KOVA_ERROR_BAD_STATE;
	uint16_t port = 0;
	if (rte_eth_dev_get_port_by_name(port_name(dev).c_str(), &port) != 0)
		return KOVA_ERROR_NOT_FOUND;
	*port_id = port;
	return KOVA_SUCCESS;
}
