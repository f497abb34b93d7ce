// A memory map's state, shared by the map's calls and the buffer inventory.
#pragma once

#include <kova/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

struct kova_mmap {
	uint32_t max_num_devices = 1;
	std::vector<kova_dev *> devices;
	std::byte *addr = nullptr;
	std::size_t len = 0;
	bool range_set = false;
	uint32_t permissions = 0;
	bool started = false;
	std::atomic<uint64_t> num_bufs{0}; // buffers over this map not yet released
};
