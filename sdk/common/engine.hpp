// The progress engine's state, shared by its control path and the data path.
#pragma once

#include <kova_internal/counter.hpp>
#include <kova_internal/ctx_kernel.hpp>

#include <kova/ctx.h>
#include <kova/types.h>

struct kova_pe {
	// Hot.
	kova_task *ready_head;        // flushed tasks of all contexts, oldest first
	kova_task *ready_tail;
	uint8_t armed;                // a waiter asked to be woken
	kova::sdk::activity_counters counters;
	kova::sdk::counter progress_calls;
	kova::sdk::counter productive_calls;
	// Cold.
	int event_fd;
	kova_ctx *contexts;           // connected contexts
	uint32_t num_async;           // connected contexts with a poll hook
};

namespace kova::sdk {

// Wakes an armed engine (a write to its eventfd) and disarms it; false when the write failed.
bool pe_signal(kova_pe *pe) noexcept;

// Takes a context off its engine's list of connected contexts.
void pe_disconnect(kova_ctx *ctx) noexcept;

// Moves a context's unflushed tasks to the end of its engine's ready queue.
void ring_doorbell(kova_ctx *ctx) noexcept;

// The context has nothing in flight any more: it becomes idle.
void ctx_finish_stop(kova_ctx *ctx) noexcept;

// Whether tasks of the context may be allocated and submitted in its present state.
inline bool ctx_accepts_tasks(const kova_ctx *ctx) noexcept
{
	return ctx->state == KOVA_CTX_STATE_RUNNING || (ctx->state == KOVA_CTX_STATE_STARTING && ctx->async != nullptr);
}

} // namespace kova::sdk
