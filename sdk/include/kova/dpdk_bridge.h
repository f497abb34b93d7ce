/*
 * DPDK bridge (libkova_dpdk_bridge.so.2): gives a device of the SDK a DPDK port. The bridge is linked with
 * DPDK; DPDK's own functions (rte_eal_init, rte_eth_dev_configure, ...) are reached through the bridge's
 * library handle. Both functions need DPDK's environment initialised (rte_eal_init) first.
 */
#ifndef KOVA_DPDK_BRIDGE_H
#define KOVA_DPDK_BRIDGE_H

#include <kova/error.h>
#include <kova/types.h>

/*
 * Creates the DPDK port of the device: one per device, whichever of its opened handles is given. devargs are
 * the port's driver arguments (may be null or empty). Returns KOVA_SUCCESS, also when the device's port exists
 * already; KOVA_ERROR_INVALID_VALUE for a null device; KOVA_ERROR_BAD_STATE when DPDK's environment is not
 * initialised; KOVA_ERROR_DRIVER when DPDK refuses the port.
 */
KOVA_EXPORT kova_error kova_dpdk_port_probe(kova_dev *dev, const char *devargs);

/*
 * The DPDK port identifier of the device; KOVA_ERROR_NOT_FOUND when the device was not probed,
 * KOVA_ERROR_INVALID_VALUE for a null argument.
 */
KOVA_EXPORT kova_error kova_dpdk_get_first_port_id(const kova_dev *dev, uint16_t *port_id);

#endif
