// The comch library's objects: a client (its context, its one connection, the control socket and
// the rings of the consumers its peers announced), consumers and producers with their tasks.
#pragma once

#include "comch_shared.hpp"

#include <kova_internal/comch_counters.hpp>
#include <kova_internal/ctx_kernel.hpp>

#include <kova/comch.h>

#include <atomic>
#include <cstdint>

namespace kova::sdk::comch {

// A consumer of another client, as announced by the server.
struct remote_consumer {
	std::atomic<uint32_t> id; // 0: free slot; published after `ring`
	void *ring;
	bool expired;             // announced expiry (control thread only)
};
inline constexpr uint32_t max_remote_consumers = 256;

} // namespace kova::sdk::comch

struct kova_comch_connection {
	kova_comch_client *client;
	kova_data user_data;
	uint64_t counters[4];          // snapshot of update_info
};

struct kova_comch_task_send {
	kova_task task;
	kova_comch_task_send *next_out; // queue of messages not yet written to the socket
	uint32_t len;
	uint8_t msg[kova::sdk::comch::max_msg_size];
};

struct kova_comch_client {
	kova_ctx ctx;
	kova::sdk::task_kind send_kind;
	kova_dev *dev;
	char name[kova::sdk::comch::max_name_len + 1];
	uint32_t max_msg_size;
	uint32_t recv_queue_size;
	int fd;                          // control socket while started
	uint32_t client_id;              // from the server's welcome
	kova_comch_connection connection;
	kova_comch_event_msg_recv_cb_t msg_recv_cb;
	kova_comch_event_consumer_cb_t new_consumer_cb;
	kova_comch_event_consumer_cb_t expired_consumer_cb;
	kova_comch_task_send *out_head;
	kova_comch_task_send *out_tail;
	std::atomic<uint64_t> live_counters[4];
	kova::sdk::comch::remote_consumer remotes[kova::sdk::comch::max_remote_consumers];
	uint32_t num_remotes;            // slots in use (never reused while the client lives)
};

struct kova_comch_consumer_task_post_recv {
	kova_task task;
	kova_comch_consumer_task_post_recv *next_posted;
	uint32_t producer_id;
	uint32_t imm_len;
	uint8_t imm[kova::sdk::comch::max_imm_data_len];
};

struct kova_comch_consumer {
	kova_ctx ctx;
	kova::sdk::task_kind post_recv_kind;
	kova_comch_connection *connection;
	kova_mmap *mmap;
	int ring_fd;
	void *ring;                      // ring_bytes, shared with the server and the producers
	kova::sdk::comch::ring_header *header;
	uint64_t heads[kova::sdk::comch::max_lanes]; // private copies of the lanes' heads
	uint32_t next_lane;              // where the round over the lanes begins
	uint32_t imm_data_len;
	uint32_t id;                     // once running
	kova_comch_consumer_task_post_recv *posted_head;
	kova_comch_consumer_task_post_recv *posted_tail;
	kova::sdk::comch::channel_counters counters;
};

struct kova_comch_producer_task_send {
	kova_task task;
	kova_comch_producer_task_send *next_sent;
	uint32_t consumer_id;
	uint32_t imm_len;
	uint8_t imm[kova::sdk::comch::max_imm_data_len];
	struct producer_lane *lane;
	uint64_t record_end;             // lane position after its record, once written
	uint64_t record_start;
	uint32_t len;                    // message bytes, once written
};

// A lane this producer claimed in one consumer's ring.
struct producer_lane {
	uint32_t consumer_id;
	void *ring;
	kova::sdk::comch::ring_header *header;
	uint32_t index;
	uint64_t tail;                   // private copy of what the producer wrote
	uint64_t head;                   // the consumer's head as last read (read again when room runs short)
	uint64_t refused;                // refused records among the sends completed so far
};

struct kova_comch_producer {
	kova_ctx ctx;
	kova::sdk::task_kind send_kind;
	kova_comch_connection *connection;
	uint64_t token;
	uint32_t id;
	producer_lane lanes[kova::sdk::comch::max_lanes];
	uint32_t num_lanes;
	// In flight, in submission order: [sent_head, unwritten) written, [unwritten, sent_tail] waiting for room.
	kova_comch_producer_task_send *sent_head;
	kova_comch_producer_task_send *sent_tail;
	kova_comch_producer_task_send *unwritten;
	kova::sdk::comch::channel_counters counters;
};

namespace kova::sdk::comch {

// The announced ring of a consumer id of the client's peers; null when unknown or expired.
void *find_remote_ring(kova_comch_client *client, uint32_t consumer_id) noexcept;

// Sends a control packet on the client's socket (with a file descriptor when fd >= 0).
bool client_send(kova_comch_client *client, op kind, uint32_t id, const void *payload, uint32_t len,
		 int fd) noexcept;

} // namespace kova::sdk::comch
