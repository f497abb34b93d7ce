// DPDK bridge stand-in: each device gets a software port, a ring whose
// transmit side feeds its own receive side. The port is named after the
// device, so probing twice, or through another handle of the same device,
// finds the port made the first time.
#include <kova/dev.h>
#include <kova/dpdk_bridge.h>

#include <rte_eal.h>
#include <rte_eth_ring.h>
#include <rte_ethdev.h>
#include <rte_lcore.h>
#include <rte_ring.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

constexpr unsigned ring_size = 1024;
// The ring driver refuses names of this length or longer.
constexpr std::size_t max_ring_name_length = 20;

// The name of the device's ring: its InfiniBand name, which identifies the device; a name too long for the
// ring driver is replaced by a hash of it. Empty for a null or unknown device.
std::string device_name(const kova_dev *dev)
{
	const kova_devinfo *const info = kova_dev_as_devinfo(dev);
	char ibdev[KOVA_DEVINFO_NAME_SIZE] = {};
	if (info == nullptr || kova_devinfo_get_ibdev_name(info, ibdev, sizeof(ibdev)) != KOVA_SUCCESS || ibdev[0] == 0)
		return {};
	std::string name{ibdev};
	if (name.size() < max_ring_name_length)
		return name;
	uint32_t hash = 2166136261U; // FNV-1a
	for (unsigned char const c : name)
		hash = (hash ^ c) * 16777619U;
	char text[16];
	std::snprintf(text, sizeof(text), "kova_%08x", hash);
	return text;
}

// The ring driver names the port after the name it was given.
std::string port_name(const std::string &device)
{
	return "net_ring_" + device;
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
	std::string const name = device_name(dev);
	if (name.empty())
		return KOVA_ERROR_INVALID_VALUE;
	if (!eal_initialized())
		return KOVA_ERROR_BAD_STATE;

	uint16_t existing = 0;
	if (rte_eth_dev_get_port_by_name(port_name(name).c_str(), &existing) == 0)
		return KOVA_SUCCESS;

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
	std::string const name = device_name(dev);
	if (name.empty() || port_id == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (!eal_initialized())
		return KOVA_ERROR_BAD_STATE;
	uint16_t port = 0;
	if (rte_eth_dev_get_port_by_name(port_name(name).c_str(), &port) != 0)
		return KOVA_ERROR_NOT_FOUND;
	*port_id = port;
	return KOVA_SUCCESS;
}
