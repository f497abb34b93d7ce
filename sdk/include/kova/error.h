/* Error codes of the offload SDK stand-in and their names. */
#ifndef KOVA_ERROR_H
#define KOVA_ERROR_H

#include <kova/types.h>

/* Each code with when the stand-in returns it; "never" marks a code only callers use. */
enum kova_error_code {
	KOVA_SUCCESS = 0,                     /* the call, or the task, did what was asked */
	KOVA_ERROR_UNKNOWN = 1,               /* never; callers use it for a run that failed critically */
	KOVA_ERROR_NOT_PERMITTED = 2,         /* an Ethernet queue's packet socket refused for lack of privilege */
	KOVA_ERROR_IN_USE = 3,                /* kova_argp_init while the parser's state exists */
	KOVA_ERROR_NOT_SUPPORTED = 4,         /* a capability, task kind, algorithm or memory the device cannot use */
	KOVA_ERROR_AGAIN = 5,                 /* never (the submission queue is never full); callers submit again */
	KOVA_ERROR_INVALID_VALUE = 6,         /* a null or malformed argument, or a value out of range */
	KOVA_ERROR_NO_MEMORY = 7,             /* memory, free tasks or room in a destination list exhausted */
	KOVA_ERROR_INITIALIZATION = 8,        /* an AES-GCM key the cipher library cannot set up */
	KOVA_ERROR_TIME_OUT = 9,              /* never; callers use it for their own waits that expire */
	KOVA_ERROR_SHUTDOWN = 10,             /* a task on a receive queue or RDMA link that is stopping */
	KOVA_ERROR_CONNECTION_RESET = 11,     /* an RDMA link the peer closed or reset; its tasks fail with it */
	KOVA_ERROR_CONNECTION_ABORTED = 12,   /* an RDMA listener whose accept failed */
	KOVA_ERROR_CONNECTION_INPROGRESS = 13, /* never */
	KOVA_ERROR_NOT_CONNECTED = 14,        /* an RDMA connect refused, or an RDMA task before any connection */
	KOVA_ERROR_NO_LOCK = 15,              /* never */
	KOVA_ERROR_NOT_FOUND = 16,            /* no such device, network interface, port, queue or GPU */
	KOVA_ERROR_IO_FAILED = 17,            /* a frame the kernel did not send, or remote memory gone or unreachable */
	KOVA_ERROR_BAD_STATE = 18,            /* a call in the wrong state: not idle, not running, tasks in flight */
	KOVA_ERROR_UNSUPPORTED_VERSION = 19,  /* never */
	KOVA_ERROR_OPERATING_SYSTEM = 20,     /* a failed system call: socket, eventfd, epoll, mmap */
	KOVA_ERROR_DRIVER = 21,               /* DPDK (or the GPU runtime) refused a call */
	KOVA_ERROR_UNEXPECTED = 22,           /* a library call failed without a reason, or the RDMA peer broke the protocol */
	KOVA_ERROR_ALREADY_EXIST = 23,        /* registered twice: an option, a map's device, a flow rule, a queue id */
	KOVA_ERROR_FULL = 24,                 /* never */
	KOVA_ERROR_EMPTY = 25,                /* never */
	KOVA_ERROR_IN_PROGRESS = 26,          /* a context stopping with tasks in flight; drain and retry */
	KOVA_ERROR_TOO_BIG = 27,              /* an RDMA message larger than the receiver's buffer */
};

/* Constant upper-case name of a code; "KOVA_ERROR_UNRECOGNIZED" for any other value. Thread-safe. */
KOVA_EXPORT const char *kova_error_get_name(kova_error error);

/* Constant one-sentence description of a code. Thread-safe. */
KOVA_EXPORT const char *kova_error_get_descr(kova_error error);

/*
 * Text of an operating-system error number, written into buf (at most buflen bytes, always terminated).
 * Returns buf, or NULL when buf is NULL or buflen is 0. Thread-safe.
 */
KOVA_EXPORT const char *priv_kova_strerror(int errnum, char *buf, size_t buflen);

#endif
