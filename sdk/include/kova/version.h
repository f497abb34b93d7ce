/* Version of the offload SDK stand-in. */
#ifndef KOVA_VERSION_H
#define KOVA_VERSION_H

#include <kova/types.h>

/* Version the system was compiled against. */
#define KOVA_VERSION_STRING "2.9.0001"

/* Version of the library loaded at run time. */
KOVA_EXPORT const char *kova_version_runtime(void);

#endif
