#include "step/kova_ec_metadata.hpp"

#include "kova_exception.hpp"
#include "step/step_utils.hpp"

#include <string>

namespace kova::bench::step {
namespace {

constexpr uint64_t max_buffer_length = 2 * 1024 * 1024;

task_capabilities task_metadata(const dl::kova_erasure_coding_api *api, const kova_devinfo *devinfo,
				kova_error (*is_supported)(const kova_devinfo *), const char *label,
				const char *block_size_failure)
{
	task_capabilities task;
	if (throw_if_query_fails(is_supported(devinfo), label) != KOVA_SUCCESS)
		return task;
	task.supported = true;
	task.max_buffer_length = max_buffer_length;
	uint64_t block_size = 0;
	if (kova_error const err = api->kova_ec_cap_get_max_block_size(devinfo, &block_size))
		KOVA_THROW(err, block_size_failure);
	task.properties.emplace("Max block size", std::to_string(block_size));
	return task;
}

} // namespace

capabilities get_kova_ec_metadata(const kova_devinfo *devinfo)
{
	const dl::kova_erasure_coding_api *api = dl::kova_erasure_coding_api::singleton();
	capabilities record = library_capabilities("kova_ec", api);
	if (api == nullptr)
		return record;
	record.tasks.emplace("create", get_kova_ec_create_metadata(api, devinfo));
	record.tasks.emplace("recover", get_kova_ec_recover_metadata(api, devinfo));
	record.tasks.emplace("update", get_kova_ec_update_metadata(api, devinfo));
	return record;
}

task_capabilities get_kova_ec_create_metadata(const dl::kova_erasure_coding_api *api, const kova_devinfo *devinfo)
{
	return task_metadata(api, devinfo, api->kova_ec_cap_task_create_is_supported, "kova_ec create supported",
			     "Failed to get kova_ec create max block size");
}

task_capabilities get_kova_ec_recover_metadata(const dl::kova_erasure_coding_api *api, const kova_devinfo *devinfo)
{
	return task_metadata(api, devinfo, api->kova_ec_cap_task_recover_is_supported, "kova_ec recover supported",
			     "Failed to get kova_ec recover max block size");
}

task_capabilities get_kova_ec_update_metadata(const dl::kova_erasure_coding_api *api, const kova_devinfo *devinfo)
{
	return task_metadata(api, devinfo, api->kova_ec_cap_task_update_is_supported, "kova_ec update supported",
			     "Failed to get kova_ec update max block size");
}

} // namespace kova::bench::step
