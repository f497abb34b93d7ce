/*
 * Tasks: allocated from the pool of their kind with <lib>_task_<kind>_alloc_init, submitted,
 * and delivered by kova_pe_progress. None of these calls locks, allocates or makes a system call
 * (except the one write that wakes an armed engine).
 */
#ifndef KOVA_TASK_H
#define KOVA_TASK_H

#include <kova/types.h>

/* Flags of kova_task_submit_ex. */
enum kova_task_submit_flag {
	KOVA_TASK_SUBMIT_FLAG_NONE = 0,
	/* Rings the doorbell for this task and every earlier unflushed task of its context. */
	KOVA_TASK_SUBMIT_FLAG_FLUSH = 1,
	/* Fewer completion reports; every task is still delivered with its own callback. */
	KOVA_TASK_SUBMIT_FLAG_OPTIMIZE_REPORTS = 2,
};

/*
 * Submits and flushes a task. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null or when the task's
 * sources exceed its kind's maximum buffer size; KOVA_ERROR_BAD_STATE when the task is in flight or not
 * allocated or its context not running.
 */
KOVA_EXPORT kova_error kova_task_submit(kova_task *task);

/*
 * Submits a task with flags. Without KOVA_TASK_SUBMIT_FLAG_FLUSH the task is accepted but does not
 * run until a later flushed submission on the same context. Returns as kova_task_submit, and 6
 * for unknown flags.
 */
KOVA_EXPORT kova_error kova_task_submit_ex(kova_task *task, uint32_t flags);

/*
 * As kova_task_submit, but may also fail at once with KOVA_ERROR_AGAIN (queue full) or KOVA_ERROR_NO_MEMORY (no
 * resources).
 */
KOVA_EXPORT kova_error kova_task_try_submit(kova_task *task);

/*
 * Returns the task to its pool. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_BAD_STATE
 * while in flight or when already free.
 */
KOVA_EXPORT kova_error kova_task_free(kova_task *task);

/* The status of the task's last completion (0 before any); KOVA_ERROR_INVALID_VALUE for null. */
KOVA_EXPORT kova_error kova_task_get_status(const kova_task *task);

/*
 * Replaces the user data a task's callbacks receive; the task must not be in flight. Returns KOVA_SUCCESS;
 * KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_BAD_STATE while it is in flight.
 */
KOVA_EXPORT kova_error kova_task_set_user_data(kova_task *task, kova_data user_data);

#endif
