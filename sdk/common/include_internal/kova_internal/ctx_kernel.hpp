// The context/task kernel shared by every stand-in offload library.
//
// A library instance embeds a kova_ctx and one kova::sdk::task_kind per task kind; each of its
// task types is a standard-layout struct whose first member is a kova_task. The kernel owns the
// life cycle (configure, start, stop, destroy), the preallocated task pools, submission with the
// doorbell rule, and execution inside kova_pe_progress. The library supplies, per kind, the
// function that does the work.
//
// Plugging a library in (DMA as the example):
//
//   struct kova_dma_task_memcpy { kova_task task; };          // task first; library fields after
//   struct kova_dma { kova_ctx ctx; kova::sdk::task_kind memcpy; };
//
//   kova_error run_memcpy(kova_task *task)                   // runs inside kova_pe_progress
//   { return kova::sdk::list_copy(task->src, task->dst); }   // status: 0, or the error to report
//
//   kova_dma_create:   kova::sdk::ctx_init(&dma->ctx, &dma_ops, dev);
//                      kova::sdk::task_kind_init<kova_dma_task_memcpy>(&dma->memcpy, &dma->ctx,
//                              "memcpy", run_memcpy, max_buf_size);
//   *_set_conf:        return kova::sdk::task_kind_configure(&dma->memcpy, ok_cb, error_cb, n);
//   *_alloc_init:      kova_task *t; err = kova::sdk::task_alloc(&dma->memcpy, user_data, src, dst, &t);
//                      *out = kova::sdk::task_cast<kova_dma_task_memcpy>(t);
//   *_as_task:         return &task->task;          *_as_ctx: return &dma->ctx;
//   kova_dma_destroy:  err = kova::sdk::ctx_release(&dma->ctx); if (err == 0) delete dma;
//
// Tasks that wait for something outside the process (a received frame) are kept: execute returns
// task_kept, the library links the task into its own queue (through kova_task::next), and its
// ctx_ops::poll completes it with task_complete inside a later kova_pe_progress. While the context
// is stopping, poll completes every kept task (with an error status) so that the stop can finish.
//
// Execution: kova_pe_progress calls the kind's execute function on the owning thread for each
// flushed task, then the success or error callback. Execute returns the task's status (KOVA_ERROR_NO_MEMORY when the
// destination lists lack room, see buf_data.hpp) and must not lock, allocate or make system calls.
// Library state that execution needs (streams, cipher contexts) is made in ctx_ops::on_start and
// released in ctx_ops::on_stop.
//
// Remote memory: buffers over a map created from another process's export are refused at
// submission (4) unless the kind sets task_kind::remote_access after task_kind_init; such a kind
// must reach buffer bytes only through list_copy.
//
// Limits: task_kind::max_source_len is checked at every submission against the total data length
// of the task's source list (task->src); 0 means unchecked. Read the maximum through
// kova::sdk::capability_value (capability.hpp) under the name of the library's maximum query, the
// same value that query answers, and store it in max_source_len in <lib>_task_<kind>_set_conf, so
// that a test override of the maximum is enforced too. Kinds without one source list leave src
// null and check their own limits in alloc_init (KOVA_ERROR_INVALID_VALUE for invalid arguments). The task pool size is
// the num_tasks of set_conf; alloc answers KOVA_ERROR_NO_MEMORY when it is used up.
#pragma once

#include <kova_internal/counter.hpp>
#include <kova_internal/export.hpp>

#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/types.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace kova::sdk {

struct task_kind;

// Runs one task; returns its completion status (0 for success).
using execute_fn = kova_error (*)(kova_task *task);

// A library's hooks on its context; each may be null.
struct ctx_ops {
	const char *name; // the library's word, for log lines ("kova_dma")
	// Called by kova_ctx_start before the context runs; a non-zero result refuses the start.
	kova_error (*on_start)(kova_ctx *ctx);
	// Called when the context has become idle again after running.
	void (*on_stop)(kova_ctx *ctx);
	// Called by every kova_pe_progress of the engine while the context is not idle, before the
	// flushed tasks run; completes kept tasks (task_complete) and returns how many it completed.
	uint32_t (*poll)(kova_ctx *ctx) = nullptr;
};

// What an execute function returns for a task that waits for an outside event (a frame, a peer):
// the task stays in flight, the library holds it, and its poll completes it later.
inline constexpr kova_error task_kept = 0xFFFFFFFFU;

inline constexpr uint32_t max_task_kinds = 8;

// Hooks of a library whose tasks complete later than their execution (they wait for a peer).
// Such a context differs from the others in four ways:
// - ctx_ops::on_start may answer KOVA_ERROR_IN_PROGRESS: the context then stays starting (kova_ctx_start
//   returns KOVA_SUCCESS)
//   until the library sets its state to running itself;
// - tasks are allocated and submitted while it is starting too;
// - execute may answer KOVA_ERROR_IN_PROGRESS: the library keeps the task in flight and later delivers it with
//   task_complete, from its poll hook;
// - kova_pe_progress calls poll on every such context connected to the engine, in every state but
//   idle; poll returns non-zero when it did something. When the context is stopping, poll
//   completes whatever it holds.
struct ctx_async_ops {
	uint8_t (*poll)(kova_ctx *ctx);
	// kova_ctx_start answers 26 rather than 0 while the context is still starting.
	bool start_answers_in_progress = false;
};

} // namespace kova::sdk

struct kova_gpu;

// The header of every task. Fields after `status` are the kernel's own.
struct kova_task {
	kova_task *next;              // link in a pending, ready or free queue
	kova::sdk::task_kind *kind;   // the pool this task belongs to
	kova_data user_data;          // handed to the callbacks
	const kova_buf *src;          // source list, or null
	kova_buf *dst;                // destination list, or null
	kova_error status;            // of the last completion
	uint8_t in_flight;            // submitted and not yet delivered
	uint8_t allocated;            // taken from the pool and not freed
};

// The context part of every library instance.
struct kova_ctx {
	// Hot: touched on every submission and completion.
	kova_pe *pe;                  // the engine it is connected to, or null
	kova_data user_data;
	uint32_t state;               // kova_ctx_states
	uint32_t num_inflight;        // submitted, not yet delivered (flushed or not)
	kova_task *pending_head;      // accepted but not yet flushed, oldest first
	kova_task *pending_tail;
	kova::sdk::activity_counters counters;
	// Cold.
	const kova::sdk::ctx_ops *ops;
	kova_dev *dev;
	kova::sdk::task_kind *kinds[kova::sdk::max_task_kinds];
	uint32_t num_kinds;
	kova_ctx *pe_prev;            // contexts connected to the same engine
	kova_ctx *pe_next;
	const kova::sdk::ctx_async_ops *async; // null for a context whose tasks complete when executed
	kova_gpu *gpu_datapath;                 // kova_ctx_set_datapath_on_gpu; null: the CPU posts tasks
	kova_ctx_state_changed_callback_t state_changed_cb; // or null
};

namespace kova::sdk {

// One task kind of a context: its execution function, limits, callbacks and task pool.
struct task_kind {
	kova_ctx *ctx;
	const char *name;
	execute_fn execute;
	uint64_t max_source_len;       // 0: unchecked
	bool remote_access;            // may touch memory imported from another process (list_copy only)
	std::size_t task_size;         // size of the library's task struct
	std::size_t task_align;
	kova_task_completion_cb_t success_cb;
	kova_task_completion_cb_t error_cb;
	uint32_t num_tasks;            // configured; 0 before kova::sdk::task_kind_configure
	uint32_t num_allocated;
	kova_task *free_list;
	std::byte *storage;            // num_tasks slots of task_size bytes
};

// Prepares an embedded context; call once when the library instance is created.
KOVA_SDK_INTERNAL void ctx_init(kova_ctx *ctx, const ctx_ops *ops, kova_dev *dev);

// Makes a context asynchronous (see ctx_async_ops); call right after ctx_init.
KOVA_SDK_INTERNAL void ctx_set_async(kova_ctx *ctx, const ctx_async_ops *async) noexcept;

// Moves the context to a state and tells its state-change callback (when the state differs). A
// library that completes an asynchronous start, or loses its peer, changes the state through this.
KOVA_SDK_INTERNAL void ctx_set_state(kova_ctx *ctx, kova_ctx_states state);

// Delivers a task that execute kept (answered 26): sets its status, takes it out of flight and runs
// its callback (whose exception passes on). Call only from the context's poll hook, or from a call that runs inside
// kova_pe_progress on the engine's thread.
KOVA_SDK_INTERNAL void task_complete(kova_task *task, kova_error status);

// Tears a context down for <lib>_destroy: KOVA_ERROR_BAD_STATE (nothing changes) while tasks are in flight;
// otherwise detaches it from its engine, releases every task pool and returns KOVA_SUCCESS, after which the
// library frees its instance.
KOVA_SDK_INTERNAL kova_error ctx_release(kova_ctx *ctx);

// Adds a task kind to a context; call once per kind right after ctx_init.
KOVA_SDK_INTERNAL void task_kind_init(task_kind *kind, kova_ctx *ctx, const char *name, execute_fn execute,
				      uint64_t max_source_len, std::size_t task_size, std::size_t task_align);

template <typename Task>
void task_kind_init(task_kind *kind, kova_ctx *ctx, const char *name, execute_fn execute, uint64_t max_source_len)
{
	static_assert(std::is_standard_layout_v<Task> && std::is_trivially_destructible_v<Task>,
		      "a task is a plain struct");
	static_assert(offsetof(Task, task) == 0, "the kova_task header comes first");
	task_kind_init(kind, ctx, name, execute, max_source_len, sizeof(Task), alignof(Task));
}

// Configures a kind for <lib>_task_<kind>_set_conf: preallocates num_tasks zeroed tasks. Returns KOVA_SUCCESS;
// KOVA_ERROR_INVALID_VALUE for null callbacks or num_tasks 0; KOVA_ERROR_BAD_STATE when the context is not idle
// or tasks of the kind are allocated; KOVA_ERROR_NO_MEMORY when memory runs out.
KOVA_SDK_INTERNAL kova_error task_kind_configure(task_kind *kind, kova_task_completion_cb_t success_cb,
						 kova_task_completion_cb_t error_cb, uint32_t num_tasks);

// For sizing a context's staging memory when it starts: the largest source length among its
// configured kinds, or `fallback` when none has one.
inline uint64_t largest_source_len(const kova_ctx *ctx, uint64_t fallback) noexcept
{
	uint64_t largest = 0;
	for (uint32_t i = 0; i < ctx->num_kinds; ++i) {
		task_kind const *kind = ctx->kinds[i];
		if (kind->num_tasks != 0 && kind->max_source_len > largest)
			largest = kind->max_source_len;
	}
	return largest != 0 ? largest : fallback;
}

// Takes a task of the kind for <lib>_task_<kind>_alloc_init and sets its user data and lists; the library fills
// its own fields afterwards. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null out; KOVA_ERROR_BAD_STATE
// when the context is not running (nor starting, for an asynchronous context); KOVA_ERROR_NO_MEMORY when the
// pool is empty.
KOVA_SDK_INTERNAL kova_error task_alloc(task_kind *kind, kova_data user_data, const kova_buf *src, kova_buf *dst,
					kova_task **task);

// The library's task struct of a kernel task.
template <typename Task>
Task *task_cast(kova_task *task) noexcept
{
	return reinterpret_cast<Task *>(task);
}

template <typename Task>
const Task *task_cast(const kova_task *task) noexcept
{
	return reinterpret_cast<const Task *>(task);
}

} // namespace kova::sdk
