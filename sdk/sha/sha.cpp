// The SHA library's control path: instance, capabilities, and the hash task's configuration,
// allocation and fields.
#include "sha_internal.hpp"

#include <kova_internal/capability.hpp>

#include <cstdio>
#include <new>

using kova::sdk::capability_answer;
using kova::sdk::capability_value;
using kova::sdk::control_call;
using kova::sdk::query_value;
using kova::sdk::sha::digest_size;

namespace {

constexpr uint64_t tasks_limit = 1u << 16;
constexpr uint64_t list_len_limit = 64;

constexpr kova::sdk::ctx_ops sha_ops{"kova_sha", nullptr, nullptr};

} // namespace

KOVA_EXPORT kova_error kova_sha_create(kova_dev *dev, kova_sha **sha)
{
	if (dev == nullptr || sha == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_sha_create"))
		return forced;
	auto *lib = new (std::nothrow) kova_sha{};
	if (lib == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	kova::sdk::ctx_init(&lib->ctx, &sha_ops, dev);
	kova::sdk::task_kind_init<kova_sha_task_hash>(&lib->hash, &lib->ctx, "hash", kova::sdk::sha::run_hash, 0);
	*sha = lib;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_sha_destroy(kova_sha *sha)
{
	if (sha == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_sha_destroy"))
		return forced;
	if (kova_error const err = kova::sdk::ctx_release(&sha->ctx))
		return err;
	delete sha;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_ctx *kova_sha_as_ctx(kova_sha *sha)
{
	return sha == nullptr ? nullptr : &sha->ctx;
}

// A test may override the answer for every algorithm ("kova_sha_cap_task_hash_get_supported") or
// for one ("kova_sha_cap_task_hash_get_supported(1)"); the latter wins.
KOVA_EXPORT kova_error kova_sha_cap_task_hash_get_supported(const kova_devinfo *devinfo, uint32_t algorithm)
{
	if (devinfo == nullptr || digest_size(algorithm) == 0)
		return KOVA_ERROR_INVALID_VALUE;
	kova_error const answer = capability_answer("kova_sha_cap_task_hash_get_supported", KOVA_SUCCESS);
	char one[64];
	std::snprintf(one, sizeof(one), "kova_sha_cap_task_hash_get_supported(%u)", algorithm);
	return capability_answer(one, answer);
}

KOVA_EXPORT kova_error kova_sha_cap_task_partial_hash_get_supported(const kova_devinfo *devinfo, uint32_t algorithm)
{
	if (devinfo == nullptr || digest_size(algorithm) == 0)
		return KOVA_ERROR_INVALID_VALUE;
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT kova_error kova_sha_cap_get_max_list_buf_num_elem(const kova_devinfo *devinfo, uint32_t *max_list_num_elem)
{
	return query_value(devinfo, "kova_sha_cap_get_max_list_buf_num_elem", list_len_limit, max_list_num_elem);
}

KOVA_EXPORT kova_error kova_sha_cap_get_max_src_buf_size(const kova_devinfo *devinfo, uint64_t *max_buf_size)
{
	return query_value(devinfo, "kova_sha_cap_get_max_src_buf_size", kova::sdk::sha::src_size_limit, max_buf_size);
}

KOVA_EXPORT kova_error kova_sha_cap_get_min_dst_buf_size(const kova_devinfo *devinfo, uint32_t algorithm,
							 uint32_t *min_dst_buf_size)
{
	if (digest_size(algorithm) == 0)
		return KOVA_ERROR_INVALID_VALUE;
	return query_value(devinfo, "kova_sha_cap_get_min_dst_buf_size", digest_size(algorithm), min_dst_buf_size);
}

KOVA_EXPORT kova_error kova_sha_cap_get_partial_hash_block_size(const kova_devinfo *devinfo, uint32_t algorithm,
								uint32_t *partial_block_size)
{
	if (devinfo == nullptr || partial_block_size == nullptr || digest_size(algorithm) == 0)
		return KOVA_ERROR_INVALID_VALUE;
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT kova_error kova_sha_task_hash_set_conf(kova_sha *sha, kova_task_completion_cb_t success_cb,
						   kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	if (sha == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_sha_task_hash_set_conf", true, num_tasks))
		return forced;
	if (num_tasks > tasks_limit)
		return KOVA_ERROR_INVALID_VALUE;
	uint64_t limit = 0;
	if (kova_error const err =
		    capability_value("kova_sha_cap_get_max_src_buf_size", kova::sdk::sha::src_size_limit, &limit))
		return err;
	if (kova_error const err = kova::sdk::task_kind_configure(&sha->hash, success_cb, error_cb, num_tasks))
		return err;
	sha->hash.max_source_len = limit;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_sha_task_hash_alloc_init(kova_sha *sha, uint32_t algorithm, const kova_buf *src,
						     kova_buf *dst, kova_data user_data, kova_sha_task_hash **task)
{
	if (sha == nullptr || src == nullptr || dst == nullptr || task == nullptr || digest_size(algorithm) == 0)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_sha_task_hash_alloc_init", true, algorithm))
		return forced;
	kova_task *taken = nullptr;
	if (kova_error const err = kova::sdk::task_alloc(&sha->hash, user_data, src, dst, &taken))
		return err;
	*task = kova::sdk::task_cast<kova_sha_task_hash>(taken);
	(*task)->algorithm = algorithm;
	return KOVA_SUCCESS;
}

KOVA_EXPORT void kova_sha_task_hash_set_src(kova_sha_task_hash *task, const kova_buf *src)
{
	if (task != nullptr)
		task->task.src = src;
}

KOVA_EXPORT const kova_buf *kova_sha_task_hash_get_src(const kova_sha_task_hash *task)
{
	return task == nullptr ? nullptr : task->task.src;
}

KOVA_EXPORT void kova_sha_task_hash_set_dst(kova_sha_task_hash *task, kova_buf *dst)
{
	if (task != nullptr)
		task->task.dst = dst;
}

KOVA_EXPORT kova_buf *kova_sha_task_hash_get_dst(const kova_sha_task_hash *task)
{
	return task == nullptr ? nullptr : task->task.dst;
}

// An unknown algorithm is kept: the task then completes with KOVA_ERROR_INVALID_VALUE.
KOVA_EXPORT void kova_sha_task_hash_set_algorithm(kova_sha_task_hash *task, uint32_t algorithm)
{
	if (task != nullptr)
		task->algorithm = algorithm;
}

KOVA_EXPORT uint32_t kova_sha_task_hash_get_algorithm(const kova_sha_task_hash *task)
{
	return task == nullptr ? 0 : task->algorithm;
}

KOVA_EXPORT kova_task *kova_sha_task_hash_as_task(kova_sha_task_hash *task)
{
	return task == nullptr ? nullptr : &task->task;
}
