/*
 * Test control of the stand-in SDK: faults, a stalled device, a replaced device table, a call
 * trace and counters. For tests only; the system never includes this header.
 *
 * Every call is thread-safe. Faults and holds apply to the whole process until used up or reset.
 */
#ifndef KOVA_TEST_CONTROL_H
#define KOVA_TEST_CONTROL_H

#include <kova/types.h>

/*
 * Back to the defaults: the built-in device table, no injected results, no held completions, no
 * overrides, trace off and empty, process counters zero.
 */
KOVA_EXPORT void kova_test_reset(void);

/* One device of a replacement table. */
struct kova_test_device {
	const char *pci_addr; /* "BB:DD.F" or "DDDD:BB:DD.F" */
	const char *ibdev_name;
	const char *iface_name;
	uint8_t rep_filter_net_supported;
	const char *const *rep_pci_addrs; /* network representors */
	uint32_t num_reps;
};

/*
 * Replaces the device table (copied). Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for a malformed entry (the
 * table stays).
 */
KOVA_EXPORT kova_error kova_test_set_device_table(const struct kova_test_device *devices, uint32_t count);

/*
 * The next count completions of tasks of ctx (of any context when ctx is null) do not run and
 * complete with the status (non-zero) through the error callback.
 */
KOVA_EXPORT void kova_test_inject_completion_status(const kova_ctx *ctx, kova_error status, uint32_t count);

/* Which submission calls kova_test_inject_submit_result affects. */
enum kova_test_submit_call {
	KOVA_TEST_SUBMIT = 1,
	KOVA_TEST_SUBMIT_EX = 2,
	KOVA_TEST_TRY_SUBMIT = 4,
	KOVA_TEST_ANY_SUBMIT = 7,
};

/*
 * The next count calls among `calls` (kova_test_submit_call bits) on tasks of ctx (any context
 * when null) return result and accept nothing.
 */
KOVA_EXPORT void kova_test_inject_submit_result(const kova_ctx *ctx, uint32_t calls, kova_error result,
						uint32_t count);

/* Non-zero: a stalled device; progress delivers nothing and engines are not woken. 0 resumes. */
KOVA_EXPORT void kova_test_hold_completions(uint8_t hold);

/*
 * Non-zero: the progress call that delivers a task first waits delay_ns nanoseconds (spinning on
 * the monotonic clock) for each task it runs, so that every completion takes at least that long
 * after its task was flushed. 0 delivers at once again.
 */
KOVA_EXPORT void kova_test_delay_completions(uint64_t delay_ns);

/*
 * The next count calls of the named control-path function (for example "kova_mmap_start",
 * "kova_ctx_stop") return result without doing anything.
 */
KOVA_EXPORT void kova_test_force_result(const char *function, kova_error result, uint32_t count);

/*
 * Answers of a capability query by its function name (for example
 * "kova_devinfo_rep_cap_is_filter_net_supported"): a non-zero result is returned as the query's
 * result; result 0 answers with value (a flag or a maximum).
 */
KOVA_EXPORT void kova_test_override_capability(const char *query, kova_error result, uint64_t value);

/*
 * Records control-path calls as lines "name" or "name(argument)". Enabling empties the record.
 */
KOVA_EXPORT void kova_test_trace_enable(uint8_t enable);

/* Copies the record, NUL-terminated and cut to len - 1 bytes; returns its full length. */
KOVA_EXPORT size_t kova_test_trace_read(char *buffer, size_t len);

struct kova_test_counters {
	uint64_t submissions;      /* accepted submissions of all three kinds */
	uint64_t flushes;          /* doorbells rung */
	uint64_t completions;      /* callbacks run, success and error */
	uint64_t error_completions;
	uint64_t progress_calls;   /* engines only */
	uint64_t productive_progress_calls;
};

/* Counters of one engine since its creation. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null. */
KOVA_EXPORT kova_error kova_test_pe_get_counters(const kova_pe *pe, struct kova_test_counters *counters);

/*
 * Counters of one context since its creation (progress fields 0). Returns KOVA_SUCCESS;
 * KOVA_ERROR_INVALID_VALUE for null.
 */
KOVA_EXPORT kova_error kova_test_ctx_get_counters(const kova_ctx *ctx, struct kova_test_counters *counters);

/* Counters of all engines, live and destroyed, since the last reset. */
KOVA_EXPORT void kova_test_get_counters(struct kova_test_counters *counters);

/*
 * Tasks configured (all kinds) and currently allocated of a context. Returns KOVA_SUCCESS;
 * KOVA_ERROR_INVALID_VALUE for null.
 */
KOVA_EXPORT kova_error kova_test_ctx_get_num_tasks(const kova_ctx *ctx, uint32_t *configured, uint32_t *allocated);

/*
 * Frees and destroys refused since the last reset because what they name is still in use: a task
 * in flight (kova_task_free), a context with tasks in flight (its library's destroy) and an engine
 * with contexts still connected (kova_pe_destroy, which then detaches them).
 */
KOVA_EXPORT uint64_t kova_test_get_refused_releases(void);

/* num_tasks of the latest task configuration in the process (0 after a reset). */
KOVA_EXPORT uint32_t kova_test_get_last_num_tasks(void);

/* Counters of the Ethernet queues of one network interface, live and destroyed, since the last reset. */
struct kova_test_eth_counters {
	uint64_t rx_frames;                /* delivered into receive tasks */
	uint64_t rx_bytes;
	uint64_t rx_dropped_no_task;       /* no posted receive task took them before the ring was full */
	uint64_t rx_dropped_too_large;     /* longer than the posted task's buffer */
	uint64_t rx_dropped_no_match;      /* no steering rule (or no rules at all) */
	uint64_t rx_dropped_unknown_queue; /* steered to a queue id that no started queue holds */
	uint64_t rx_dropped_by_rule;       /* a rule dropped them */
	uint64_t tx_frames;                /* taken by the kernel */
	uint64_t tx_bytes;
	uint64_t tx_failed;                /* send tasks completed with an error */
	uint64_t chksum_computed;          /* frames whose checksums the send queue filled */
	uint64_t chksum_skipped;           /* frames with checksum offload on that were not IPv4 */
};

/*
 * Counters of the interface. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_NOT_FOUND when
 * no queue ever used the interface.
 */
KOVA_EXPORT kova_error kova_test_eth_get_counters(const char *iface_name, struct kova_test_eth_counters *counters);

/* What the comch consumers and producers of the process moved, live and destroyed, since the last reset. */
struct kova_test_comch_counters {
	uint64_t consumers;         /* consumers live at the last reset or created since */
	uint64_t producers;         /* producers likewise */
	uint64_t received_messages; /* post-receive tasks completed with a message placed in their buffer */
	uint64_t received_bytes;    /* the message bytes of those */
	uint64_t receives_failed;   /* post-receive tasks completed with an error (message too large, stopped) */
	uint64_t sent_messages;     /* send tasks completed once their consumer placed the message */
	uint64_t sent_bytes;        /* the message bytes of those */
	uint64_t sends_failed;      /* send tasks completed with an error (refused, consumer gone, stopped) */
};

/* The comch counters of the process. */
KOVA_EXPORT void kova_test_comch_get_counters(struct kova_test_comch_counters *counters);

#endif
