// The AES-GCM library's instance, keys, task types and their execution functions.
//
// Layout of the data: encryption reads AAD then plain text and writes AAD, cipher text, tag;
// decryption reads AAD, cipher text, tag and writes AAD, plain text. The AAD is authenticated and
// copied, not encrypted.
#pragma once

#include <kova_internal/ctx_kernel.hpp>
#include <kova_internal/staging.hpp>

#include <kova/aes_gcm.h>

#include <cstdint>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

// A key: an OpenSSL cipher context that holds the key schedule; tasks set only their IV.
struct kova_aes_gcm_key {
	kova_aes_gcm *owner;
	kova_aes_gcm_key *next; // in the owner's list of live keys
	uint32_t key_type;
	uint32_t iv_length;     // the IV length the cipher context is set for
	EVP_CIPHER_CTX *cipher;
};

namespace kova::sdk::aes_gcm {

inline constexpr uint32_t max_iv_length = 12;
inline constexpr uint32_t max_tag_size = 16;
// The default of the maximum buffer size queries.
inline constexpr uint64_t buf_size_limit = 2 * 1024 * 1024;

struct task_fields {
	kova_aes_gcm_key *key;
	uint8_t iv[max_iv_length];
	uint32_t iv_length;
	uint32_t tag_size;
	uint32_t aad_size;
};

kova_error run_encrypt(kova_task *task);
kova_error run_decrypt(kova_task *task);

} // namespace kova::sdk::aes_gcm

struct kova_aes_gcm_task_encrypt {
	kova_task task;
	kova::sdk::aes_gcm::task_fields fields;
};

struct kova_aes_gcm_task_decrypt {
	kova_task task;
	kova::sdk::aes_gcm::task_fields fields;
};

struct kova_aes_gcm {
	kova_ctx ctx;
	kova::sdk::task_kind encrypt;
	kova::sdk::task_kind decrypt;
	kova_aes_gcm_key *keys;
	// Output for destination lists of several buffers, made when the context starts.
	kova::sdk::staging_area output_staging;
};
