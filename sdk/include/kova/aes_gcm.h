/*
 * AES-GCM library (libkova_aes_gcm.so.2): authenticated encryption and decryption with a key object shared by
 * the tasks of one instance.
 *
 * Unless noted, a function returns kova_error: 0 on success, KOVA_ERROR_INVALID_VALUE for a null or malformed
 * argument, KOVA_ERROR_BAD_STATE when the instance is in the wrong state, and KOVA_ERROR_NOT_SUPPORTED when the
 * device cannot do it. Out-parameters are written only on success. Capability queries take the device
 * information and answer KOVA_SUCCESS (yes) or KOVA_ERROR_NOT_SUPPORTED (no); they are thread-safe. Both task
 * kinds follow one pattern: set_conf preallocates num_tasks tasks (>= 1) while the context is idle, alloc_init
 * takes one of them (KOVA_ERROR_NO_MEMORY when none is left), as_task gives its generic handle.
 */
#ifndef KOVA_AES_GCM_H
#define KOVA_AES_GCM_H

#include <kova/error.h>
#include <kova/types.h>

typedef struct kova_aes_gcm kova_aes_gcm;
typedef struct kova_aes_gcm_key kova_aes_gcm_key;
typedef struct kova_aes_gcm_task_encrypt kova_aes_gcm_task_encrypt;
typedef struct kova_aes_gcm_task_decrypt kova_aes_gcm_task_decrypt;

/* Key types; the raw key is 16 or 32 bytes long. */
enum kova_aes_gcm_key_type {
	KOVA_AES_GCM_KEY_128 = 1,
	KOVA_AES_GCM_KEY_256 = 2,
};

/* Instance, context and keys. */
KOVA_EXPORT kova_error kova_aes_gcm_create(kova_dev *dev, kova_aes_gcm **aes_gcm);
/* 18 while tasks are in flight; the instance is then kept. */
KOVA_EXPORT kova_error kova_aes_gcm_destroy(kova_aes_gcm *aes_gcm);
KOVA_EXPORT kova_ctx *kova_aes_gcm_as_ctx(kova_aes_gcm *aes_gcm);
KOVA_EXPORT kova_error kova_aes_gcm_cap_get_max_num_tasks(const kova_aes_gcm *aes_gcm, uint32_t *max_num_tasks);
/* raw_key holds 16 bytes for KOVA_AES_GCM_KEY_128 and 32 for KOVA_AES_GCM_KEY_256; it is copied. */
KOVA_EXPORT kova_error kova_aes_gcm_key_create(kova_aes_gcm *aes_gcm, const void *raw_key, uint32_t key_type,
					       kova_aes_gcm_key **key);
KOVA_EXPORT kova_error kova_aes_gcm_key_destroy(kova_aes_gcm_key *key);

/* Encryption: capabilities (iv length in bytes, key_type of enum kova_aes_gcm_key_type). */
KOVA_EXPORT kova_error kova_aes_gcm_cap_task_encrypt_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_aes_gcm_cap_task_encrypt_get_max_iv_len(const kova_devinfo *devinfo,
								    uint32_t *max_iv_len);
KOVA_EXPORT kova_error kova_aes_gcm_cap_task_encrypt_is_tag_96_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_aes_gcm_cap_task_encrypt_is_tag_128_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_aes_gcm_cap_task_encrypt_is_key_type_supported(const kova_devinfo *devinfo,
									   uint32_t key_type);
KOVA_EXPORT kova_error kova_aes_gcm_cap_task_encrypt_get_max_buf_size(const kova_devinfo *devinfo,
								      uint64_t *max_buf_size);
KOVA_EXPORT kova_error kova_aes_gcm_cap_task_encrypt_get_max_list_buf_num_elem(const kova_devinfo *devinfo,
									       uint32_t *max_list_num_elem);

/*
 * Encryption task. The destination receives the cipher text followed by the tag (tag_size bytes: 12 or 16);
 * the first aad_size bytes of the source are authenticated and copied, not encrypted.
 */
KOVA_EXPORT kova_error kova_aes_gcm_task_encrypt_set_conf(kova_aes_gcm *aes_gcm, kova_task_completion_cb_t success_cb,
							  kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_aes_gcm_task_encrypt_alloc_init(kova_aes_gcm *aes_gcm, const kova_buf *src, kova_buf *dst,
							    kova_aes_gcm_key *key, const uint8_t *iv,
							    uint32_t iv_length, uint32_t tag_size, uint32_t aad_size,
							    kova_data user_data, kova_aes_gcm_task_encrypt **task);
KOVA_EXPORT kova_task *kova_aes_gcm_task_encrypt_as_task(kova_aes_gcm_task_encrypt *task);
KOVA_EXPORT void kova_aes_gcm_task_encrypt_set_src(kova_aes_gcm_task_encrypt *task, const kova_buf *src);
KOVA_EXPORT const kova_buf *kova_aes_gcm_task_encrypt_get_src(const kova_aes_gcm_task_encrypt *task);
KOVA_EXPORT void kova_aes_gcm_task_encrypt_set_dst(kova_aes_gcm_task_encrypt *task, kova_buf *dst);
KOVA_EXPORT kova_buf *kova_aes_gcm_task_encrypt_get_dst(const kova_aes_gcm_task_encrypt *task);
KOVA_EXPORT void kova_aes_gcm_task_encrypt_set_key(kova_aes_gcm_task_encrypt *task, kova_aes_gcm_key *key);
KOVA_EXPORT kova_aes_gcm_key *kova_aes_gcm_task_encrypt_get_key(const kova_aes_gcm_task_encrypt *task);
/* The iv is copied. */
KOVA_EXPORT void kova_aes_gcm_task_encrypt_set_iv(kova_aes_gcm_task_encrypt *task, const uint8_t *iv,
						  uint32_t iv_length);
KOVA_EXPORT const uint8_t *kova_aes_gcm_task_encrypt_get_iv(const kova_aes_gcm_task_encrypt *task,
							    uint32_t *iv_length);
KOVA_EXPORT void kova_aes_gcm_task_encrypt_set_tag_size(kova_aes_gcm_task_encrypt *task, uint32_t tag_size);
KOVA_EXPORT uint32_t kova_aes_gcm_task_encrypt_get_tag_size(const kova_aes_gcm_task_encrypt *task);
KOVA_EXPORT void kova_aes_gcm_task_encrypt_set_aad_size(kova_aes_gcm_task_encrypt *task, uint32_t aad_size);
KOVA_EXPORT uint32_t kova_aes_gcm_task_encrypt_get_aad_size(const kova_aes_gcm_task_encrypt *task);

/* Decryption: capabilities. */
KOVA_EXPORT kova_error kova_aes_gcm_cap_task_decrypt_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_aes_gcm_cap_task_decrypt_get_max_iv_len(const kova_devinfo *devinfo,
								    uint32_t *max_iv_len);
KOVA_EXPORT kova_error kova_aes_gcm_cap_task_decrypt_is_tag_96_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_aes_gcm_cap_task_decrypt_is_tag_128_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_aes_gcm_cap_task_decrypt_is_key_type_supported(const kova_devinfo *devinfo,
									   uint32_t key_type);
KOVA_EXPORT kova_error kova_aes_gcm_cap_task_decrypt_get_max_buf_size(const kova_devinfo *devinfo,
								      uint64_t *max_buf_size);
KOVA_EXPORT kova_error kova_aes_gcm_cap_task_decrypt_get_max_list_buf_num_elem(const kova_devinfo *devinfo,
									       uint32_t *max_list_num_elem);

/* Decryption task: the source holds the cipher text followed by the tag; a wrong tag fails the task. */
KOVA_EXPORT kova_error kova_aes_gcm_task_decrypt_set_conf(kova_aes_gcm *aes_gcm, kova_task_completion_cb_t success_cb,
							  kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_aes_gcm_task_decrypt_alloc_init(kova_aes_gcm *aes_gcm, const kova_buf *src, kova_buf *dst,
							    kova_aes_gcm_key *key, const uint8_t *iv,
							    uint32_t iv_length, uint32_t tag_size, uint32_t aad_size,
							    kova_data user_data, kova_aes_gcm_task_decrypt **task);
KOVA_EXPORT kova_task *kova_aes_gcm_task_decrypt_as_task(kova_aes_gcm_task_decrypt *task);
KOVA_EXPORT void kova_aes_gcm_task_decrypt_set_src(kova_aes_gcm_task_decrypt *task, const kova_buf *src);
KOVA_EXPORT const kova_buf *kova_aes_gcm_task_decrypt_get_src(const kova_aes_gcm_task_decrypt *task);
KOVA_EXPORT void kova_aes_gcm_task_decrypt_set_dst(kova_aes_gcm_task_decrypt *task, kova_buf *dst);
KOVA_EXPORT kova_buf *kova_aes_gcm_task_decrypt_get_dst(const kova_aes_gcm_task_decrypt *task);
KOVA_EXPORT void kova_aes_gcm_task_decrypt_set_key(kova_aes_gcm_task_decrypt *task, kova_aes_gcm_key *key);
KOVA_EXPORT kova_aes_gcm_key *kova_aes_gcm_task_decrypt_get_key(const kova_aes_gcm_task_decrypt *task);
KOVA_EXPORT void kova_aes_gcm_task_decrypt_set_iv(kova_aes_gcm_task_decrypt *task, const uint8_t *iv,
						  uint32_t iv_length);
KOVA_EXPORT const uint8_t *kova_aes_gcm_task_decrypt_get_iv(const kova_aes_gcm_task_decrypt *task,
							    uint32_t *iv_length);
KOVA_EXPORT void kova_aes_gcm_task_decrypt_set_tag_size(kova_aes_gcm_task_decrypt *task, uint32_t tag_size);
KOVA_EXPORT uint32_t kova_aes_gcm_task_decrypt_get_tag_size(const kova_aes_gcm_task_decrypt *task);
KOVA_EXPORT void kova_aes_gcm_task_decrypt_set_aad_size(kova_aes_gcm_task_decrypt *task, uint32_t aad_size);
KOVA_EXPORT uint32_t kova_aes_gcm_task_decrypt_get_aad_size(const kova_aes_gcm_task_decrypt *task);

#endif
