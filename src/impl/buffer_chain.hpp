// Walks over a list of SDK buffers (a head and the buffers chained to it). The per-job walks
// take the list's buffer count, known once the job's tasks exist, so that the last buffer
// needs no call for its (absent) successor.
#pragma once

#include <kova/buf.h>

#include <cstddef>
#include <cstdint>

namespace kova::bench::impl {

// The number of buffers of the list.
inline uint32_t chain_buffer_count(const kova_buf *buffer) noexcept
{
	uint32_t count = 0;
	while (buffer != nullptr) {
		++count;
		kova_buf *next = nullptr;
		static_cast<void>(kova_buf_get_next_in_list(buffer, &next));
		buffer = next;
	}
	return count;
}

// The data lengths of the first `count` buffers of the list, summed. Out of line: the per-job
// forms below call it only for lists of several buffers.
[[gnu::noinline]] inline uint64_t chain_data_length(const kova_buf *buffer, uint32_t count) noexcept
{
	uint64_t total = 0;
	for (; count != 0 && buffer != nullptr; --count) {
		std::size_t length = 0;
		static_cast<void>(kova_buf_get_data_len(buffer, &length));
		total += length;
		if (count == 1)
			break;
		kova_buf *next = nullptr;
		static_cast<void>(kova_buf_get_next_in_list(buffer, &next));
		buffer = next;
	}
	return total;
}

// Empties the first `count` buffers of the list, so that a task can write them again.
[[gnu::noinline]] inline void reset_output_chain(kova_buf *buffer, uint32_t count) noexcept
{
	for (; count != 0 && buffer != nullptr; --count) {
		static_cast<void>(kova_buf_reset_data_len(buffer));
		if (count == 1)
			break;
		kova_buf *next = nullptr;
		static_cast<void>(kova_buf_get_next_in_list(buffer, &next));
		buffer = next;
	}
}

// The per-job forms: a list of one buffer, the common case, takes a single call.
inline uint64_t job_chain_data_length(const kova_buf *buffer, uint32_t count) noexcept
{
	if (count != 1) [[unlikely]]
		return chain_data_length(buffer, count);
	std::size_t length = 0;
	static_cast<void>(kova_buf_get_data_len(buffer, &length));
	return length;
}

inline void reset_job_output_chain(kova_buf *buffer, uint32_t count) noexcept
{
	if (count != 1) [[unlikely]] {
		reset_output_chain(buffer, count);
		return;
	}
	static_cast<void>(kova_buf_reset_data_len(buffer));
}

} // namespace kova::bench::impl
