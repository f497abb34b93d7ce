// Partial hashes: not offered by this library; every call answers "not supported".
#include <kova/sha.h>

KOVA_EXPORT kova_error kova_sha_task_partial_hash_set_conf(kova_sha *, kova_task_completion_cb_t,
							   kova_task_completion_cb_t, uint32_t)
{
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT kova_error kova_sha_task_partial_hash_alloc_init(kova_sha *, uint32_t, const kova_buf *, kova_buf *,
							     kova_data, kova_sha_task_partial_hash **)
{
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT kova_error kova_sha_task_partial_hash_reset(kova_sha_task_partial_hash *)
{
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT void kova_sha_task_partial_hash_set_src(kova_sha_task_partial_hash *, const kova_buf *)
{
}

KOVA_EXPORT const kova_buf *kova_sha_task_partial_hash_get_src(const kova_sha_task_partial_hash *)
{
	return nullptr;
}

KOVA_EXPORT void kova_sha_task_partial_hash_set_dst(kova_sha_task_partial_hash *, kova_buf *)
{
}

KOVA_EXPORT kova_buf *kova_sha_task_partial_hash_get_dst(const kova_sha_task_partial_hash *)
{
	return nullptr;
}

KOVA_EXPORT void kova_sha_task_partial_hash_set_algorithm(kova_sha_task_partial_hash *, uint32_t)
{
}

KOVA_EXPORT uint32_t kova_sha_task_partial_hash_get_algorithm(const kova_sha_task_partial_hash *)
{
	return 0;
}

KOVA_EXPORT void kova_sha_task_partial_hash_set_is_final_buf(kova_sha_task_partial_hash *)
{
}

KOVA_EXPORT uint8_t kova_sha_task_partial_hash_get_is_final(const kova_sha_task_partial_hash *)
{
	return 0;
}

KOVA_EXPORT uint8_t kova_sha_task_partial_hash_get_has_result(const kova_sha_task_partial_hash *)
{
	return 0;
}

KOVA_EXPORT kova_task *kova_sha_task_partial_hash_as_task(kova_sha_task_partial_hash *)
{
	return nullptr;
}
