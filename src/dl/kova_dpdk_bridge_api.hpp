// Function table of the DPDK bridge (libkova_dpdk_bridge.so.2): the bridge's
// two functions and the DPDK functions the system calls, all resolved through
// the bridge's handle, so no DPDK library is linked into the programs.
#pragma once

#include "dl/impl/api_table.hpp"

#include <kova/dpdk_bridge.h>

#include <cstdint>
#include <memory>
#include <string>

// DPDK's structures, handled here only through pointers.
struct rte_eth_dev_info;
struct rte_eth_conf;
struct rte_eth_rxconf;
struct rte_eth_txconf;
struct rte_mempool;

// The functions of the table, in table order.
#define KOVA_DPDK_BRIDGE_API_FUNCTIONS(X) \
	X(rte_eal_init) \
	X(rte_eal_cleanup) \
	X(rte_eth_dev_info_get) \
	X(rte_eth_dev_configure) \
	X(rte_eth_dev_start) \
	X(rte_eth_dev_stop) \
	X(rte_strerror) \
	X(kova_dpdk_port_probe) \
	X(kova_dpdk_get_first_port_id) \
	X(rte_pktmbuf_pool_create) \
	X(rte_eth_dev_socket_id) \
	X(rte_mempool_free) \
	X(rte_eth_rx_queue_setup) \
	X(rte_eth_tx_queue_setup)

namespace kova::bench::dl {

struct kova_dpdk_bridge_api {
	std::shared_ptr<handle_impl> handle;
	std::string path;
	// DPDK's functions, typed as DPDK's headers declare them; negative results are negated errno values.
	int (*rte_eal_init)(int argc, char **argv){};
	int (*rte_eal_cleanup)(){};
	int (*rte_eth_dev_info_get)(uint16_t port_id, rte_eth_dev_info *dev_info){};
	int (*rte_eth_dev_configure)(uint16_t port_id, uint16_t nb_rx_queue, uint16_t nb_tx_queue,
				     const rte_eth_conf *eth_conf){};
	int (*rte_eth_dev_start)(uint16_t port_id){};
	int (*rte_eth_dev_stop)(uint16_t port_id){};
	const char *(*rte_strerror)(int errnum){};
	KOVA_DL_FUNCTION(kova_dpdk_port_probe)
	KOVA_DL_FUNCTION(kova_dpdk_get_first_port_id)
	rte_mempool *(*rte_pktmbuf_pool_create)(const char *name, unsigned int n, unsigned int cache_size,
						uint16_t priv_size, uint16_t data_room_size, int socket_id){};
	int (*rte_eth_dev_socket_id)(uint16_t port_id){};
	void (*rte_mempool_free)(rte_mempool *mp){};
	int (*rte_eth_rx_queue_setup)(uint16_t port_id, uint16_t rx_queue_id, uint16_t nb_rx_desc,
				      unsigned int socket_id, const rte_eth_rxconf *rx_conf, rte_mempool *mb_pool){};
	int (*rte_eth_tx_queue_setup)(uint16_t port_id, uint16_t tx_queue_id, uint16_t nb_tx_desc,
				      unsigned int socket_id, const rte_eth_txconf *tx_conf){};

	// The process-wide table, or null when libkova_dpdk_bridge.so.2 is not installed (decided once per
	// process). Throws KOVA_ERROR_INVALID_VALUE naming the first listed function it lacks; the next call tries
	// again.
	static const kova_dpdk_bridge_api *singleton();

	// DPDK's rte_errno of the calling thread (0 when DPDK does not define it).
	[[nodiscard]] int last_errno() const noexcept;
};

} // namespace kova::bench::dl
