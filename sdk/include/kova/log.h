/*
 * Logging. The library writes its own warnings and errors to every backend whose SDK level
 * admits them (a message is written when its level is at or below the backend's level).
 */
#ifndef KOVA_LOG_H
#define KOVA_LOG_H

#include <kova/types.h>

#include <stdio.h>

enum kova_log_level {
	KOVA_LOG_LEVEL_DISABLE = 10,
	KOVA_LOG_LEVEL_CRIT = 20,
	KOVA_LOG_LEVEL_ERROR = 30,
	KOVA_LOG_LEVEL_WARNING = 40,
	KOVA_LOG_LEVEL_INFO = 50,
	KOVA_LOG_LEVEL_DEBUG = 60,
	KOVA_LOG_LEVEL_TRACE = 70,
};

/*
 * Registers a named source of the program's own messages. Returns KOVA_SUCCESS and its id;
 * KOVA_ERROR_INVALID_VALUE for null or an empty name.
 */
KOVA_EXPORT kova_error kova_log_register_source(const char *name, int *source_id);

/* Creates the standard backend: the program's own sources, standard output; no SDK messages. Returns KOVA_SUCCESS. */
KOVA_EXPORT kova_error kova_log_backend_create_standard(void);

/*
 * Creates a backend writing the SDK's messages to the stream, at the error level until changed. The backend
 * lives until the process ends. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_NO_MEMORY.
 */
KOVA_EXPORT kova_error kova_log_backend_create_with_file_sdk(FILE *stream, kova_log_backend **backend);

/*
 * Sets the highest level written. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null or a level that is
 * not one of kova_log_level.
 */
KOVA_EXPORT kova_error kova_log_backend_set_sdk_level(kova_log_backend *backend, uint32_t level);

#endif
