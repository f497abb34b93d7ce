// The AES-GCM library's control path: instance, keys, capabilities, and the configuration,
// allocation and fields of the encryption and decryption tasks.
#include "aes_gcm_internal.hpp"

#include <kova_internal/capability.hpp>

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <new>

using kova::sdk::capability_answer;
using kova::sdk::capability_value;
using kova::sdk::control_call;
using kova::sdk::query_value;
using namespace kova::sdk::aes_gcm;

namespace {

constexpr uint64_t tasks_limit = 1u << 16;
constexpr uint64_t list_len_limit = 64;

kova_error on_start(kova_ctx *ctx)
{
	auto *lib = reinterpret_cast<kova_aes_gcm *>(ctx);
	uint64_t const input = kova::sdk::largest_source_len(ctx, buf_size_limit);
	return lib->output_staging.allocate(input + max_tag_size) ? kova_error{KOVA_SUCCESS}
								  : kova_error{KOVA_ERROR_NO_MEMORY};
}

void on_stop(kova_ctx *ctx)
{
	reinterpret_cast<kova_aes_gcm *>(ctx)->output_staging.release();
}

constexpr kova::sdk::ctx_ops aes_gcm_ops{"kova_aes_gcm", on_start, on_stop};

// A yes/no query; a test may override it for all arguments ("<query>") or for one ("<query>(<n>)").
kova_error answer(const kova_devinfo *devinfo, const char *query, bool has_argument = false, uint32_t argument = 0)
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	kova_error const general = capability_answer(query, KOVA_SUCCESS);
	if (!has_argument)
		return general;
	char one[128];
	std::snprintf(one, sizeof(one), "%s(%u)", query, argument);
	return capability_answer(one, general);
}

kova_error key_type_answer(const kova_devinfo *devinfo, const char *query, uint32_t key_type)
{
	if (key_type != KOVA_AES_GCM_KEY_128 && key_type != KOVA_AES_GCM_KEY_256)
		return devinfo == nullptr ? kova_error{KOVA_ERROR_INVALID_VALUE} : kova_error{KOVA_ERROR_NOT_SUPPORTED};
	return answer(devinfo, query, true, key_type);
}

kova_error configure(kova_aes_gcm *lib, kova::sdk::task_kind kova_aes_gcm::*kind, const char *function,
		     const char *max_query, kova_task_completion_cb_t success_cb, kova_task_completion_cb_t error_cb,
		     uint32_t num_tasks) noexcept
{
	if (lib == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call(function, true, num_tasks))
		return forced;
	if (num_tasks > tasks_limit)
		return KOVA_ERROR_INVALID_VALUE;
	uint64_t limit = 0;
	if (kova_error const err = capability_value(max_query, buf_size_limit, &limit))
		return err;
	if (kova_error const err = kova::sdk::task_kind_configure(&(lib->*kind), success_cb, error_cb, num_tasks))
		return err;
	(lib->*kind).max_source_len = limit;
	return KOVA_SUCCESS;
}

bool valid_fields(const kova_aes_gcm *lib, const kova_aes_gcm_key *key, const uint8_t *iv, uint32_t iv_length,
		  uint32_t tag_size) noexcept
{
	return key != nullptr && key->owner == lib && iv != nullptr && iv_length >= 1 && iv_length <= max_iv_length &&
	       (tag_size == 12 || tag_size == 16);
}

void set_iv(task_fields &fields, const uint8_t *iv, uint32_t iv_length) noexcept
{
	std::memset(fields.iv, 0, sizeof(fields.iv));
	std::memcpy(fields.iv, iv, iv_length);
	fields.iv_length = iv_length;
}

template <typename Task>
kova_error allocate(kova_aes_gcm *lib, kova::sdk::task_kind kova_aes_gcm::*kind, const char *function,
		    const kova_buf *src, kova_buf *dst, kova_aes_gcm_key *key, const uint8_t *iv, uint32_t iv_length,
		    uint32_t tag_size, uint32_t aad_size, kova_data user_data, Task **task) noexcept
{
	if (lib == nullptr || src == nullptr || dst == nullptr || task == nullptr ||
	    !valid_fields(lib, key, iv, iv_length, tag_size))
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call(function))
		return forced;
	kova_task *taken = nullptr;
	if (kova_error const err = kova::sdk::task_alloc(&(lib->*kind), user_data, src, dst, &taken))
		return err;
	Task *made = kova::sdk::task_cast<Task>(taken);
	made->fields.key = key;
	set_iv(made->fields, iv, iv_length);
	made->fields.tag_size = tag_size;
	made->fields.aad_size = aad_size;
	*task = made;
	return KOVA_SUCCESS;
}

// Setters ignore values the task could not run with, as the getters show.
template <typename Task>
void set_key(Task *task, kova_aes_gcm_key *key) noexcept
{
	if (task != nullptr && key != nullptr)
		task->fields.key = key;
}

template <typename Task>
void set_iv(Task *task, const uint8_t *iv, uint32_t iv_length) noexcept
{
	if (task != nullptr && iv != nullptr && iv_length >= 1 && iv_length <= max_iv_length)
		set_iv(task->fields, iv, iv_length);
}

template <typename Task>
const uint8_t *get_iv(const Task *task, uint32_t *iv_length) noexcept
{
	if (task == nullptr)
		return nullptr;
	if (iv_length != nullptr)
		*iv_length = task->fields.iv_length;
	return task->fields.iv;
}

template <typename Task>
void set_tag_size(Task *task, uint32_t tag_size) noexcept
{
	if (task != nullptr && (tag_size == 12 || tag_size == 16))
		task->fields.tag_size = tag_size;
}

} // namespace

KOVA_EXPORT kova_error kova_aes_gcm_create(kova_dev *dev, kova_aes_gcm **aes_gcm)
{
	if (dev == nullptr || aes_gcm == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_aes_gcm_create"))
		return forced;
	auto *lib = new (std::nothrow) kova_aes_gcm{};
	if (lib == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	kova::sdk::ctx_init(&lib->ctx, &aes_gcm_ops, dev);
	kova::sdk::task_kind_init<kova_aes_gcm_task_encrypt>(&lib->encrypt, &lib->ctx, "encrypt", run_encrypt, 0);
	kova::sdk::task_kind_init<kova_aes_gcm_task_decrypt>(&lib->decrypt, &lib->ctx, "decrypt", run_decrypt, 0);
	*aes_gcm = lib;
	return KOVA_SUCCESS;
}

// Keys are destroyed before their instance (KOVA_ERROR_BAD_STATE while one lives).
KOVA_EXPORT kova_error kova_aes_gcm_destroy(kova_aes_gcm *aes_gcm)
{
	if (aes_gcm == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_aes_gcm_destroy"))
		return forced;
	if (aes_gcm->keys != nullptr)
		return KOVA_ERROR_BAD_STATE;
	if (kova_error const err = kova::sdk::ctx_release(&aes_gcm->ctx))
		return err;
	delete aes_gcm;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_ctx *kova_aes_gcm_as_ctx(kova_aes_gcm *aes_gcm)
{
	return aes_gcm == nullptr ? nullptr : &aes_gcm->ctx;
}

KOVA_EXPORT kova_error kova_aes_gcm_cap_get_max_num_tasks(const kova_aes_gcm *aes_gcm, uint32_t *max_num_tasks)
{
	if (aes_gcm == nullptr || max_num_tasks == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	uint64_t result = 0;
	if (kova_error const err = capability_value("kova_aes_gcm_cap_get_max_num_tasks", tasks_limit, &result))
		return err;
	*max_num_tasks = static_cast<uint32_t>(result);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_aes_gcm_key_create(kova_aes_gcm *aes_gcm, const void *raw_key, uint32_t key_type,
					       kova_aes_gcm_key **key)
{
	if (aes_gcm == nullptr || raw_key == nullptr || key == nullptr ||
	    (key_type != KOVA_AES_GCM_KEY_128 && key_type != KOVA_AES_GCM_KEY_256))
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_aes_gcm_key_create", true, key_type))
		return forced;
	auto *made = new (std::nothrow) kova_aes_gcm_key{aes_gcm, nullptr, key_type, max_iv_length, nullptr};
	if (made == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	EVP_CIPHER *cipher =
		EVP_CIPHER_fetch(nullptr, key_type == KOVA_AES_GCM_KEY_128 ? "AES-128-GCM" : "AES-256-GCM", nullptr);
	made->cipher = EVP_CIPHER_CTX_new();
	bool const ready = cipher != nullptr && made->cipher != nullptr &&
			   EVP_CipherInit_ex2(made->cipher, cipher, static_cast<const unsigned char *>(raw_key),
					      nullptr, 1, nullptr) == 1;
	EVP_CIPHER_free(cipher);
	if (!ready) {
		EVP_CIPHER_CTX_free(made->cipher);
		delete made;
		return KOVA_ERROR_INITIALIZATION;
	}
	made->next = aes_gcm->keys;
	aes_gcm->keys = made;
	*key = made;
	return KOVA_SUCCESS;
}

// The key schedule is wiped with the cipher context. 18 while tasks of the owner are in flight.
KOVA_EXPORT kova_error kova_aes_gcm_key_destroy(kova_aes_gcm_key *key)
{
	if (key == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_aes_gcm_key_destroy"))
		return forced;
	kova_aes_gcm *owner = key->owner;
	if (owner->ctx.num_inflight != 0)
		return KOVA_ERROR_BAD_STATE;
	for (kova_aes_gcm_key **link = &owner->keys; *link != nullptr; link = &(*link)->next) {
		if (*link == key) {
			*link = key->next;
			break;
		}
	}
	EVP_CIPHER_CTX_free(key->cipher);
	delete key;
	return KOVA_SUCCESS;
}

/* Encryption. */

KOVA_EXPORT kova_error kova_aes_gcm_cap_task_encrypt_is_supported(const kova_devinfo *devinfo)
{
	return answer(devinfo, "kova_aes_gcm_cap_task_encrypt_is_supported");
}

KOVA_EXPORT kova_error kova_aes_gcm_cap_task_encrypt_get_max_iv_len(const kova_devinfo *devinfo, uint32_t *max_iv_len)
{
	return query_value(devinfo, "kova_aes_gcm_cap_task_encrypt_get_max_iv_len", max_iv_length, max_iv_len);
}

KOVA_EXPORT kova_error kova_aes_gcm_cap_task_encrypt_is_tag_96_supported(const kova_devinfo *devinfo)
{
	return answer(devinfo, "kova_aes_gcm_cap_task_encrypt_is_tag_96_supported");
}

KOVA_EXPORT kova_error kova_aes_gcm_cap_task_encrypt_is_tag_128_supported(const kova_devinfo *devinfo)
{
	return answer(devinfo, "kova_aes_gcm_cap_task_encrypt_is_tag_128_supported");
}

KOVA_EXPORT kova_error kova_aes_gcm_cap_task_encrypt_is_key_type_supported(const kova_devinfo *devinfo,
									   uint32_t key_type)
{
	return key_type_answer(devinfo, "kova_aes_gcm_cap_task_encrypt_is_key_type_supported", key_type);
}

KOVA_EXPORT kova_error kova_aes_gcm_cap_task_encrypt_get_max_buf_size(const kova_devinfo *devinfo,
								      uint64_t *max_buf_size)
{
	return query_value(devinfo, "kova_aes_gcm_cap_task_encrypt_get_max_buf_size", buf_size_limit, max_buf_size);
}

KOVA_EXPORT kova_error kova_aes_gcm_cap_task_encrypt_get_max_list_buf_num_elem(const kova_devinfo *devinfo,
									       uint32_t *max_list_num_elem)
{
	return query_value(devinfo, "kova_aes_gcm_cap_task_encrypt_get_max_list_buf_num_elem", list_len_limit,
			   max_list_num_elem);
}

KOVA_EXPORT kova_error kova_aes_gcm_task_encrypt_set_conf(kova_aes_gcm *aes_gcm, kova_task_completion_cb_t success_cb,
							  kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	return configure(aes_gcm, &kova_aes_gcm::encrypt, "kova_aes_gcm_task_encrypt_set_conf",
			 "kova_aes_gcm_cap_task_encrypt_get_max_buf_size", success_cb, error_cb, num_tasks);
}

KOVA_EXPORT kova_error kova_aes_gcm_task_encrypt_alloc_init(kova_aes_gcm *aes_gcm, const kova_buf *src, kova_buf *dst,
							    kova_aes_gcm_key *key, const uint8_t *iv,
							    uint32_t iv_length, uint32_t tag_size, uint32_t aad_size,
							    kova_data user_data, kova_aes_gcm_task_encrypt **task)
{
	return allocate(aes_gcm, &kova_aes_gcm::encrypt, "kova_aes_gcm_task_encrypt_alloc_init", src, dst, key, iv,
			iv_length, tag_size, aad_size, user_data, task);
}

KOVA_EXPORT kova_task *kova_aes_gcm_task_encrypt_as_task(kova_aes_gcm_task_encrypt *task)
{
	return task == nullptr ? nullptr : &task->task;
}

KOVA_EXPORT void kova_aes_gcm_task_encrypt_set_src(kova_aes_gcm_task_encrypt *task, const kova_buf *src)
{
	if (task != nullptr)
		task->task.src = src;
}

KOVA_EXPORT const kova_buf *kova_aes_gcm_task_encrypt_get_src(const kova_aes_gcm_task_encrypt *task)
{
	return task == nullptr ? nullptr : task->task.src;
}

KOVA_EXPORT void kova_aes_gcm_task_encrypt_set_dst(kova_aes_gcm_task_encrypt *task, kova_buf *dst)
{
	if (task != nullptr)
		task->task.dst = dst;
}

KOVA_EXPORT kova_buf *kova_aes_gcm_task_encrypt_get_dst(const kova_aes_gcm_task_encrypt *task)
{
	return task == nullptr ? nullptr : task->task.dst;
}

KOVA_EXPORT void kova_aes_gcm_task_encrypt_set_key(kova_aes_gcm_task_encrypt *task, kova_aes_gcm_key *key)
{
	set_key(task, key);
}

KOVA_EXPORT kova_aes_gcm_key *kova_aes_gcm_task_encrypt_get_key(const kova_aes_gcm_task_encrypt *task)
{
	return task == nullptr ? nullptr : task->fields.key;
}

KOVA_EXPORT void kova_aes_gcm_task_encrypt_set_iv(kova_aes_gcm_task_encrypt *task, const uint8_t *iv, uint32_t iv_length)
{
	set_iv(task, iv, iv_length);
}

KOVA_EXPORT const uint8_t *kova_aes_gcm_task_encrypt_get_iv(const kova_aes_gcm_task_encrypt *task, uint32_t *iv_length)
{
	return get_iv(task, iv_length);
}

KOVA_EXPORT void kova_aes_gcm_task_encrypt_set_tag_size(kova_aes_gcm_task_encrypt *task, uint32_t tag_size)
{
	set_tag_size(task, tag_size);
}

KOVA_EXPORT uint32_t kova_aes_gcm_task_encrypt_get_tag_size(const kova_aes_gcm_task_encrypt *task)
{
	return task == nullptr ? 0 : task->fields.tag_size;
}

KOVA_EXPORT void kova_aes_gcm_task_encrypt_set_aad_size(kova_aes_gcm_task_encrypt *task, uint32_t aad_size)
{
	if (task != nullptr)
		task->fields.aad_size = aad_size;
}

KOVA_EXPORT uint32_t kova_aes_gcm_task_encrypt_get_aad_size(const kova_aes_gcm_task_encrypt *task)
{
	return task == nullptr ? 0 : task->fields.aad_size;
}

/* Decryption. */

KOVA_EXPORT kova_error kova_aes_gcm_cap_task_decrypt_is_supported(const kova_devinfo *devinfo)
{
	return answer(devinfo, "kova_aes_gcm_cap_task_decrypt_is_supported");
}

KOVA_EXPORT kova_error kova_aes_gcm_cap_task_decrypt_get_max_iv_len(const kova_devinfo *devinfo, uint32_t *max_iv_len)
{
	return query_value(devinfo, "kova_aes_gcm_cap_task_decrypt_get_max_iv_len", max_iv_length, max_iv_len);
}

KOVA_EXPORT kova_error kova_aes_gcm_cap_task_decrypt_is_tag_96_supported(const kova_devinfo *devinfo)
{
	return answer(devinfo, "kova_aes_gcm_cap_task_decrypt_is_tag_96_supported");
}

KOVA_EXPORT kova_error kova_aes_gcm_cap_task_decrypt_is_tag_128_supported(const kova_devinfo *devinfo)
{
	return answer(devinfo, "kova_aes_gcm_cap_task_decrypt_is_tag_128_supported");
}

KOVA_EXPORT kova_error kova_aes_gcm_cap_task_decrypt_is_key_type_supported(const kova_devinfo *devinfo,
									   uint32_t key_type)
{
	return key_type_answer(devinfo, "kova_aes_gcm_cap_task_decrypt_is_key_type_supported", key_type);
}

KOVA_EXPORT kova_error kova_aes_gcm_cap_task_decrypt_get_max_buf_size(const kova_devinfo *devinfo,
								      uint64_t *max_buf_size)
{
	return query_value(devinfo, "kova_aes_gcm_cap_task_decrypt_get_max_buf_size", buf_size_limit, max_buf_size);
}

KOVA_EXPORT kova_error kova_aes_gcm_cap_task_decrypt_get_max_list_buf_num_elem(const kova_devinfo *devinfo,
									       uint32_t *max_list_num_elem)
{
	return query_value(devinfo, "kova_aes_gcm_cap_task_decrypt_get_max_list_buf_num_elem", list_len_limit,
			   max_list_num_elem);
}

KOVA_EXPORT kova_error kova_aes_gcm_task_decrypt_set_conf(kova_aes_gcm *aes_gcm, kova_task_completion_cb_t success_cb,
							  kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	return configure(aes_gcm, &kova_aes_gcm::decrypt, "kova_aes_gcm_task_decrypt_set_conf",
			 "kova_aes_gcm_cap_task_decrypt_get_max_buf_size", success_cb, error_cb, num_tasks);
}

KOVA_EXPORT kova_error kova_aes_gcm_task_decrypt_alloc_init(kova_aes_gcm *aes_gcm, const kova_buf *src, kova_buf *dst,
							    kova_aes_gcm_key *key, const uint8_t *iv,
							    uint32_t iv_length, uint32_t tag_size, uint32_t aad_size,
							    kova_data user_data, kova_aes_gcm_task_decrypt **task)
{
	return allocate(aes_gcm, &kova_aes_gcm::decrypt, "kova_aes_gcm_task_decrypt_alloc_init", src, dst, key, iv,
			iv_length, tag_size, aad_size, user_data, task);
}

KOVA_EXPORT kova_task *kova_aes_gcm_task_decrypt_as_task(kova_aes_gcm_task_decrypt *task)
{
	return task == nullptr ? nullptr : &task->task;
}

KOVA_EXPORT void kova_aes_gcm_task_decrypt_set_src(kova_aes_gcm_task_decrypt *task, const kova_buf *src)
{
	if (task != nullptr)
		task->task.src = src;
}

KOVA_EXPORT const kova_buf *kova_aes_gcm_task_decrypt_get_src(const kova_aes_gcm_task_decrypt *task)
{
	return task == nullptr ? nullptr : task->task.src;
}

KOVA_EXPORT void kova_aes_gcm_task_decrypt_set_dst(kova_aes_gcm_task_decrypt *task, kova_buf *dst)
{
	if (task != nullptr)
		task->task.dst = dst;
}

KOVA_EXPORT kova_buf *kova_aes_gcm_task_decrypt_get_dst(const kova_aes_gcm_task_decrypt *task)
{
	return task == nullptr ? nullptr : task->task.dst;
}

KOVA_EXPORT void kova_aes_gcm_task_decrypt_set_key(kova_aes_gcm_task_decrypt *task, kova_aes_gcm_key *key)
{
	set_key(task, key);
}

KOVA_EXPORT kova_aes_gcm_key *kova_aes_gcm_task_decrypt_get_key(const kova_aes_gcm_task_decrypt *task)
{
	return task == nullptr ? nullptr : task->fields.key;
}

KOVA_EXPORT void kova_aes_gcm_task_decrypt_set_iv(kova_aes_gcm_task_decrypt *task, const uint8_t *iv, uint32_t iv_length)
{
	set_iv(task, iv, iv_length);
}

KOVA_EXPORT const uint8_t *kova_aes_gcm_task_decrypt_get_iv(const kova_aes_gcm_task_decrypt *task, uint32_t *iv_length)
{
	return get_iv(task, iv_length);
}

KOVA_EXPORT void kova_aes_gcm_task_decrypt_set_tag_size(kova_aes_gcm_task_decrypt *task, uint32_t tag_size)
{
	set_tag_size(task, tag_size);
}

KOVA_EXPORT uint32_t kova_aes_gcm_task_decrypt_get_tag_size(const kova_aes_gcm_task_decrypt *task)
{
	return task == nullptr ? 0 : task->fields.tag_size;
}

KOVA_EXPORT void kova_aes_gcm_task_decrypt_set_aad_size(kova_aes_gcm_task_decrypt *task, uint32_t aad_size)
{
	if (task != nullptr)
		task->fields.aad_size = aad_size;
}

KOVA_EXPORT uint32_t kova_aes_gcm_task_decrypt_get_aad_size(const kova_aes_gcm_task_decrypt *task)
{
	return task == nullptr ? 0 : task->fields.aad_size;
}
