// What the comch clients and their server share: the control messages on the server's socket and
// the layout of a consumer's receive ring in shared memory.
//
// Control: every client of one server name talks to the same server process over a Unix
// sequenced-packet socket at <socket_dir>/<server name>. The first client that finds no server
// starts one (a detached process); the server ends when its last client has left. A consumer's
// ring (a memfd) travels to the server with its announcement and from there to every other client.
//
// Data: a ring has max_lanes lanes; a producer claims the first free lane of each consumer it sends
// to, keeps it for good and is its only writer; the consumer is the only reader. A lane is a byte
// ring of records (record header, then the message, padded to 64 bytes). The producer publishes
// `tail`; the consumer copies a record into a posted buffer and then publishes `head`, which
// completes the send. A record the consumer refuses gets its status and is counted in `refused`
// before head passes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kova::sdk::comch {

inline constexpr const char *socket_dir = "/tmp/kova_comch";
inline constexpr uint32_t max_name_len = 64;
inline constexpr uint32_t max_msg_size = 4080; // control messages between clients
inline constexpr uint32_t default_recv_queue_size = 64;
inline constexpr uint32_t max_recv_queue_size = 4096;
inline constexpr uint32_t max_clients = 64;
inline constexpr uint32_t max_send_tasks = 65536;
inline constexpr uint32_t max_num_tasks = 65536;
inline constexpr uint32_t max_buf_size = 1U << 20;
inline constexpr uint32_t max_consumers = 1024;
inline constexpr uint32_t max_producers = 1024;
inline constexpr uint32_t max_imm_data_len = 32;

inline constexpr uint32_t max_lanes = 16;
inline constexpr uint64_t lane_bytes = 4ULL << 20; // room for at least two records of max_buf_size
inline constexpr std::size_t ring_header_bytes = 4096;
inline constexpr std::size_t ring_bytes = ring_header_bytes + max_lanes * lane_bytes;

struct alignas(64) lane_control {
	std::atomic<uint64_t> owner; // 0: free; else the producer's token
	alignas(64) std::atomic<uint64_t> tail; // bytes written (producer)
	alignas(64) std::atomic<uint64_t> head; // bytes consumed into posted buffers (consumer)
	// Records the consumer refused (their status set), counted before head passes them; while it
	// stays where the producer last saw it, the records below head were all placed.
	std::atomic<uint64_t> refused;
};

struct ring_header {
	std::atomic<uint32_t> id;    // the consumer id, written by the server once announced
	std::atomic<uint32_t> alive; // 1 while the consumer runs; 0 once it stopped or its owner left
	lane_control lanes[max_lanes];
};
static_assert(sizeof(ring_header) <= ring_header_bytes);
static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free);

// A record in a lane; the message follows it.
struct record_header {
	uint32_t len;    // message bytes, or pad_record: the rest of the lane up to its end is unused
	uint32_t status; // 0 as written; the consumer's error, set before it moves head, when it refused the record
	uint32_t producer_id;
	uint32_t imm_len;
	uint8_t imm[max_imm_data_len];
};
inline constexpr uint32_t pad_record = 0xFFFFFFFFU;
inline constexpr uint64_t record_align = 64;

inline uint64_t record_bytes(uint32_t len) noexcept
{
	return (sizeof(record_header) + len + record_align - 1) / record_align * record_align;
}

inline std::byte *lane_data(void *ring, uint32_t lane) noexcept
{
	return static_cast<std::byte *>(ring) + ring_header_bytes + lane * lane_bytes;
}

// Control messages (one packet each). Client -> server: hello, consumer_new (with the ring's fd),
// consumer_gone, message. Server -> client: welcome, consumer_announce (with the ring's fd),
// consumer_expired, message.
enum class op : uint32_t {
	hello = 1,
	welcome,
	consumer_new,
	consumer_gone,
	consumer_announce,
	consumer_expired,
	message,
};

struct packet_header {
	op kind;
	uint32_t id;  // client id (welcome), consumer id (announce, expired, gone)
	uint32_t len; // message bytes after the header
	uint32_t reserved;
};
inline constexpr std::size_t max_packet = sizeof(packet_header) + max_msg_size;

// The path of a server name's socket and of its lock file; false when the name does not fit.
bool socket_path(const char *name, char *path, std::size_t len, const char *suffix = "") noexcept;

// Connects to the server of the name, starting it when none runs. Returns the connected socket,
// or -1 when the server cannot be reached.
int connect_to_server(const char *name) noexcept;

} // namespace kova::sdk::comch
