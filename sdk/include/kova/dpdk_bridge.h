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
 * Creates the DPDK port of the device: one per device, whichever of its opened handles is given.
 * devargs are the port's driver arguments (may be null or empty).
 * Returns 0, also when the device's port exists already; 6 for a null device; 18 when DPDK's environment is
 * not initialised; 21 when DPDK refuses the port.
 */
KOVA_EXPORT kova_error kova_dpdk_port_probe(kova_dev *dev, const char *devargs);

/* The DPDK port identifier of the device; 16 when the device was not probed, 6 for a null argument. */
KOVA_EXPORT kova_error kova_dpdk_get_first_port_id(const kova_dev *dev, uint16_t *port_id);

#endif
