// Copies between buffer lists of which some lie in another process's memory (maps created from an
// export). One system call per task in the common cases (all of the source remote and all of the
// destination local, or the other way round); anything else goes through a bounce buffer on the
// stack. Before any byte lands in the peer, and before and after every read from it, the
// exporter's live word (shared memory mapped at import) is checked, so that memory whose map was
// destroyed is never written or trusted.
#include "mmap_internal.hpp"

#include <kova_internal/buf_data.hpp>

#include <kova/error.h>

#include <sys/uio.h>

#include <cstring>

namespace kova::sdk {
namespace {

constexpr std::size_t max_segments = 128;
constexpr std::size_t bounce_size = 16 * 1024;

struct segment_list {
	iovec entries[max_segments + 1];
	std::size_t count = 0;
	std::size_t bytes = 0;

	bool add(void *base, std::size_t len) noexcept
	{
		if (len == 0)
			return true;
		if (count == max_segments + 1)
			return false;
		entries[count++] = iovec{base, len};
		bytes += len;
		return true;
	}
};

// The one map every element lies in, when all are remote in one process; else null.
const kova_mmap *single_remote_map(const kova_buf *list) noexcept
{
	const kova_mmap *found = nullptr;
	for (; list != nullptr; list = list->next) {
		if (!is_remote(list->mmap))
			return nullptr;
		if (found != nullptr && found->remote.pid != list->mmap->remote.pid)
			return nullptr;
		found = list->mmap;
	}
	return found;
}

bool all_local(const kova_buf *list) noexcept
{
	for (; list != nullptr; list = list->next) {
		if (is_remote(list->mmap))
			return false;
	}
	return true;
}

bool add_source(segment_list &segments, const kova_buf *src) noexcept
{
	for (; src != nullptr; src = src->next) {
		if (!segments.add(src->data, src->data_len))
			return false;
	}
	return true;
}

// The destination's room, element after element, for `total` bytes (after what the list holds).
bool add_destination(segment_list &segments, kova_buf *dst, std::size_t total) noexcept
{
	std::size_t const end = segments.bytes + total;
	for (; dst != nullptr && segments.bytes < end; dst = dst->next) {
		std::size_t const room = buf_room(dst);
		std::size_t const left = end - segments.bytes;
		if (!segments.add(dst->data + dst->data_len, room < left ? room : left))
			return false;
	}
	return segments.bytes == end;
}

void commit(kova_buf *dst, std::size_t total) noexcept
{
	for (; dst != nullptr && total != 0; dst = dst->next) {
		std::size_t const room = buf_room(dst);
		std::size_t const n = room < total ? room : total;
		dst->data_len += n;
		total -= n;
	}
}

// Remote source, local destination.
kova_error read_from(const remote_memory &remote, const kova_buf *src, kova_buf *dst, std::size_t total) noexcept
{
	segment_list far;
	segment_list local;
	if (!add_source(far, src) || !add_destination(local, dst, total))
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const err = check_alive(remote))
		return err;
	ssize_t const done = ::process_vm_readv(remote.pid, local.entries, local.count, far.entries, far.count, 0);
	if (done != static_cast<ssize_t>(total))
		return KOVA_ERROR_IO_FAILED;
	if (kova_error const err = check_alive(remote))
		return err;
	commit(dst, total);
	return KOVA_SUCCESS;
}

// Local source, remote destination.
kova_error write_to(const remote_memory &remote, const kova_buf *src, kova_buf *dst, std::size_t total) noexcept
{
	segment_list local;
	segment_list far;
	if (!add_source(local, src) || !add_destination(far, dst, total))
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const err = check_alive(remote))
		return err;
	ssize_t const done = ::process_vm_writev(remote.pid, local.entries, local.count, far.entries, far.count, 0);
	if (done != static_cast<ssize_t>(total))
		return KOVA_ERROR_IO_FAILED;
	commit(dst, total);
	return KOVA_SUCCESS;
}

// Moves n bytes between local memory and one element's memory, wherever that lies.
kova_error transfer(const kova_mmap *map, std::byte *element, std::byte *local, std::size_t n, bool into_local) noexcept
{
	if (!is_remote(map)) {
		if (into_local)
			std::memcpy(local, element, n);
		else
			std::memcpy(element, local, n);
		return KOVA_SUCCESS;
	}
	iovec near{local, n};
	iovec far{element, n};
	ssize_t const done = into_local ? ::process_vm_readv(map->remote.pid, &near, 1, &far, 1, 0)
					: ::process_vm_writev(map->remote.pid, &near, 1, &far, 1, 0);
	return done == static_cast<ssize_t>(n) ? kova_error{KOVA_SUCCESS} : kova_error{KOVA_ERROR_IO_FAILED};
}

kova_error check_all_alive(const kova_buf *list) noexcept
{
	const kova_mmap *checked = nullptr;
	for (; list != nullptr; list = list->next) {
		if (!is_remote(list->mmap) || list->mmap == checked)
			continue;
		if (kova_error const err = check_alive(list->mmap->remote))
			return err;
		checked = list->mmap;
	}
	return KOVA_SUCCESS;
}

// Any mix: through a bounce buffer, a chunk at a time.
kova_error copy_through_bounce(const kova_buf *src, kova_buf *dst, std::size_t total) noexcept
{
	if (kova_error const err = check_all_alive(src))
		return err;
	if (kova_error const err = check_all_alive(dst))
		return err;
	std::byte bounce[bounce_size];
	const kova_buf *from = src;
	std::size_t from_offset = 0;
	kova_buf *to = dst;
	std::size_t to_offset = 0; // into the element's room
	std::size_t left = total;
	while (left != 0) {
		std::size_t filled = 0;
		while (filled < bounce_size && from != nullptr) {
			std::size_t const available = from->data_len - from_offset;
			std::size_t const n = available < bounce_size - filled ? available : bounce_size - filled;
			if (n != 0) {
				if (kova_error const err =
					    transfer(from->mmap, from->data + from_offset, bounce + filled, n, true))
					return err;
			}
			filled += n;
			from_offset += n;
			if (from_offset == from->data_len) {
				from = from->next;
				from_offset = 0;
			}
		}
		std::size_t drained = 0;
		while (drained < filled && to != nullptr) {
			std::size_t const room = buf_room(to) - to_offset;
			std::size_t const n = room < filled - drained ? room : filled - drained;
			if (n != 0) {
				if (kova_error const err = transfer(to->mmap, to->data + to->data_len + to_offset,
								    bounce + drained, n, false))
					return err;
			}
			drained += n;
			to_offset += n;
			if (to_offset == buf_room(to)) {
				to = to->next;
				to_offset = 0;
			}
		}
		if (filled == 0 || drained != filled)
			return KOVA_ERROR_NO_MEMORY;
		left -= filled;
	}
	commit(dst, total);
	return KOVA_SUCCESS;
}

} // namespace

bool touches_remote(const kova_buf *list) noexcept
{
	for (; list != nullptr; list = list->next) {
		if (is_remote(list->mmap))
			return true;
	}
	return false;
}

kova_error remote_list_copy(const kova_buf *src, kova_buf *dst) noexcept
{
	auto const total = static_cast<std::size_t>(list_data_len(src));
	if (total == 0)
		return KOVA_SUCCESS;
	if (const kova_mmap *map = single_remote_map(src); map != nullptr && all_local(dst))
		return read_from(map->remote, src, dst, total);
	if (const kova_mmap *map = single_remote_map(dst); map != nullptr && all_local(src))
		return write_to(map->remote, src, dst, total);
	return copy_through_bounce(src, dst, total);
}

} // namespace kova::sdk
