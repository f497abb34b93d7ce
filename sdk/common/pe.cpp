// Progress engine: creation, contexts, notification. The progress call itself is in datapath.cpp.
#include "engine.hpp"
#include "test_state.hpp"

#include <kova_internal/capability.hpp>
#include <kova_internal/sdk_log.hpp>

#include <kova/error.h>
#include <kova/pe.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>

using kova::sdk::control_call;

namespace kova::sdk {

bool pe_signal(kova_pe *pe) noexcept
{
	uint64_t const one = 1;
	pe->armed = 0;
	return ::write(pe->event_fd, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one));
}

} // namespace kova::sdk

namespace {

void unlink_ctx(kova_pe *pe, kova_ctx *ctx) noexcept
{
	if (ctx->pe_prev != nullptr)
		ctx->pe_prev->pe_next = ctx->pe_next;
	else
		pe->contexts = ctx->pe_next;
	if (ctx->pe_next != nullptr)
		ctx->pe_next->pe_prev = ctx->pe_prev;
	ctx->pe_prev = nullptr;
	ctx->pe_next = nullptr;
	ctx->pe = nullptr;
	if (ctx->async != nullptr)
		--pe->num_async;
}

// Takes every in-flight task of the context out of flight without a callback.
void abandon_tasks(kova_pe *pe, kova_ctx *ctx) noexcept
{
	kova_task **link = &pe->ready_head;
	kova_task *previous = nullptr;
	while (*link != nullptr) {
		kova_task *task = *link;
		if (task->kind->ctx == ctx) {
			*link = task->next;
			task->next = nullptr;
			task->in_flight = 0;
			task->status = KOVA_ERROR_BAD_STATE;
		} else {
			previous = task;
			link = &task->next;
		}
	}
	pe->ready_tail = previous;
	for (kova_task *task = ctx->pending_head; task != nullptr;) {
		kova_task *next = task->next;
		task->next = nullptr;
		task->in_flight = 0;
		task->status = KOVA_ERROR_BAD_STATE;
		task = next;
	}
	ctx->pending_head = nullptr;
	ctx->pending_tail = nullptr;
	ctx->num_inflight = 0;
}

} // namespace

KOVA_EXPORT kova_error kova_pe_create(kova_pe **pe)
{
	if (pe == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_pe_create"))
		return forced;
	auto *engine = new (std::nothrow) kova_pe{};
	if (engine == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	engine->event_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
	if (engine->event_fd < 0) {
		delete engine;
		return KOVA_ERROR_OPERATING_SYSTEM;
	}
	try {
		kova::sdk::test::register_pe(engine);
	} catch (...) {
		::close(engine->event_fd);
		delete engine;
		return KOVA_ERROR_NO_MEMORY;
	}
	*pe = engine;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_pe_destroy(kova_pe *pe)
{
	if (pe == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_pe_destroy"))
		return forced;
	kova_error result = KOVA_SUCCESS;
	if (pe->contexts != nullptr) {
		kova::sdk::log(KOVA_LOG_LEVEL_WARNING, "kova_pe_destroy: contexts still connected; detaching them");
		kova::sdk::test::note_refused_release();
		result = KOVA_ERROR_BAD_STATE;
		while (pe->contexts != nullptr) {
			kova_ctx *ctx = pe->contexts;
			abandon_tasks(pe, ctx);
			unlink_ctx(pe, ctx);
			if (ctx->state != KOVA_CTX_STATE_IDLE)
				kova::sdk::ctx_finish_stop(ctx);
		}
	}
	kova::sdk::test::retire_pe(pe);
	::close(pe->event_fd);
	delete pe;
	return result;
}

KOVA_EXPORT kova_error kova_pe_connect_ctx(kova_pe *pe, kova_ctx *ctx)
{
	if (pe == nullptr || ctx == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_pe_connect_ctx"))
		return forced;
	if (ctx->pe != nullptr || ctx->state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	ctx->pe = pe;
	ctx->pe_prev = nullptr;
	ctx->pe_next = pe->contexts;
	if (pe->contexts != nullptr)
		pe->contexts->pe_prev = ctx;
	pe->contexts = ctx;
	if (ctx->async != nullptr)
		++pe->num_async;
	return KOVA_SUCCESS;
}

namespace kova::sdk {

void pe_disconnect(kova_ctx *ctx) noexcept
{
	if (ctx->pe != nullptr)
		unlink_ctx(ctx->pe, ctx);
}

} // namespace kova::sdk

KOVA_EXPORT kova_error kova_pe_get_notification_handle(const kova_pe *pe, int *handle)
{
	if (pe == nullptr || handle == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*handle = pe->event_fd;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_pe_request_notification(kova_pe *pe)
{
	if (pe == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	bool const held = kova::sdk::test::active() && kova::sdk::test::completions_held();
	if (pe->ready_head == nullptr || held) {
		pe->armed = 1;
		return KOVA_SUCCESS;
	}
	return kova::sdk::pe_signal(pe) ? KOVA_SUCCESS : KOVA_ERROR_OPERATING_SYSTEM;
}

KOVA_EXPORT kova_error kova_pe_clear_notification(kova_pe *pe, int /*handle*/)
{
	if (pe == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	pe->armed = 0;
	uint64_t value = 0;
	if (::read(pe->event_fd, &value, sizeof(value)) < 0 && errno != EAGAIN && errno != EINTR)
		return KOVA_ERROR_OPERATING_SYSTEM;
	return KOVA_SUCCESS;
}
