#include "step/kova_compress_metadata.hpp"

#include "step/step_utils.hpp"

namespace kova::bench::step {

capabilities get_kova_compress_metadata(const kova_devinfo *devinfo)
{
	const dl::kova_compress_api *api = dl::kova_compress_api::singleton();
	capabilities record = library_capabilities("kova_compress", api);
	if (api == nullptr)
		return record;
	record.tasks.emplace("compress::deflate", get_kova_compress_compress_deflate_metadata(api, devinfo));
	record.tasks.emplace("compress::lz4_stream", get_kova_compress_compress_lz4_stream_metadata(api, devinfo));
	record.tasks.emplace("decompress::deflate", get_kova_compress_decompress_deflate_metadata(api, devinfo));
	record.tasks.emplace("decompress::lz4_stream", get_kova_compress_decompress_lz4_stream_metadata(api, devinfo));
	return record;
}

task_capabilities get_kova_compress_compress_deflate_metadata(const dl::kova_compress_api *api,
							       const kova_devinfo *devinfo)
{
	return query_task_capabilities(devinfo, api->kova_compress_cap_task_compress_deflate_is_supported,
				       "kova_compress deflate compress supported",
				       api->kova_compress_cap_task_compress_deflate_get_max_buf_size,
				       "Failed to get kova_compress deflate compress max buffer size.");
}

task_capabilities get_kova_compress_compress_lz4_stream_metadata(const dl::kova_compress_api * /*api*/,
								  const kova_devinfo * /*devinfo*/)
{
	return task_capabilities{};
}

task_capabilities get_kova_compress_decompress_deflate_metadata(const dl::kova_compress_api *api,
								 const kova_devinfo *devinfo)
{
	return query_task_capabilities(devinfo, api->kova_compress_cap_task_decompress_deflate_is_supported,
				       "kova_compress deflate decompress supported",
				       api->kova_compress_cap_task_decompress_deflate_get_max_buf_size,
				       "Failed to get kova_compress deflate decompress max buffer size.");
}

task_capabilities get_kova_compress_decompress_lz4_stream_metadata(const dl::kova_compress_api *api,
								    const kova_devinfo *devinfo)
{
	return query_task_capabilities(devinfo, api->kova_compress_cap_task_decompress_lz4_stream_is_supported,
				       "kova_compress lz4 stream decompress supported",
				       api->kova_compress_cap_task_decompress_lz4_stream_get_max_buf_size,
				       "Failed to get kova_compress lz4 stream decompress max buffer size.");
}

} // namespace kova::bench::step
