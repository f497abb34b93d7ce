/* Basic types shared by every library of the offload SDK stand-in. */
#ifndef KOVA_TYPES_H
#define KOVA_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KOVA_EXTERN_C extern "C"
#else
#define KOVA_EXTERN_C
#endif

#if defined(KOVA_BUILDING_SDK)
#define KOVA_EXPORT KOVA_EXTERN_C __attribute__((visibility("default")))
#else
#define KOVA_EXPORT KOVA_EXTERN_C
#endif

/* Result of every SDK call; 0 is success. */
typedef uint32_t kova_error;

/* Opaque user data handed back in callbacks. Empty means u64 == 0. */
typedef union kova_data {
	void *ptr;
	uint64_t u64;
} kova_data;

#endif
