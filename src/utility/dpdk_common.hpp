// The DPDK context: DPDK's environment initialised once per process and the
// DPDK port of the opened device, reached through the DPDK bridge's table.
#pragma once

#include <kova/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kova::bench::utility {

class dpdk_context {
public:
	virtual ~dpdk_context() = default;

	[[nodiscard]] virtual uint16_t get_dev_port_id() const = 0;
	[[nodiscard]] virtual bool is_dev_port_started() const = 0;

	// Configures the port with no queues and starts it; does nothing once the port is started. Throws
	// kova::exception KOVA_ERROR_DRIVER when DPDK refuses; the port then stays not started and a later call tries
	// again.
	virtual void start_dev_port() = 0;
};

// Initialises DPDK's environment (rte_eal_init, once per process) and probes the device's port, which is not
// started yet. Throws kova::exception: KOVA_ERROR_NOT_FOUND without the bridge library, KOVA_ERROR_DRIVER when
// DPDK fails, the bridge's code when probing fails. A failure after the environment was initialised cleans it
// up again. The destructor cleans the environment up; it does not stop the port.
std::unique_ptr<dpdk_context> create_dpdk_context(kova_dev *dev);

// Room given to DPDK's rte_eth_dev_info and rte_eth_conf, which the context hands to DPDK zero-filled
// without seeing their definitions; larger than either structure in any DPDK release.
inline constexpr std::size_t dpdk_eth_dev_info_room = 4096;
inline constexpr std::size_t dpdk_eth_conf_room = 8192;

// Where DPDK 22.11 keeps the fields the GPU Ethernet queues read or set in rte_eth_dev_info, rte_eth_conf
// and rte_eth_txconf (this layer does not see DPDK's headers; a test compares these with them).
namespace dpdk_layout {
inline constexpr std::size_t info_max_mtu = 22;           // uint16_t
inline constexpr std::size_t info_max_rx_queues = 44;     // uint16_t
inline constexpr std::size_t info_max_tx_queues = 46;     // uint16_t
inline constexpr std::size_t info_tx_offload_capa = 80;   // uint64_t
inline constexpr std::size_t info_default_txconf = 200;   // rte_eth_txconf
inline constexpr std::size_t txconf_size = 56;
inline constexpr std::size_t txconf_offloads = 16;        // uint64_t
inline constexpr std::size_t conf_rxmode_mtu = 12;        // uint32_t
inline constexpr std::size_t conf_txmode_offloads = 72;   // uint64_t
} // namespace dpdk_layout

} // namespace kova::bench::utility
