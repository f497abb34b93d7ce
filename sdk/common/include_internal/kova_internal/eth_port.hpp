// The software side of a device's Ethernet port, shared by the Ethernet library (queues) and the
// flow library (steering rules): one record per network interface, found by name.
//
// Steering: the flow library publishes the rules of the interface's root pipe as a rule_set; the
// Ethernet library registers the ids of its started receive queues. Both changes rebuild an
// immutable snapshot that the receive path reads without a lock (one atomic load per batch).
// Every receive queue sees every frame of the interface and keeps the ones steered to its own id;
// frames steered nowhere (dropped by a rule, missed, or sent to an id no queue holds) are counted
// once, by the queue with the lowest id.
#pragma once

#include <kova_internal/counter.hpp>
#include <kova_internal/export.hpp>

#include <kova/flow.h>
#include <kova/types.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace kova::sdk::eth {

// Counters of one queue; the queue's thread is the only writer.
struct queue_counters {
	counter rx_frames;
	counter rx_bytes;
	counter rx_dropped_too_large;
	counter rx_dropped_no_match;
	counter rx_dropped_unknown_queue;
	counter rx_dropped_by_rule;
	counter tx_frames;
	counter tx_bytes;
	counter tx_failed;
	counter chksum_computed;
	counter chksum_skipped;
	// Frames the kernel could not place in the queue's ring (no posted task took the earlier ones in
	// time); added up when read.
	std::atomic<uint64_t> rx_dropped_no_task{0};
	// The queue's packet socket, for reading the kernel's drop count; -1 when none.
	int rx_socket = -1;
};

// A forward target as the receive path follows it.
struct forward {
	uint32_t type = KOVA_FLOW_FWD_NONE;
	uint32_t hash_fields = 0;
	std::vector<uint16_t> queues;
	int32_t pipe = -1; // index in rule_set::pipes for KOVA_FLOW_FWD_PIPE
};

struct rule_entry {
	kova_flow_match match{};
	bool has_forward = false;
	forward fwd;
};

struct rule_pipe {
	kova_flow_match match{};
	std::vector<rule_entry> entries;
	forward fwd;      // of entries without their own
	forward miss;     // KOVA_FLOW_FWD_NONE: dropped as a miss
};

struct rule_set {
	std::vector<rule_pipe> pipes;
	int32_t root = -1;
};

// Where the rules send one frame.
enum class verdict : uint8_t { deliver, dropped_by_rule, no_match, unknown_queue };

struct steering_result {
	verdict what;
	uint16_t queue;
};

// What the receive path reads: the rules and the set of live queue ids.
struct snapshot {
	std::shared_ptr<const rule_set> rules; // null: nothing is steered anywhere
	std::array<uint64_t, 65536 / 64> live{};
	uint32_t lowest_live = 0x10000;

	[[nodiscard]] bool is_live(uint16_t queue) const noexcept { return (live[queue >> 6] >> (queue & 63)) & 1U; }
};

struct iface;

// The record of the interface, made on first use and kept for the life of the process. Thread-safe.
KOVA_SDK_INTERNAL iface *iface_get(const char *name);

// The interface's current snapshot (never null). Lock-free.
KOVA_SDK_INTERNAL const snapshot *iface_snapshot(const iface *port) noexcept;

// Replaces the rules of the interface (null: none). Thread-safe.
KOVA_SDK_INTERNAL void iface_set_rules(iface *port, std::shared_ptr<const rule_set> rules);

// Registers a started receive queue's id; KOVA_ERROR_ALREADY_EXIST when another queue holds it. Thread-safe.
KOVA_SDK_INTERNAL kova_error iface_add_queue(iface *port, uint16_t queue);
KOVA_SDK_INTERNAL void iface_remove_queue(iface *port, uint16_t queue);

// Adds a queue's counters to those tests read; on removal they are added to the interface's totals.
KOVA_SDK_INTERNAL void iface_attach_counters(iface *port, queue_counters *counters);
KOVA_SDK_INTERNAL void iface_detach_counters(iface *port, queue_counters *counters);

// Follows the rules for one frame.
KOVA_SDK_INTERNAL steering_result steer(const snapshot &current, const uint8_t *frame, uint32_t len) noexcept;

// Interface helpers: the index in the calling thread's network namespace (0 when there is no such
// interface) and the MTU (0 when unknown).
KOVA_SDK_INTERNAL uint32_t iface_index(const char *name) noexcept;
KOVA_SDK_INTERNAL uint32_t iface_mtu(const char *name) noexcept;

// Software checksum offload on an outgoing frame: fills the IPv4 header checksum (l3) and the TCP or
// UDP checksum (l4) when the frame carries a whole IPv4 header; false when it skipped the frame.
KOVA_SDK_INTERNAL bool fill_checksums(uint8_t *frame, uint32_t len, bool l3, bool l4) noexcept;

// Zeroes every interface's counters (kova_test_reset).
KOVA_SDK_INTERNAL void reset_counters() noexcept;

} // namespace kova::sdk::eth
