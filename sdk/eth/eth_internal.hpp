// The Ethernet library's queues: packet sockets with memory-mapped rings on the device's network
// interface. Receive: a TPACKET_V3 ring read inside kova_pe_progress. Send: a TPACKET_V2 ring that
// bypasses the queueing discipline, kicked once per progress call; a send completes when the kernel
// has taken the frame. Neither path blocks, locks or allocates.
#pragma once

#include <kova_internal/capability.hpp>
#include <kova_internal/ctx_kernel.hpp>
#include <kova_internal/eth_port.hpp>
#include <kova_internal/gpu_handles.hpp>

#include <kova/eth.h>

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <cstring>
#include <new>

struct kova_eth_rxq_task_recv {
	kova_task task;
};

struct kova_eth_txq_task_send {
	kova_task task;
};

// A memory-mapped packet ring and its socket.
struct kova_eth_ring {
	int fd = -1;
	uint8_t *memory = nullptr;
	std::size_t length = 0;
};

struct kova_eth_rxq {
	kova_ctx ctx;
	kova::sdk::task_kind recv;
	uint32_t max_burst_size;
	uint32_t max_packet_size;
	uint32_t type;
	kova::sdk::eth::iface *port;
	char iface_name[64];
	// Queue id on the port; valid while applied.
	uint16_t queue_id;
	uint8_t queue_applied;
	// Hot while running.
	kova_eth_ring ring;
	uint32_t block_size;
	uint32_t block_count;
	uint32_t block;            // the block being read
	uint32_t left_in_block;    // frames of it not read yet; 0: not taken from the kernel
	uint8_t *next_frame;
	kova_task *posted_head;    // receive tasks waiting for a frame, oldest first
	kova_task *posted_tail;
	kova::sdk::eth::queue_counters counters;
	// Cyclic queues: the packet memory (kova_eth_rxq_set_pkt_buf) and the next slot of it.
	uint8_t *pkt_buf;
	uint32_t pkt_buf_size;
	uint32_t pkt_slot;
	kova_gpu_eth_rxq gpu;      // valid while a GPU data path runs
};

struct kova_eth_txq {
	kova_ctx ctx;
	kova::sdk::task_kind send;
	uint32_t max_burst_size;
	uint32_t type;
	uint8_t l3_chksum_offload;
	uint8_t l4_chksum_offload;
	kova::sdk::eth::iface *port;
	char iface_name[64];
	// Hot while running.
	kova_eth_ring ring;
	uint32_t frame_size;
	uint32_t frame_count;      // a power of two
	uint32_t max_frame_len;    // MTU + 14
	uint32_t fill;             // next slot to fill
	uint32_t reap;             // oldest slot in flight
	uint32_t unsent;           // slots filled since the last kick
	kova_task **slots;         // the task of each slot in flight, or null
	kova_task *waiting_head;   // sends with no free slot yet, oldest first
	kova_task *waiting_tail;
	kova::sdk::eth::queue_counters counters;
	// GPU data path: the handle, the error event and the failed sends the kernel counted, of which
	// `gpu_failures_reported` have been reported (on the progress engine's thread).
	kova_gpu_eth_txq gpu;
	kova_eth_txq_gpu_event_error_send_packet_cb_t gpu_error_cb;
	kova_data gpu_error_user_data;
	std::atomic<uint64_t> gpu_failures;
	uint64_t gpu_failures_reported;
};

struct kova_eth_txq_gpu_event_error_send_packet {
	kova_eth_txq *txq;
};

namespace kova::sdk::eth {

// The interface name of the device, checked to exist in the caller's network namespace; 16 (with a
// log line naming it) when it does not.
kova_error resolve_iface(const kova_dev *dev, char (&name)[64]) noexcept;

// Intrusive FIFO of kept tasks.
inline void fifo_push(kova_task *&head, kova_task *&tail, kova_task *task) noexcept
{
	task->next = nullptr;
	if (tail != nullptr)
		tail->next = task;
	else
		head = task;
	tail = task;
}

inline kova_task *fifo_pop(kova_task *&head, kova_task *&tail) noexcept
{
	kova_task *task = head;
	head = task->next;
	if (head == nullptr)
		tail = nullptr;
	task->next = nullptr;
	return task;
}

void ring_close(kova_eth_ring &ring) noexcept;

// A new queue on the device's interface with its context prepared; the caller adds its task kind.
template <typename Queue>
kova_error new_queue(kova_dev *dev, const ctx_ops *ops, Queue *&out) noexcept
{
	char name[64] = {};
	if (kova_error const err = resolve_iface(dev, name))
		return err;
	auto *created = new (std::nothrow) Queue{};
	if (created == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	ctx_init(&created->ctx, ops, dev);
	std::memcpy(created->iface_name, name, sizeof(name));
	try {
		created->port = iface_get(name);
	} catch (...) {
		delete created;
		return KOVA_ERROR_NO_MEMORY;
	}
	out = created;
	return KOVA_SUCCESS;
}

// Destroys a queue once nothing is in flight (KOVA_ERROR_BAD_STATE otherwise, and the queue stays).
template <typename Queue>
kova_error destroy_queue(Queue *queue, const char *function) noexcept
{
	if (queue == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call(function))
		return forced;
	if (kova_error const err = ctx_release(&queue->ctx))
		return err;
	delete queue;
	return KOVA_SUCCESS;
}

// Changes a queue setting while its context is idle.
template <typename Queue, typename Field, typename Value>
kova_error set_while_idle(Queue *queue, Field Queue::*field, Value value) noexcept
{
	if (queue == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (queue->ctx.state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	queue->*field = static_cast<Field>(value);
	return KOVA_SUCCESS;
}

// The documented capabilities of the stand-in device.
inline constexpr uint32_t cap_max_burst_size = 4096;
inline constexpr uint32_t cap_max_recv_buf_list_len = 1;
inline constexpr uint32_t cap_max_send_buf_list_len = 16;
inline constexpr uint32_t cap_min_max_packet_size = 1518; // more when the interface's MTU allows
inline constexpr uint16_t cap_max_lso_header_size = 0;    // no LSO
inline constexpr uint32_t cap_max_lso_msg_size = 0;

// The GPU data paths (eth_gpu.cpp): the handle a started queue gives its kernel.
void gpu_rxq_bind(kova_eth_rxq *rxq) noexcept;
void gpu_txq_bind(kova_eth_txq *txq) noexcept;
// Reports failed GPU sends through the error event; run by the queue's poll.
uint32_t gpu_txq_report(kova_eth_txq *txq) noexcept;
// Counts the GPU sends the interface has taken since the slots were last looked at; at stop.
void gpu_txq_retire(kova_eth_txq *txq) noexcept;
// Copies the next frame of the ring steered to the queue to `to` and returns its length; 0 when none
// is ready. A frame longer than room is dropped (and counted).
uint32_t rx_take_steered(kova_eth_rxq *rxq, uint8_t *to, uint32_t room) noexcept;

} // namespace kova::sdk::eth
