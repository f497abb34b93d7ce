// Buffer descriptors as the stand-in libraries read and write them during execution.
//
// Input rule: a task reads the concatenation of [data, data + data_len) of every element of its
// source list, in order. Output rule: a task appends, from data + data_len of each element of its
// destination list up to the element's end (head + len), element after element, adding what it
// placed to each element's data_len. A task whose output does not fit completes with KOVA_ERROR_NO_MEMORY.
#pragma once

#include <kova_internal/export.hpp>

#include <kova/error.h>
#include <kova/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

struct kova_buf {
	std::byte *head;
	std::size_t len;
	std::byte *data;
	std::size_t data_len;
	kova_buf *next;               // successor in the list, or (while free) in the inventory
	kova_buf *last;               // last element of the list; kept in the head only
	kova_buf_inventory *inventory;
	kova_mmap *mmap;
	uint16_t refcount;            // 0 while free
	uint8_t chained;              // 1 for an element that is not the head of its list
};

namespace kova::sdk {

// Total data length of a list.
inline uint64_t list_data_len(const kova_buf *list) noexcept
{
	uint64_t total = 0;
	for (; list != nullptr; list = list->next)
		total += list->data_len;
	return total;
}

// Free room of one element after its data.
inline std::size_t buf_room(const kova_buf *buf) noexcept
{
	return static_cast<std::size_t>((buf->head + buf->len) - (buf->data + buf->data_len));
}

// Total free room of a list.
inline uint64_t list_room(const kova_buf *list) noexcept
{
	uint64_t total = 0;
	for (; list != nullptr; list = list->next)
		total += buf_room(list);
	return total;
}

// Appends bytes to a destination list by the output rule. Check the room first (list_room) when
// a short write must leave the list untouched.
class list_writer {
public:
	explicit list_writer(kova_buf *list) noexcept : m_current{list} {}

	// Returns 0, or 7 when the list ran out of room (what fitted was written).
	kova_error write(const void *bytes, std::size_t len) noexcept
	{
		auto const *from = static_cast<const std::byte *>(bytes);
		while (len != 0) {
			if (m_current == nullptr)
				return KOVA_ERROR_NO_MEMORY;
			std::size_t const room = buf_room(m_current);
			std::size_t const n = room < len ? room : len;
			if (n != 0) {
				std::memcpy(m_current->data + m_current->data_len, from, n);
				m_current->data_len += n;
				from += n;
				len -= n;
			}
			if (len != 0)
				m_current = m_current->next;
		}
		return KOVA_SUCCESS;
	}

private:
	kova_buf *m_current;
};

// Appends the data of the source list to the destination list. Returns KOVA_SUCCESS; KOVA_ERROR_NO_MEMORY
// (nothing written) when the destination has too little room; KOVA_ERROR_INVALID_VALUE for a null list.
KOVA_SDK_INTERNAL kova_error list_copy(const kova_buf *src, kova_buf *dst) noexcept;

} // namespace kova::sdk
