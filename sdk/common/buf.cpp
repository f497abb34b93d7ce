// Buffer inventories and buffer descriptors.
#include "mmap_internal.hpp"

#include <kova_internal/buf_data.hpp>
#include <kova_internal/capability.hpp>
#include <kova_internal/sdk_log.hpp>

#include <kova/buf.h>
#include <kova/error.h>

#include <cstdint>
#include <new>

using kova::sdk::control_call;

struct kova_buf_inventory {
	std::size_t capacity = 0;
	kova_buf *elements = nullptr;
	kova_buf *free_list = nullptr;
	std::size_t outstanding = 0;
	bool started = false;
};

namespace {

// [start, start + len) inside [outer, outer + outer_len), without overflow.
bool inside(const std::byte *start, std::size_t len, const std::byte *outer, std::size_t outer_len) noexcept
{
	auto const s = reinterpret_cast<uintptr_t>(start);
	auto const o = reinterpret_cast<uintptr_t>(outer);
	return s >= o && s - o <= outer_len && len <= outer_len - (s - o);
}

void release_one(kova_buf *buf) noexcept
{
	buf->refcount = 0;
	buf->chained = 0;
	buf->last = nullptr;
	buf->mmap->num_bufs.fetch_sub(1, std::memory_order_release);
	buf->mmap = nullptr;
	kova_buf_inventory *inventory = buf->inventory;
	buf->next = inventory->free_list;
	inventory->free_list = buf;
	--inventory->outstanding;
}

} // namespace

KOVA_EXPORT kova_error kova_buf_inventory_create(size_t num_elements, kova_buf_inventory **inventory)
{
	if (inventory == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_buf_inventory_create", true, num_elements))
		return forced;
	auto *made = new (std::nothrow) kova_buf_inventory{};
	if (made == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	if (num_elements != 0) {
		made->elements = new (std::nothrow) kova_buf[num_elements]{};
		if (made->elements == nullptr) {
			delete made;
			return KOVA_ERROR_NO_MEMORY;
		}
	}
	made->capacity = num_elements;
	for (std::size_t i = num_elements; i-- > 0;) {
		made->elements[i].inventory = made;
		made->elements[i].next = made->free_list;
		made->free_list = &made->elements[i];
	}
	*inventory = made;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_inventory_start(kova_buf_inventory *inventory)
{
	if (inventory == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_buf_inventory_start"))
		return forced;
	if (inventory->started)
		return KOVA_ERROR_BAD_STATE;
	inventory->started = true;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_inventory_destroy(kova_buf_inventory *inventory)
{
	if (inventory == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_buf_inventory_destroy"))
		return forced;
	if (inventory->outstanding != 0) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_buf_inventory_destroy: %zu buffers are outstanding",
			       inventory->outstanding);
		return KOVA_ERROR_BAD_STATE;
	}
	delete[] inventory->elements;
	delete inventory;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_inventory_buf_get_by_args(kova_buf_inventory *inventory, kova_mmap *mmap, void *addr,
							  size_t len, void *data, size_t data_len, kova_buf **buf)
{
	if (inventory == nullptr || mmap == nullptr || addr == nullptr || data == nullptr || buf == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_buf_inventory_buf_get_by_args", true, len))
		return forced;
	if (!inventory->started || !mmap->started)
		return KOVA_ERROR_BAD_STATE;
	auto *head = static_cast<std::byte *>(addr);
	auto *data_start = static_cast<std::byte *>(data);
	if (!inside(head, len, mmap->addr, mmap->len) || !inside(data_start, data_len, head, len))
		return KOVA_ERROR_INVALID_VALUE;
	kova_buf *taken = inventory->free_list;
	if (taken == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	inventory->free_list = taken->next;
	++inventory->outstanding;
	mmap->num_bufs.fetch_add(1, std::memory_order_relaxed);
	taken->head = head;
	taken->len = len;
	taken->data = data_start;
	taken->data_len = data_len;
	taken->next = nullptr;
	taken->last = taken;
	taken->mmap = mmap;
	taken->refcount = 1;
	taken->chained = 0;
	*buf = taken;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_chain_list(kova_buf *list1, kova_buf *list2)
{
	if (list1 == nullptr || list2 == nullptr || list1 == list2 || list1->refcount == 0 || list2->refcount == 0 ||
	    list1->chained != 0 || list2->chained != 0)
		return KOVA_ERROR_INVALID_VALUE;
	list1->last->next = list2;
	list1->last = list2->last;
	list2->last = nullptr;
	list2->chained = 1;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_get_next_in_list(const kova_buf *buf, kova_buf **next)
{
	if (buf == nullptr || next == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*next = buf->next;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_get_head(const kova_buf *buf, void **head)
{
	if (buf == nullptr || head == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*head = buf->head;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_get_len(const kova_buf *buf, size_t *len)
{
	if (buf == nullptr || len == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*len = buf->len;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_get_data(const kova_buf *buf, void **data)
{
	if (buf == nullptr || data == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*data = buf->data;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_get_data_len(const kova_buf *buf, size_t *data_len)
{
	if (buf == nullptr || data_len == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*data_len = buf->data_len;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_reset_data_len(kova_buf *buf)
{
	if (buf == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	buf->data_len = 0;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_buf_dec_refcount(kova_buf *buf, uint16_t *refcount)
{
	if (buf == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (buf->refcount == 0 || buf->chained != 0)
		return KOVA_ERROR_BAD_STATE;
	uint16_t const remaining = --buf->refcount;
	if (remaining == 0) {
		for (kova_buf *element = buf; element != nullptr;) {
			kova_buf *next = element->next;
			release_one(element);
			element = next;
		}
	}
	if (refcount != nullptr)
		*refcount = remaining;
	return KOVA_SUCCESS;
}

namespace kova::sdk {

kova_error list_copy(const kova_buf *src, kova_buf *dst) noexcept
{
	if (src == nullptr || dst == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (list_data_len(src) > list_room(dst))
		return KOVA_ERROR_NO_MEMORY;
	if (touches_remote(src) || touches_remote(dst)) [[unlikely]]
		return remote_list_copy(src, dst);
	list_writer writer{dst};
	for (; src != nullptr; src = src->next)
		writer.write(src->data, src->data_len);
	return KOVA_SUCCESS;
}

} // namespace kova::sdk
