/*
 * SHA library (libkova_sha.so.2): one-shot hashes and partial hashes over a sequence of buffers.
 *
 * Unless noted, a function returns kova_error: 0 on success, KOVA_ERROR_INVALID_VALUE for a null or malformed
 * argument, KOVA_ERROR_BAD_STATE when the instance is in the wrong state, and KOVA_ERROR_NOT_SUPPORTED when the
 * device cannot do it. Out-parameters are written only on success. Capability queries take the device
 * information and answer KOVA_SUCCESS (yes) or KOVA_ERROR_NOT_SUPPORTED (no); they are thread-safe. Both task
 * kinds follow one pattern: set_conf preallocates num_tasks tasks (>= 1) while the context is idle, alloc_init
 * takes one of them (KOVA_ERROR_NO_MEMORY when none is left), as_task gives its generic handle.
 */
#ifndef KOVA_SHA_H
#define KOVA_SHA_H

#include <kova/error.h>
#include <kova/types.h>

typedef struct kova_sha kova_sha;
typedef struct kova_sha_task_hash kova_sha_task_hash;
typedef struct kova_sha_task_partial_hash kova_sha_task_partial_hash;

enum kova_sha_algorithm {
	KOVA_SHA_ALGORITHM_SHA1 = 0,
	KOVA_SHA_ALGORITHM_SHA256 = 1,
	KOVA_SHA_ALGORITHM_SHA512 = 2,
};

/* Instance and context. */
KOVA_EXPORT kova_error kova_sha_create(kova_dev *dev, kova_sha **sha);
/* 18 while tasks are in flight; the instance is then kept. */
KOVA_EXPORT kova_error kova_sha_destroy(kova_sha *sha);
KOVA_EXPORT kova_ctx *kova_sha_as_ctx(kova_sha *sha);

/* Capabilities; algorithm is one of enum kova_sha_algorithm. */
KOVA_EXPORT kova_error kova_sha_cap_task_hash_get_supported(const kova_devinfo *devinfo, uint32_t algorithm);
KOVA_EXPORT kova_error kova_sha_cap_task_partial_hash_get_supported(const kova_devinfo *devinfo,
								    uint32_t algorithm);
KOVA_EXPORT kova_error kova_sha_cap_get_max_list_buf_num_elem(const kova_devinfo *devinfo,
							      uint32_t *max_list_num_elem);
KOVA_EXPORT kova_error kova_sha_cap_get_max_src_buf_size(const kova_devinfo *devinfo, uint64_t *max_buf_size);
/* The digest size of the algorithm: the destination must have at least this much room. */
KOVA_EXPORT kova_error kova_sha_cap_get_min_dst_buf_size(const kova_devinfo *devinfo, uint32_t algorithm,
							 uint32_t *min_dst_buf_size);
/* Every partial hash source but the final one is a multiple of this size. */
KOVA_EXPORT kova_error kova_sha_cap_get_partial_hash_block_size(const kova_devinfo *devinfo, uint32_t algorithm,
								uint32_t *partial_block_size);

/* Hash task: the digest of the source's data is appended to the destination. */
KOVA_EXPORT kova_error kova_sha_task_hash_set_conf(kova_sha *sha, kova_task_completion_cb_t success_cb,
						   kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_sha_task_hash_alloc_init(kova_sha *sha, uint32_t algorithm, const kova_buf *src,
						     kova_buf *dst, kova_data user_data, kova_sha_task_hash **task);
KOVA_EXPORT void kova_sha_task_hash_set_src(kova_sha_task_hash *task, const kova_buf *src);
KOVA_EXPORT const kova_buf *kova_sha_task_hash_get_src(const kova_sha_task_hash *task);
KOVA_EXPORT void kova_sha_task_hash_set_dst(kova_sha_task_hash *task, kova_buf *dst);
KOVA_EXPORT kova_buf *kova_sha_task_hash_get_dst(const kova_sha_task_hash *task);
KOVA_EXPORT void kova_sha_task_hash_set_algorithm(kova_sha_task_hash *task, uint32_t algorithm);
KOVA_EXPORT uint32_t kova_sha_task_hash_get_algorithm(const kova_sha_task_hash *task);
KOVA_EXPORT kova_task *kova_sha_task_hash_as_task(kova_sha_task_hash *task);

/*
 * Partial hash task: each submission hashes one more source; the submission marked final writes the digest
 * to the destination. reset starts a new hash (KOVA_ERROR_BAD_STATE while the task is in flight).
 */
KOVA_EXPORT kova_error kova_sha_task_partial_hash_set_conf(kova_sha *sha, kova_task_completion_cb_t success_cb,
							   kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_sha_task_partial_hash_alloc_init(kova_sha *sha, uint32_t algorithm, const kova_buf *src,
							     kova_buf *dst, kova_data user_data,
							     kova_sha_task_partial_hash **task);
KOVA_EXPORT kova_error kova_sha_task_partial_hash_reset(kova_sha_task_partial_hash *task);
KOVA_EXPORT void kova_sha_task_partial_hash_set_src(kova_sha_task_partial_hash *task, const kova_buf *src);
KOVA_EXPORT const kova_buf *kova_sha_task_partial_hash_get_src(const kova_sha_task_partial_hash *task);
KOVA_EXPORT void kova_sha_task_partial_hash_set_dst(kova_sha_task_partial_hash *task, kova_buf *dst);
KOVA_EXPORT kova_buf *kova_sha_task_partial_hash_get_dst(const kova_sha_task_partial_hash *task);
KOVA_EXPORT void kova_sha_task_partial_hash_set_algorithm(kova_sha_task_partial_hash *task, uint32_t algorithm);
KOVA_EXPORT uint32_t kova_sha_task_partial_hash_get_algorithm(const kova_sha_task_partial_hash *task);
KOVA_EXPORT void kova_sha_task_partial_hash_set_is_final_buf(kova_sha_task_partial_hash *task);
KOVA_EXPORT uint8_t kova_sha_task_partial_hash_get_is_final(const kova_sha_task_partial_hash *task);
KOVA_EXPORT uint8_t kova_sha_task_partial_hash_get_has_result(const kova_sha_task_partial_hash *task);
KOVA_EXPORT kova_task *kova_sha_task_partial_hash_as_task(kova_sha_task_partial_hash *task);

#endif
