/*
 * Progress engine: delivers the completions of the contexts connected to it.
 *
 * An engine and its contexts are used by one thread at a time (handing them over at thread
 * start and join is enough); none of these calls takes a lock.
 */
#ifndef KOVA_PE_H
#define KOVA_PE_H

#include <kova/types.h>

/*
 * Creates an engine with its notification handle. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null;
 * KOVA_ERROR_NO_MEMORY; KOVA_ERROR_OPERATING_SYSTEM when the handle cannot be made.
 */
KOVA_EXPORT kova_error kova_pe_create(kova_pe **pe);

/*
 * Destroys an engine. Contexts still connected are detached and their tasks in flight are abandoned without a
 * callback; the call then returns KOVA_ERROR_BAD_STATE. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for
 * null.
 */
KOVA_EXPORT kova_error kova_pe_destroy(kova_pe *pe);

/*
 * Connects an idle, unconnected context. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null;
 * KOVA_ERROR_BAD_STATE otherwise.
 */
KOVA_EXPORT kova_error kova_pe_connect_ctx(kova_pe *pe, kova_ctx *ctx);

/*
 * Runs the tasks that were flushed when the call began, oldest first across all contexts, and
 * for each one sets its status, takes it out of flight and then calls its context's success
 * callback (status 0) or error callback. Tasks submitted by those callbacks run in a later call.
 * Returns 1 when at least one callback ran, else 0 (also for null).
 */
KOVA_EXPORT uint8_t kova_pe_progress(kova_pe *pe);

/*
 * The descriptor that becomes readable (EPOLLIN) when the armed engine has work. Returns KOVA_SUCCESS;
 * KOVA_ERROR_INVALID_VALUE for null.
 */
KOVA_EXPORT kova_error kova_pe_get_notification_handle(const kova_pe *pe, int *handle);

/*
 * Arms the engine: the handle becomes readable at once when a flushed task is waiting, else at the next flushed
 * submission. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_OPERATING_SYSTEM when the
 * handle cannot be written.
 */
KOVA_EXPORT kova_error kova_pe_request_notification(kova_pe *pe);

/*
 * Drains the handle and disarms the engine; the handle argument is not used. Returns KOVA_SUCCESS;
 * KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_OPERATING_SYSTEM.
 */
KOVA_EXPORT kova_error kova_pe_clear_notification(kova_pe *pe, int handle);

#endif
