/* Contexts: the running instance of an offload library, seen through its <lib>_as_ctx call. */
#ifndef KOVA_CTX_H
#define KOVA_CTX_H

#include <kova/types.h>

enum kova_ctx_states {
	KOVA_CTX_STATE_IDLE = 0,
	KOVA_CTX_STATE_STARTING = 1,
	KOVA_CTX_STATE_RUNNING = 2,
	KOVA_CTX_STATE_STOPPING = 3,
};

/* Called on the context's thread whenever its state changes, with the context's user data. */
typedef void (*kova_ctx_state_changed_callback_t)(kova_data user_data, kova_ctx *ctx,
						  enum kova_ctx_states prev_state, enum kova_ctx_states next_state);

/* Stores the data handed to every completion callback of the context. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null. */
KOVA_EXPORT kova_error kova_ctx_set_user_data(kova_ctx *ctx, kova_data user_data);

/* The data stored by kova_ctx_set_user_data (zero before). Returns KOVA_SUCCESS;
 * KOVA_ERROR_INVALID_VALUE for null. */
KOVA_EXPORT kova_error kova_ctx_get_user_data(const kova_ctx *ctx, kova_data *user_data);

/* Registers the state-change callback (null removes it); only while idle. Returns
 * KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for a null ctx; KOVA_ERROR_BAD_STATE otherwise. */
KOVA_EXPORT kova_error kova_ctx_set_state_changed_cb(kova_ctx *ctx, kova_ctx_state_changed_callback_t cb);

/*
 * Starts an idle context that is connected to an engine and has at least one task kind
 * configured (none when its data path is on a GPU). Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null;
 * KOVA_ERROR_BAD_STATE otherwise; the library's code
 * when it cannot set up.
 */
KOVA_EXPORT kova_error kova_ctx_start(kova_ctx *ctx);

/*
 * Stops a context. Nothing in flight (or already idle): 0, the context is idle. Tasks in flight:
 * unflushed ones are flushed, the context is stopping and the call returns KOVA_ERROR_IN_PROGRESS; it becomes idle
 * once progress has delivered the last of them. Returns KOVA_ERROR_INVALID_VALUE for null.
 */
KOVA_EXPORT kova_error kova_ctx_stop(kova_ctx *ctx);

/* Returns KOVA_SUCCESS and the kova_ctx_states value; KOVA_ERROR_INVALID_VALUE for null. */
KOVA_EXPORT kova_error kova_ctx_get_state(const kova_ctx *ctx, enum kova_ctx_states *state);

/* Returns KOVA_SUCCESS and the number of submitted tasks not yet delivered; KOVA_ERROR_INVALID_VALUE for null. */
KOVA_EXPORT kova_error kova_ctx_get_num_inflight_tasks(const kova_ctx *ctx, size_t *num_inflight_tasks);

#endif
