// Contiguous views of buffer lists, for libraries whose engines want one range of bytes.
//
// A list of one element is used in place. A longer list goes through staging memory that the
// library allocates when its context starts (ctx_ops::on_start) and releases when it stops, so
// execution itself allocates nothing.
#pragma once

#include <kova_internal/buf_data.hpp>

#include <kova/error.h>
#include <kova/types.h>

#include <cstddef>
#include <cstring>
#include <new>

namespace kova::sdk {

// Memory a library instance owns while its context runs; 64-byte aligned.
class staging_area {
public:
	staging_area() = default;
	staging_area(const staging_area &) = delete;
	staging_area &operator=(const staging_area &) = delete;
	~staging_area() { release(); }

	// False when memory runs out (the area is then empty).
	bool allocate(std::size_t capacity) noexcept
	{
		release();
		m_data = static_cast<std::byte *>(::operator new[](capacity, std::align_val_t{64}, std::nothrow));
		m_capacity = m_data != nullptr ? capacity : 0;
		return m_data != nullptr;
	}

	void release() noexcept
	{
		if (m_data != nullptr)
			::operator delete[](m_data, std::align_val_t{64});
		m_data = nullptr;
		m_capacity = 0;
	}

	[[nodiscard]] std::byte *data() const noexcept { return m_data; }
	[[nodiscard]] std::size_t capacity() const noexcept { return m_capacity; }

private:
	std::byte *m_data = nullptr;
	std::size_t m_capacity = 0;
};

struct byte_range {
	const std::byte *data; // null when the list could not be gathered
	std::size_t len;
};

// The data of a source list as one range: the only element in place, or every element's data
// copied one after the other into the staging area. Null data for a null list, or for a longer
// list whose data exceeds the staging area.
inline byte_range gather(const kova_buf *list, const staging_area &staging) noexcept
{
	if (list == nullptr)
		return {nullptr, 0};
	if (list->next == nullptr)
		return {list->data, list->data_len};
	std::size_t const total = static_cast<std::size_t>(list_data_len(list));
	if (total > staging.capacity())
		return {nullptr, 0};
	std::byte *to = staging.data();
	for (; list != nullptr; list = list->next) {
		if (list->data_len != 0)
			std::memcpy(to, list->data, list->data_len);
		to += list->data_len;
	}
	return {staging.data(), total};
}

// Where a task writes its output before it is known to have succeeded: the free room of the
// destination's only element, or the staging area, whose first bytes commit() then appends to
// the list by the output rule. A list receives nothing that is not committed (an only element
// may hold scratch bytes beyond its data).
class output_window {
public:
	output_window(kova_buf *list, const staging_area &staging) noexcept : m_list{list}
	{
		if (list == nullptr)
			return;
		if (list->next == nullptr) {
			m_data = list->data + list->data_len;
			m_room = buf_room(list);
			return;
		}
		m_staged = true;
		m_data = staging.data();
		std::size_t const room = static_cast<std::size_t>(list_room(list));
		m_room = room < staging.capacity() ? room : staging.capacity();
	}

	// False for a null list.
	[[nodiscard]] bool valid() const noexcept { return m_list != nullptr; }
	[[nodiscard]] std::byte *data() const noexcept { return m_data; }
	[[nodiscard]] std::size_t room() const noexcept { return m_room; }

	// Appends the window's first n bytes (n <= room()) to the list. Returns KOVA_SUCCESS, or KOVA_ERROR_NO_MEMORY
	// beyond the room.
	kova_error commit(std::size_t n) noexcept
	{
		if (n > m_room)
			return KOVA_ERROR_NO_MEMORY;
		if (!m_staged) {
			m_list->data_len += n;
			return KOVA_SUCCESS;
		}
		return list_writer{m_list}.write(m_data, n);
	}

private:
	kova_buf *m_list;
	std::byte *m_data = nullptr;
	std::size_t m_room = 0;
	bool m_staged = false;
};

} // namespace kova::sdk
