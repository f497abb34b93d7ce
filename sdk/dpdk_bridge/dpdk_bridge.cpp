// DPDK bridge stand-in: each device gets a software port of port_queues queue
// pairs, each a ring whose transmit side feeds its own receive side. The port
// is named after the device, so probing twice, or through another handle of
// the same device, finds the port made the first time.
//
// The device's frames are carried on its network interface by the Ethernet
// library's queues, which compute IPv4, UDP and TCP checksums in software.
// The bridge therefore presents its ports as the device they stand for:
// rte_eth_dev_info_get, rte_eth_dev_configure and rte_eth_tx_queue_setup of
// this library (found first through the bridge's handle) offer those checksum
// offloads and an MTU of up to port_max_mtu, refuse with -EINVAL (and a log
// line naming it) an offload or MTU the port does not offer, and hand DPDK's
// own functions (the next definition in the loader's order) what the ring
// port takes: the same request without the software offloads.
#include <kova/dev.h>
#include <kova/dpdk_bridge.h>

#include <rte_eal.h>
#include <rte_eth_ring.h>
#include <rte_ethdev.h>
#include <rte_lcore.h>
#include <rte_ring.h>

#include <dlfcn.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

constexpr unsigned ring_size = 1024;
// Queue pairs of a port: what a configuration may ask for at most.
constexpr uint16_t port_queues = 16;
// The largest MTU the device's port offers.
constexpr uint16_t port_max_mtu = 9000;
// Offloads the Ethernet library does in software.
constexpr uint64_t software_tx_offloads =
	RTE_ETH_TX_OFFLOAD_IPV4_CKSUM | RTE_ETH_TX_OFFLOAD_UDP_CKSUM | RTE_ETH_TX_OFFLOAD_TCP_CKSUM;

// Ports the bridge made, by port id (a plain table: nothing of the C++ library's templates is
// exported from here).
struct bridge_ports {
	std::mutex mutex;
	bool made[UINT16_MAX + 1] = {};
};

bridge_ports &ports()
{
	static bridge_ports instance;
	return instance;
}

void remember_port(uint16_t port_id)
{
	bridge_ports &p = ports();
	std::lock_guard const lock{p.mutex};
	p.made[port_id] = true;
}

bool is_bridge_port(uint16_t port_id)
{
	bridge_ports &p = ports();
	std::lock_guard const lock{p.mutex};
	return p.made[port_id];
}

// DPDK's own definition of a function this library also defines.
template <typename Function>
Function dpdk_function(const char *name)
{
	return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

using info_get_fn = int (*)(uint16_t, rte_eth_dev_info *);
using configure_fn = int (*)(uint16_t, uint16_t, uint16_t, const rte_eth_conf *);
using tx_queue_setup_fn = int (*)(uint16_t, uint16_t, uint16_t, unsigned int, const rte_eth_txconf *);
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
	if (rte_eth_dev_get_port_by_name(port_name(name).c_str(), &existing) == 0) {
		remember_port(existing);
		return KOVA_SUCCESS;
	}

	uint32_t hash = 2166136261U; // FNV-1a: short ring names
	for (unsigned char const c : name)
		hash = (hash ^ c) * 16777619U;
	rte_ring *rings[port_queues] = {};
	auto free_rings = [&rings] {
		for (rte_ring *ring : rings)
			rte_ring_free(ring);
	};
	for (uint16_t q = 0; q < port_queues; ++q) {
		char ring_name[32];
		std::snprintf(ring_name, sizeof(ring_name), "kq%08x_%u", hash, unsigned{q});
		rings[q] = rte_ring_create(ring_name, ring_size, rte_socket_id(), 0);
		if (rings[q] == nullptr) {
			free_rings();
			return KOVA_ERROR_DRIVER;
		}
	}
	int const port = rte_eth_from_rings(name.c_str(), rings, port_queues, rings, port_queues, rte_socket_id());
	if (port < 0) {
		free_rings();
		return KOVA_ERROR_DRIVER;
	}
	remember_port(static_cast<uint16_t>(port));
	return KOVA_SUCCESS;
}

namespace {

// What the port offers; called directly, so that a program that also links DPDK does not bind the
// bridge's own calls to DPDK's definition.
int presented_info(uint16_t port_id, rte_eth_dev_info *dev_info)
{
	static info_get_fn const dpdk = dpdk_function<info_get_fn>("rte_eth_dev_info_get");
	if (dpdk == nullptr)
		return -ENOTSUP;
	int const result = dpdk(port_id, dev_info);
	if (result != 0 || !is_bridge_port(port_id))
		return result;
	dev_info->tx_offload_capa |= software_tx_offloads;
	dev_info->default_txconf.offloads = 0;
	dev_info->max_mtu = port_max_mtu;
	dev_info->max_rx_queues = port_queues;
	dev_info->max_tx_queues = port_queues;
	return 0;
}

// 0 when the port offers the transmit offloads, else -EINVAL and a log line naming the missing ones.
int check_tx_offloads(uint16_t port_id, uint64_t asked, uint64_t offered, const char *where)
{
	uint64_t const missing = asked & ~offered;
	if (missing == 0)
		return 0;
	std::fprintf(stderr, "kova_dpdk_bridge: port %u does not offer the transmit offloads 0x%" PRIx64 " (%s)\n",
		     unsigned{port_id}, missing, where);
	return -EINVAL;
}

} // namespace

KOVA_EXPORT int rte_eth_dev_info_get(uint16_t port_id, rte_eth_dev_info *dev_info)
{
	return presented_info(port_id, dev_info);
}

KOVA_EXPORT int rte_eth_dev_configure(uint16_t port_id, uint16_t nb_rx_queue, uint16_t nb_tx_queue,
				      const rte_eth_conf *eth_conf)
{
	static configure_fn const dpdk = dpdk_function<configure_fn>("rte_eth_dev_configure");
	if (dpdk == nullptr)
		return -ENOTSUP;
	if (eth_conf == nullptr || !is_bridge_port(port_id))
		return dpdk(port_id, nb_rx_queue, nb_tx_queue, eth_conf);
	rte_eth_dev_info info{};
	if (int const result = presented_info(port_id, &info); result != 0)
		return result;
	if (int const refused = check_tx_offloads(port_id, eth_conf->txmode.offloads, info.tx_offload_capa,
						  "port configuration"))
		return refused;
	if (eth_conf->rxmode.mtu > info.max_mtu) {
		std::fprintf(stderr, "kova_dpdk_bridge: port %u does not offer an MTU of %u (at most %u)\n",
			     unsigned{port_id}, unsigned{eth_conf->rxmode.mtu}, unsigned{info.max_mtu});
		return -EINVAL;
	}
	rte_eth_conf ring_conf = *eth_conf;
	ring_conf.txmode.offloads &= ~software_tx_offloads;
	return dpdk(port_id, nb_rx_queue, nb_tx_queue, &ring_conf);
}

KOVA_EXPORT int rte_eth_tx_queue_setup(uint16_t port_id, uint16_t tx_queue_id, uint16_t nb_tx_desc,
				       unsigned int socket_id, const rte_eth_txconf *tx_conf)
{
	static tx_queue_setup_fn const dpdk = dpdk_function<tx_queue_setup_fn>("rte_eth_tx_queue_setup");
	if (dpdk == nullptr)
		return -ENOTSUP;
	if (tx_conf == nullptr || !is_bridge_port(port_id))
		return dpdk(port_id, tx_queue_id, nb_tx_desc, socket_id, tx_conf);
	rte_eth_dev_info info{};
	if (int const result = presented_info(port_id, &info); result != 0)
		return result;
	if (int const refused = check_tx_offloads(port_id, tx_conf->offloads, info.tx_offload_capa, "transmit queue"))
		return refused;
	rte_eth_txconf ring_conf = *tx_conf;
	ring_conf.offloads &= ~software_tx_offloads;
	return dpdk(port_id, tx_queue_id, nb_tx_desc, socket_id, &ring_conf);
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
