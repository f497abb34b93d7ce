#include "step/kova_dma_metadata.hpp"

#include "step/step_utils.hpp"

namespace kova::bench::step {

capabilities get_kova_dma_metadata(const kova_devinfo *devinfo)
{
	const dl::kova_dma_api *api = dl::kova_dma_api::singleton();
	capabilities record = library_capabilities("kova_dma", api);
	if (api == nullptr)
		return record;
	record.tasks.emplace("memcpy", get_kova_dma_memcpy_metadata(api, devinfo));
	return record;
}

task_capabilities get_kova_dma_memcpy_metadata(const dl::kova_dma_api *api, const kova_devinfo *devinfo)
{
	return query_task_capabilities(devinfo, api->kova_dma_cap_task_memcpy_is_supported, "kova_dma memcpy supported",
				       api->kova_dma_cap_task_memcpy_get_max_buf_size,
				       "Failed to get kova_dma max buffer size.");
}

} // namespace kova::bench::step
