// The companion's Ethernet workers: "eth_send" keeps every buffer's ready-made frame going out,
// "eth_recv" keeps a receive task posted on every buffer, "eth_bidir" re-sends a frame for every
// frame it received. Each counts its frames and prints the count when it stops.
#pragma once

#include "companion/worker/worker.hpp"
#include "utility/dpdk_common.hpp"

#include <kova/types.h>

#include <cstdint>
#include <memory>

namespace kova::bench::companion::worker {

struct create_eth_worker_command {
	uint32_t buffer_count;
	uint32_t buffer_size; // bytes per buffer and per frame
	uint32_t burst_size;  // the queues' maximum burst
	uint32_t flags;       // bit 0: L3 checksum offload, bit 1: L4 checksum offload (sending workers)
};

attribute_map create_eth_worker_command_to_map(const create_eth_worker_command &command);
create_eth_worker_command create_eth_worker_command_from_map(const attribute_map &map);

// The header every sent frame starts with; the rest of the frame is 0x11.
inline constexpr unsigned char eth_frame_header[14] = {'F', 'F', 'F', 'F', 'F', 'F', '0', '1',
							'2', '2', '3', '3', 0x08, 0x00};
inline constexpr unsigned char eth_frame_fill = 0x11;

// Each returns the worker with its queues started and its buffers cut, or throws kova::exception: code 29 (the
// SDK gives it no name) for a buffer size below 14, KOVA_ERROR_INVALID_VALUE for a region (size x count) of 0
// or above 4294967295 bytes and, for eth_bidir, for an odd buffer count.
std::unique_ptr<worker> create_eth_recv_worker(uint32_t id, const attribute_map &attributes, kova_dev *dev,
					       utility::dpdk_context *dpdk);
std::unique_ptr<worker> create_eth_send_worker(uint32_t id, const attribute_map &attributes, kova_dev *dev);
std::unique_ptr<worker> create_eth_bidir_worker(uint32_t id, const attribute_map &attributes, kova_dev *dev,
						utility::dpdk_context *dpdk);

} // namespace kova::bench::companion::worker
