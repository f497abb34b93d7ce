// Helpers over the SDK's common library: device and representor lists, progress engines, memory
// maps, buffer inventories and buffers, and context state and stopping. Every creating function
// returns an owner or throws kova::exception with the SDK's code.
#pragma once

#include "aligned_buffer.hpp"
#include "kova_delegated_deleter.hpp"
#include "kova_optional.hpp"
#include "utility/remote_mmap_definition.hpp"
#include "utility/span.hpp"

#include <kova/buf.h>
#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/mmap.h>
#include <kova/pe.h>
#include <kova/task.h>
#include <kova/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Deleters of the common library's handles (the results of the destroy calls are ignored).
void kova_deleter(kova_pe *pe) noexcept;
void kova_deleter(kova_mmap *mmap) noexcept;
void kova_deleter(kova_buf_inventory *inventory) noexcept;
void kova_deleter(kova_devinfo **list) noexcept;
void kova_deleter(kova_devinfo_rep **list) noexcept;

namespace kova::bench::utility {

// An SDK array of handles with its length; the array is released whole.
template <typename Handle>
class handle_list {
public:
	using owner = std::unique_ptr<Handle *, kova::delegated_deleter<Handle *>>;

	handle_list(owner list, uint32_t count) noexcept : m_list{std::move(list)}, m_count{count} {}
	handle_list(Handle **list, uint32_t count) noexcept : m_list{list}, m_count{count} {}
	handle_list(handle_list &&) noexcept = default;
	handle_list &operator=(handle_list &&) noexcept = default;
	handle_list(const handle_list &) = delete;
	handle_list &operator=(const handle_list &) = delete;
	~handle_list() = default;

	[[nodiscard]] uint32_t size() const noexcept { return m_count; }
	[[nodiscard]] Handle **begin() noexcept { return m_list.get(); }
	[[nodiscard]] Handle **end() noexcept { return m_list.get() + m_count; }
	[[nodiscard]] Handle *const *begin() const noexcept { return m_list.get(); }
	[[nodiscard]] Handle *const *end() const noexcept { return m_list.get() + m_count; }

private:
	owner m_list;
	uint32_t m_count;
};

class devinfo_list : public handle_list<kova_devinfo> {
public:
	using handle_list::handle_list;
};

class devinfo_rep_list : public handle_list<kova_devinfo_rep> {
public:
	using handle_list::handle_list;
};

// All devices visible to the SDK.
devinfo_list make_devinfo_list();

// The device's network representors (filter 2). The second form ignores its extra argument.
devinfo_rep_list make_devinfo_rep_list_from_dev(kova_dev *dev);
devinfo_rep_list make_devinfo_rep_list_from_dev(kova_dev *dev, int filter);

std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> make_pe();

// A started map over the whole buffer for the devices, with the permissions when given.
std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>>
make_mmap(kova::bench::aligned_buffer &buffer, span<kova_dev *> devices, kova::optional<uint32_t> permissions);

// A map over the peer's exported memory, as the SDK created it (not started here).
std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>>
make_mmap_from_export(const remote_mmap_definition &definition, kova_dev *dev);

// A started inventory of that many buffer descriptors.
std::unique_ptr<kova_buf_inventory, kova::delegated_deleter<kova_buf_inventory>> make_inventory(std::size_t num_elements);

// A descriptor over [address, address + length) whose data is the whole range. The caller
// releases it with kova_buf_dec_refcount.
kova_buf *get_buffer(kova_buf_inventory *inventory, kova_mmap *mmap, char *address, std::size_t length);

// Throws KOVA_ERROR_INVALID_VALUE for a null context and the SDK's code when the query fails.
kova_ctx_states get_context_state(const kova_ctx *ctx);

// True only for a context that is not null and reports the running state; never throws.
bool is_context_running(const kova_ctx *ctx) noexcept;

// An engine whose device has shown it is stuck (a worker's stall report): stopping a context on it
// does not wait for tasks in flight. Marked by the engine's owner, and forgotten before the engine
// is destroyed. Thread-safe; for the control path.
void mark_engine_stalled(const kova_pe *pe);
void forget_stalled_engine(const kova_pe *pe) noexcept;
[[nodiscard]] bool is_engine_stalled(const kova_pe *pe) noexcept;

// What a device did not give back (a context with tasks in flight, the engine it is connected to,
// the memory and keys its tasks use) is never freed: it is kept here, reachable, so that a leak
// check reports only real leaks. Records that the engine holds such objects. Thread-safe; for the
// control path.
void leave_to_device(const kova_pe *pe, const void *object) noexcept;
[[nodiscard]] bool engine_holds_left_objects(const kova_pe *pe) noexcept;

// Tasks the device still holds on the context; 0 for a null context or a failed query.
[[nodiscard]] std::size_t tasks_in_flight(const kova_ctx *ctx) noexcept;

// Stops the context and drives the engine until it is idle, for at most 5 seconds after the
// first refusal (at once on a stalled engine, whose tasks in flight are reported and not freed); with a task list, frees the listed tasks (and empties the list) once none is in
// flight. Prints failures to standard error; never throws; does nothing for a null context or
// engine. `name` only appears in the messages.
void stop_ctx(kova_ctx *ctx, kova_pe *pe, const std::string &name) noexcept;
void stop_ctx(kova_ctx *ctx, kova_pe *pe, const std::string &name, std::vector<kova_task *> *tasks) noexcept;

// "data: 0x<data>, head: 0x<head>, data_len: <n>, len: <n>".
std::string describe_kova_buf(const kova_buf *buf);

} // namespace kova::bench::utility
