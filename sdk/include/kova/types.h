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

/* Opaque handles of the common library. */
typedef struct kova_devinfo kova_devinfo;
typedef struct kova_devinfo_rep kova_devinfo_rep;
typedef struct kova_dev kova_dev;
typedef struct kova_dev_rep kova_dev_rep;
typedef struct kova_pe kova_pe;
typedef struct kova_ctx kova_ctx;
typedef struct kova_task kova_task;
typedef struct kova_mmap kova_mmap;
typedef struct kova_buf kova_buf;
typedef struct kova_buf_inventory kova_buf_inventory;
typedef struct kova_log_backend kova_log_backend;

/* Completion callback of every task kind, for success and error alike. */
typedef void (*kova_task_completion_cb_t)(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);

#endif
