// A memory map's state, shared by the map's calls, the buffer inventory and the copies into and
// out of another process's memory.
#pragma once

#include <kova/types.h>

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kova::sdk {

// The export descriptor: what another process needs to reach the map's memory. Fixed size,
// native byte order (exporter and importer share a host).
struct export_descriptor {
	uint64_t magic;
	uint32_t format;
	uint32_t pid;          // exporter
	uint64_t start_time;   // exporter's start, in clock ticks after boot (tells a reused pid apart)
	uint64_t addr;         // the range, in the exporter's address space
	uint64_t len;
	uint64_t live_fd;      // the exporter's descriptor of a shared word that holds `nonce` while the map exists
	uint64_t nonce;
	uint32_t uid;          // exporter's user
	uint32_t permissions;
};

inline constexpr uint64_t export_magic = 0x3150414d41564f4bull; // "KOVAMAP1"
inline constexpr uint32_t export_format = 1;

// Where an imported map's memory lives, and the exporter's live word, mapped here.
struct remote_memory {
	pid_t pid;
	const std::atomic<uint64_t> *live;
	uint64_t nonce;
};

} // namespace kova::sdk

struct kova_mmap {
	uint32_t max_num_devices = 1;
	std::vector<kova_dev *> devices;
	std::byte *addr = nullptr;
	std::size_t len = 0;
	bool range_set = false;
	uint32_t permissions = 0;
	bool started = false;
	std::atomic<uint64_t> num_bufs{0}; // buffers over this map not yet released
	// Exporter side: the descriptor handed out, and the word importers map and check (in shared
	// memory of its own); it holds the descriptor's nonce until the map is destroyed.
	bool exported = false;
	kova::sdk::export_descriptor export_desc{};
	int live_fd = -1;
	std::atomic<uint64_t> *live_word = nullptr;
	// Importer side: pid 0 for local memory.
	kova::sdk::remote_memory remote{0, nullptr, 0};
};

namespace kova::sdk {

inline bool is_remote(const kova_mmap *mmap) noexcept
{
	return mmap->remote.pid != 0;
}

// The exporter's start time as /proc/<pid>/stat tells it; 0 when it cannot be read.
uint64_t process_start_time(pid_t pid) noexcept;

} // namespace kova::sdk

namespace kova::sdk {

// KOVA_SUCCESS while the exporter's live word still holds the nonce; KOVA_ERROR_IO_FAILED once it does not.
inline kova_error check_alive(const remote_memory &remote) noexcept
{
	return remote.live->load(std::memory_order_acquire) == remote.nonce ? kova_error{0} : kova_error{17};
}

// The size of the shared memory that holds a live word.
inline constexpr std::size_t live_word_size = sizeof(std::atomic<uint64_t>);

// True when an element of the list lies in another process's memory.
bool touches_remote(const kova_buf *list) noexcept;

// list_copy for lists of which at least one element lies in another process's memory: the same
// rules, the copy made with process_vm_readv / process_vm_writev. 17 when the remote memory is
// gone or cannot be reached (the destination's data lengths are then unchanged).
kova_error remote_list_copy(const kova_buf *src, kova_buf *dst) noexcept;

} // namespace kova::sdk
