// The flow library's state of the process for the Ethernet receive queues: the library is
// initialised once while any device has a receive queue, each device (by its DPDK port id) has one
// flow port whose root pipe forwards every packet to the live queue ids of that device, and the
// pipe is rebuilt whenever a queue comes or goes. Queue ids come from one allocator that reuses
// released ids. Thread-safe; control path only.
#pragma once

#include <kova/types.h>

#include <cstdint>

namespace kova::bench::utility {

namespace eth_queue_ids {

// The lowest free id from 128 up; throws KOVA_ERROR_NO_MEMORY when all are taken.
uint16_t take();
void give(uint16_t id) noexcept;

} // namespace eth_queue_ids

class eth_flow_ports {
public:
	static eth_flow_ports &instance();

	// Steers the device's traffic to the queue id too; initialises the library and starts the
	// device's port when this is their first queue. Throws kova::exception (KOVA_ERROR_NOT_FOUND without the flow
	// library); nothing changes then.
	void add_queue(kova_dev *dev, uint16_t port_id, uint16_t queue_id);

	// Takes the queue id out of the device's pipe; stops the port after its last queue and shuts the
	// library down after the last port. Failures are printed.
	void remove_queue(uint16_t port_id, uint16_t queue_id) noexcept;

	// Keeps the library initialised for a user that starts flow ports of its own (the GPU Ethernet
	// queues); it is shut down once no such user and no port here is left. Throws as add_queue.
	void acquire_library();
	void release_library() noexcept;

private:
	eth_flow_ports() = default;
};

} // namespace kova::bench::utility
