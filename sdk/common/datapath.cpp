// The data path: task allocation, submission and delivery. Nothing here locks, allocates or
// makes a system call, except the one write that wakes an armed engine.
//
// A task moves through these queues (all intrusive, through kova_task::next):
//
//   free list --alloc--> [allocated] --submit--> ctx pending --flush--> pe ready --progress--> [allocated]
//       ^                                          (doorbell rule)      (FIFO over       (status set, then
//       +------------------------free-----------------------------------  all contexts)    the callback)
#include "engine.hpp"
#include "mmap_internal.hpp"
#include "test_state.hpp"

#include <kova_internal/buf_data.hpp>
#include <kova_internal/ctx_kernel.hpp>

#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>
#include <kova/test_control.h>

namespace kova::sdk {

void ring_doorbell(kova_ctx *ctx) noexcept
{
	kova_pe *pe = ctx->pe;
	if (pe->ready_tail != nullptr)
		pe->ready_tail->next = ctx->pending_head;
	else
		pe->ready_head = ctx->pending_head;
	pe->ready_tail = ctx->pending_tail;
	ctx->pending_head = nullptr;
	ctx->pending_tail = nullptr;
	ctx->counters.flushes.add();
	pe->counters.flushes.add();
	if (pe->armed != 0 && !(test::active() && test::completions_held())) [[unlikely]]
		pe_signal(pe);
}

kova_error task_alloc(task_kind *kind, kova_data user_data, const kova_buf *src, kova_buf *dst, kova_task **task)
{
	if (kind == nullptr || task == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (!ctx_accepts_tasks(kind->ctx))
		return KOVA_ERROR_BAD_STATE;
	kova_task *taken = kind->free_list;
	if (taken == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	kind->free_list = taken->next;
	++kind->num_allocated;
	taken->next = nullptr;
	taken->user_data = user_data;
	taken->src = src;
	taken->dst = dst;
	taken->status = KOVA_SUCCESS;
	taken->in_flight = 0;
	taken->allocated = 1;
	*task = taken;
	return KOVA_SUCCESS;
}

} // namespace kova::sdk

namespace {

kova_error submit(kova_task *task, uint32_t flags, uint32_t call) noexcept
{
	if (task == nullptr) [[unlikely]]
		return KOVA_ERROR_INVALID_VALUE;
	kova::sdk::task_kind *kind = task->kind;
	kova_ctx *ctx = kind->ctx;
	if (kova::sdk::test::active()) [[unlikely]] {
		if (kova_error const injected = kova::sdk::test::submit_fault(ctx, call))
			return injected;
	}
	if (task->in_flight != 0 || task->allocated == 0 || !kova::sdk::ctx_accepts_tasks(ctx)) [[unlikely]]
		return KOVA_ERROR_BAD_STATE;
	if (kind->max_source_len != 0 && kova::sdk::list_data_len(task->src) > kind->max_source_len) [[unlikely]]
		return KOVA_ERROR_INVALID_VALUE;
	if (!kind->remote_access && (kova::sdk::touches_remote(task->src) || kova::sdk::touches_remote(task->dst)))
		[[unlikely]]
		return KOVA_ERROR_NOT_SUPPORTED;

	task->in_flight = 1;
	task->next = nullptr;
	++ctx->num_inflight;
	if (ctx->pending_tail != nullptr)
		ctx->pending_tail->next = task;
	else
		ctx->pending_head = task;
	ctx->pending_tail = task;
	ctx->counters.submissions.add();
	ctx->pe->counters.submissions.add();
	if ((flags & KOVA_TASK_SUBMIT_FLAG_FLUSH) != 0)
		kova::sdk::ring_doorbell(ctx);
	return KOVA_SUCCESS;
}

} // namespace

KOVA_EXPORT kova_error kova_task_submit(kova_task *task)
{
	return submit(task, KOVA_TASK_SUBMIT_FLAG_FLUSH, KOVA_TEST_SUBMIT);
}

KOVA_EXPORT kova_error kova_task_submit_ex(kova_task *task, uint32_t flags)
{
	constexpr uint32_t known = KOVA_TASK_SUBMIT_FLAG_FLUSH | KOVA_TASK_SUBMIT_FLAG_OPTIMIZE_REPORTS;
	if ((flags & ~known) != 0) [[unlikely]]
		return KOVA_ERROR_INVALID_VALUE;
	return submit(task, flags, KOVA_TEST_SUBMIT_EX);
}

KOVA_EXPORT kova_error kova_task_try_submit(kova_task *task)
{
	// The submission queue is as large as the task pools, so it is never full.
	return submit(task, KOVA_TASK_SUBMIT_FLAG_FLUSH, KOVA_TEST_TRY_SUBMIT);
}

KOVA_EXPORT kova_error kova_task_free(kova_task *task)
{
	if (task == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (task->in_flight != 0) [[unlikely]] {
		kova::sdk::test::note_refused_release();
		return KOVA_ERROR_BAD_STATE;
	}
	if (task->allocated == 0)
		return KOVA_ERROR_BAD_STATE;
	kova::sdk::task_kind *kind = task->kind;
	task->allocated = 0;
	task->next = kind->free_list;
	kind->free_list = task;
	--kind->num_allocated;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_task_set_user_data(kova_task *task, kova_data user_data)
{
	if (task == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (task->in_flight != 0)
		return KOVA_ERROR_BAD_STATE;
	task->user_data = user_data;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_task_get_status(const kova_task *task)
{
	return task == nullptr ? kova_error{KOVA_ERROR_INVALID_VALUE} : task->status;
}

namespace kova::sdk {

void task_complete(kova_task *task, kova_error status)
{
	kova_ctx *ctx = task->kind->ctx;
	task->status = status;
	task->in_flight = 0;
	--ctx->num_inflight;
	ctx->counters.completions.add();
	ctx->pe->counters.completions.add();
	kova_task_completion_cb_t callback = task->kind->success_cb;
	if (status != KOVA_SUCCESS) [[unlikely]] {
		ctx->counters.error_completions.add();
		ctx->pe->counters.error_completions.add();
		callback = task->kind->error_cb;
	}
	if (ctx->state == KOVA_CTX_STATE_STOPPING && ctx->num_inflight == 0) [[unlikely]]
		ctx_finish_stop(ctx);
	callback(task, task->user_data, ctx->user_data);
}

} // namespace kova::sdk

namespace {

// Delivers the tasks flushed before this call.
void run_ready(kova_pe *pe, kova_task *task, bool testing)
{
	// Snapshot: tasks flushed from here on, by the callbacks among others, wait for the next call.
	pe->ready_head = nullptr;
	pe->ready_tail = nullptr;
	do {
		// The callback may resubmit this task, which rewrites its link.
		kova_task *next = task->next;
		kova_ctx *ctx = task->kind->ctx;
		kova_error status = testing ? kova::sdk::test::completion_fault(ctx) : kova_error{KOVA_SUCCESS};
		if (status == KOVA_SUCCESS)
			status = task->kind->execute(task);
		if (status == kova::sdk::task_kept || (status == KOVA_ERROR_IN_PROGRESS && ctx->async != nullptr)) {
			// The library holds it and completes it from its poll.
			task = next;
			continue;
		}
		kova::sdk::task_complete(task, status);
		task = next;
	} while (task != nullptr);
}

uint8_t poll_async(kova_pe *pe)
{
	uint8_t productive = 0;
	for (kova_ctx *ctx = pe->contexts; ctx != nullptr;) {
		kova_ctx *next = ctx->pe_next;
		if (ctx->async != nullptr && ctx->state != KOVA_CTX_STATE_IDLE)
			productive |= ctx->async->poll(ctx);
		ctx = next;
	}
	return productive;
}

// Lets every polled context of the engine complete what it keeps; the number completed.
uint64_t poll_contexts(kova_pe *pe)
{
	uint64_t completed = 0;
	for (kova_ctx *ctx = pe->contexts; ctx != nullptr;) {
		kova_ctx *next = ctx->pe_next;
		if (ctx->ops != nullptr && ctx->ops->poll != nullptr && ctx->state != KOVA_CTX_STATE_IDLE)
			completed += ctx->ops->poll(ctx);
		ctx = next;
	}
	return completed;
}

} // namespace

KOVA_EXPORT uint8_t kova_pe_progress(kova_pe *pe)
{
	if (pe == nullptr) [[unlikely]]
		return 0;
	pe->progress_calls.add();
	bool const testing = kova::sdk::test::active();
	if (testing && kova::sdk::test::completions_held()) [[unlikely]]
		return 0;

	// Contexts that keep tasks complete them from their poll hooks.
	uint8_t productive = 0;
	if (pe->contexts != nullptr && poll_contexts(pe) != 0)
		productive = 1;
	kova_task *task = pe->ready_head;
	if (task != nullptr) {
		run_ready(pe, task, testing);
		productive = 1;
	}
	if (pe->num_async != 0) [[unlikely]]
		productive |= poll_async(pe);
	if (productive != 0)
		pe->productive_calls.add();
	return productive;
}
