// LZ4 block decompression: not offered by this library; every call answers "not supported".
#include <kova/compress.h>

KOVA_EXPORT kova_error kova_compress_cap_task_decompress_lz4_block_is_supported(const kova_devinfo *)
{
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT kova_error kova_compress_cap_task_decompress_lz4_block_get_max_buf_size(const kova_devinfo *, uint64_t *)
{
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT kova_error kova_compress_cap_task_decompress_lz4_block_get_max_buf_list_len(const kova_devinfo *,
											  uint32_t *)
{
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT kova_error kova_compress_task_decompress_lz4_block_set_conf(kova_compress *, kova_task_completion_cb_t,
									kova_task_completion_cb_t, uint32_t)
{
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT kova_error kova_compress_task_decompress_lz4_block_alloc_init(kova_compress *, const kova_buf *,
									  kova_buf *, kova_data,
									  kova_compress_task_decompress_lz4_block **)
{
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT kova_task *kova_compress_task_decompress_lz4_block_as_task(kova_compress_task_decompress_lz4_block *)
{
	return nullptr;
}

KOVA_EXPORT void kova_compress_task_decompress_lz4_block_set_src(kova_compress_task_decompress_lz4_block *,
								 const kova_buf *)
{
}

KOVA_EXPORT const kova_buf *
kova_compress_task_decompress_lz4_block_get_src(const kova_compress_task_decompress_lz4_block *)
{
	return nullptr;
}

KOVA_EXPORT void kova_compress_task_decompress_lz4_block_set_dst(kova_compress_task_decompress_lz4_block *, kova_buf *)
{
}

KOVA_EXPORT kova_buf *kova_compress_task_decompress_lz4_block_get_dst(const kova_compress_task_decompress_lz4_block *)
{
	return nullptr;
}

KOVA_EXPORT uint32_t
kova_compress_task_decompress_lz4_block_get_crc_cs(const kova_compress_task_decompress_lz4_block *)
{
	return 0;
}

KOVA_EXPORT uint32_t
kova_compress_task_decompress_lz4_block_get_xxh_cs(const kova_compress_task_decompress_lz4_block *)
{
	return 0;
}
