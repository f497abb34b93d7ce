// Walks over a list of SDK buffers (a head and the buffers chained to it).
#pragma once

#include <kova/buf.h>

#include <cstddef>
#include <cstdint>

namespace kova::bench::impl {

// The data lengths of every buffer of the list, summed.
inline uint64_t chain_data_length(const kova_buf *buffer) noexcept
{
	uint64_t total = 0;
	while (buffer != nullptr) {
		std::size_t length = 0;
		static_cast<void>(kova_buf_get_data_len(buffer, &length));
		total += length;
		kova_buf *next = nullptr;
		static_cast<void>(kova_buf_get_next_in_list(buffer, &next));
		buffer = next;
	}
	return total;
}

// Empties every buffer of the list, so that a task can write it again.
inline void reset_output_chain(kova_buf *buffer) noexcept
{
	while (buffer != nullptr) {
		static_cast<void>(kova_buf_reset_data_len(buffer));
		kova_buf *next = nullptr;
		static_cast<void>(kova_buf_get_next_in_list(buffer, &next));
		buffer = next;
	}
}

} // namespace kova::bench::impl
