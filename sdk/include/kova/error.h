/* Error codes of the offload SDK stand-in and their names. */
#ifndef KOVA_ERROR_H
#define KOVA_ERROR_H

#include <kova/types.h>

enum kova_error_code {
	KOVA_SUCCESS = 0,
	KOVA_ERROR_UNKNOWN = 1,          /* run failed critically */
	KOVA_ERROR_NOT_PERMITTED = 2,
	KOVA_ERROR_IN_USE = 3,           /* not yet: drain and retry */
	KOVA_ERROR_NOT_SUPPORTED = 4,
	KOVA_ERROR_AGAIN = 5,            /* try again at once */
	KOVA_ERROR_INVALID_VALUE = 6,
	KOVA_ERROR_NO_MEMORY = 7,        /* no memory or no resources */
	KOVA_ERROR_INITIALIZATION = 8,
	KOVA_ERROR_TIME_OUT = 9,
	KOVA_ERROR_SHUTDOWN = 10,
	KOVA_ERROR_CONNECTION_RESET = 11,
	KOVA_ERROR_CONNECTION_ABORTED = 12,
	KOVA_ERROR_CONNECTION_INPROGRESS = 13,
	KOVA_ERROR_NOT_CONNECTED = 14,
	KOVA_ERROR_NO_LOCK = 15,
	KOVA_ERROR_NOT_FOUND = 16,
	KOVA_ERROR_IO_FAILED = 17,
	KOVA_ERROR_BAD_STATE = 18,
	KOVA_ERROR_UNSUPPORTED_VERSION = 19,
	KOVA_ERROR_OPERATING_SYSTEM = 20,
	KOVA_ERROR_DRIVER = 21,
	KOVA_ERROR_UNEXPECTED = 22,
	KOVA_ERROR_ALREADY_EXIST = 23,
	KOVA_ERROR_FULL = 24,
	KOVA_ERROR_EMPTY = 25,
	KOVA_ERROR_IN_PROGRESS = 26,     /* tasks in flight: drain and retry */
	KOVA_ERROR_TOO_BIG = 27,
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
