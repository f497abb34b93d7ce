// Context life cycle and task kinds: the control path of the context/task kernel.
#include "engine.hpp"
#include "test_state.hpp"

#include <kova_internal/capability.hpp>
#include <kova_internal/ctx_kernel.hpp>
#include <kova_internal/sdk_log.hpp>

#include <kova/ctx.h>
#include <kova/error.h>

#include <cassert>
#include <cstring>
#include <new>

using kova::sdk::control_call;

namespace kova::sdk {
namespace {

void release_pool(task_kind *kind) noexcept
{
	if (kind->storage != nullptr)
		::operator delete[](kind->storage, std::align_val_t{kind->task_align});
	kind->storage = nullptr;
	kind->free_list = nullptr;
	kind->num_tasks = 0;
	kind->num_allocated = 0;
}

bool any_kind_configured(const kova_ctx *ctx) noexcept
{
	for (uint32_t i = 0; i < ctx->num_kinds; ++i) {
		if (ctx->kinds[i]->num_tasks != 0)
			return true;
	}
	return false;
}

} // namespace

void ctx_init(kova_ctx *ctx, const ctx_ops *ops, kova_dev *dev)
{
	ctx->pe = nullptr;
	ctx->user_data.u64 = 0;
	ctx->state = KOVA_CTX_STATE_IDLE;
	ctx->num_inflight = 0;
	ctx->pending_head = nullptr;
	ctx->pending_tail = nullptr;
	ctx->ops = ops;
	ctx->dev = dev;
	ctx->num_kinds = 0;
	ctx->pe_prev = nullptr;
	ctx->pe_next = nullptr;
	ctx->async = nullptr;
	ctx->gpu_datapath = nullptr;
	ctx->state_changed_cb = nullptr;
}

void ctx_set_state(kova_ctx *ctx, kova_ctx_states state)
{
	auto const prev = static_cast<kova_ctx_states>(ctx->state);
	if (prev == state)
		return;
	ctx->state = state;
	if (ctx->state_changed_cb != nullptr)
		ctx->state_changed_cb(ctx->user_data, ctx, prev, state);
}

void ctx_set_async(kova_ctx *ctx, const ctx_async_ops *async) noexcept
{
	ctx->async = async;
}

kova_error ctx_release(kova_ctx *ctx)
{
	if (ctx == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (ctx->num_inflight != 0) {
		log(KOVA_LOG_LEVEL_ERROR, "%s: cannot destroy a context with %u tasks in flight",
		    ctx->ops != nullptr && ctx->ops->name != nullptr ? ctx->ops->name : "context", ctx->num_inflight);
		test::note_refused_release();
		return KOVA_ERROR_BAD_STATE;
	}
	if (ctx->state != KOVA_CTX_STATE_IDLE && ctx->ops != nullptr && ctx->ops->on_stop != nullptr)
		ctx->ops->on_stop(ctx);
	ctx->state = KOVA_CTX_STATE_IDLE; // being destroyed: nobody is told
	pe_disconnect(ctx);
	for (uint32_t i = 0; i < ctx->num_kinds; ++i)
		release_pool(ctx->kinds[i]);
	return KOVA_SUCCESS;
}

void ctx_finish_stop(kova_ctx *ctx) noexcept
{
	ctx_set_state(ctx, KOVA_CTX_STATE_IDLE);
	if (ctx->ops != nullptr && ctx->ops->on_stop != nullptr)
		ctx->ops->on_stop(ctx);
}

void task_kind_init(task_kind *kind, kova_ctx *ctx, const char *name, execute_fn execute, uint64_t max_source_len,
		    std::size_t task_size, std::size_t task_align)
{
	*kind = task_kind{};
	kind->ctx = ctx;
	kind->name = name;
	kind->execute = execute;
	kind->max_source_len = max_source_len;
	kind->task_size = (task_size + task_align - 1) / task_align * task_align;
	kind->task_align = task_align;
	assert(ctx->num_kinds < max_task_kinds && "raise max_task_kinds");
	if (ctx->num_kinds < max_task_kinds)
		ctx->kinds[ctx->num_kinds++] = kind;
}

kova_error task_kind_configure(task_kind *kind, kova_task_completion_cb_t success_cb, kova_task_completion_cb_t error_cb,
			       uint32_t num_tasks)
{
	if (kind == nullptr || success_cb == nullptr || error_cb == nullptr || num_tasks == 0)
		return KOVA_ERROR_INVALID_VALUE;
	if (kind->ctx->state != KOVA_CTX_STATE_IDLE || kind->num_allocated != 0)
		return KOVA_ERROR_BAD_STATE;
	std::size_t const bytes = kind->task_size * num_tasks;
	auto *storage = static_cast<std::byte *>(::operator new[](bytes, std::align_val_t{kind->task_align}, std::nothrow));
	if (storage == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	release_pool(kind);
	std::memset(storage, 0, bytes);
	kind->storage = storage;
	kind->num_tasks = num_tasks;
	kind->success_cb = success_cb;
	kind->error_cb = error_cb;
	// The free list hands out tasks in slot order.
	kova_task *next = nullptr;
	for (uint32_t i = num_tasks; i-- > 0;) {
		auto *task = reinterpret_cast<kova_task *>(storage + kind->task_size * i);
		task->kind = kind;
		task->next = next;
		next = task;
	}
	kind->free_list = next;
	test::note_num_tasks(num_tasks);
	return KOVA_SUCCESS;
}

} // namespace kova::sdk

KOVA_EXPORT kova_error kova_ctx_set_user_data(kova_ctx *ctx, kova_data user_data)
{
	if (ctx == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	ctx->user_data = user_data;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_ctx_get_user_data(const kova_ctx *ctx, kova_data *user_data)
{
	if (ctx == nullptr || user_data == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*user_data = ctx->user_data;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_ctx_set_state_changed_cb(kova_ctx *ctx, kova_ctx_state_changed_callback_t cb)
{
	if (ctx == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_ctx_set_state_changed_cb"))
		return forced;
	if (ctx->state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	ctx->state_changed_cb = cb;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_ctx_start(kova_ctx *ctx)
{
	if (ctx == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_ctx_start"))
		return forced;
	// A context whose data path is on a GPU posts no tasks from the CPU and needs no task kind.
	if (ctx->pe == nullptr || ctx->state != KOVA_CTX_STATE_IDLE ||
	    (!kova::sdk::any_kind_configured(ctx) && ctx->gpu_datapath == nullptr))
		return KOVA_ERROR_BAD_STATE;
	kova::sdk::ctx_set_state(ctx, KOVA_CTX_STATE_STARTING);
	if (ctx->ops != nullptr && ctx->ops->on_start != nullptr) {
		kova_error const result = ctx->ops->on_start(ctx);
		if (result == KOVA_ERROR_IN_PROGRESS && ctx->async != nullptr) {
			// The library completes the start from its poll hook.
			return ctx->async->start_answers_in_progress && ctx->state == KOVA_CTX_STATE_STARTING
				       ? kova_error{KOVA_ERROR_IN_PROGRESS}
				       : kova_error{KOVA_SUCCESS};
		}
		if (result != KOVA_SUCCESS) {
			// Releases what the failed start took.
			kova::sdk::ctx_finish_stop(ctx);
			return result;
		}
	}
	kova::sdk::ctx_set_state(ctx, KOVA_CTX_STATE_RUNNING);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_ctx_stop(kova_ctx *ctx)
{
	if (ctx == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_ctx_stop"))
		return forced;
	if (ctx->state == KOVA_CTX_STATE_IDLE)
		return KOVA_SUCCESS;
	if (ctx->num_inflight == 0) {
		kova::sdk::ctx_finish_stop(ctx);
		return KOVA_SUCCESS;
	}
	// Tasks still held back by the doorbell rule would never complete otherwise.
	if (ctx->pending_head != nullptr)
		kova::sdk::ring_doorbell(ctx);
	kova::sdk::ctx_set_state(ctx, KOVA_CTX_STATE_STOPPING);
	return KOVA_ERROR_IN_PROGRESS;
}

KOVA_EXPORT kova_error kova_ctx_get_state(const kova_ctx *ctx, enum kova_ctx_states *state)
{
	if (ctx == nullptr || state == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_ctx_get_state"))
		return forced;
	*state = static_cast<kova_ctx_states>(ctx->state);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_ctx_get_num_inflight_tasks(const kova_ctx *ctx, size_t *num_inflight_tasks)
{
	if (ctx == nullptr || num_inflight_tasks == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_ctx_get_num_inflight_tasks"))
		return forced;
	*num_inflight_tasks = ctx->num_inflight;
	return KOVA_SUCCESS;
}
