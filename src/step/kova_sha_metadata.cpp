#include "step/kova_sha_metadata.hpp"

#include "kova_exception.hpp"
#include "step/step_utils.hpp"

#include <kova/sha.h>

#include <string>
#include <vector>

namespace kova::bench::step {
namespace {

bool supports_hash(const dl::kova_sha_api *api, const kova_devinfo *devinfo, uint32_t algorithm, const char *label)
{
	return throw_if_query_fails(api->kova_sha_cap_task_hash_get_supported(devinfo, algorithm), label) ==
	       KOVA_SUCCESS;
}

} // namespace

capabilities get_kova_sha_metadata(const kova_devinfo *devinfo)
{
	const dl::kova_sha_api *api = dl::kova_sha_api::singleton();
	capabilities record = library_capabilities("kova_sha", api);
	if (api == nullptr)
		return record;
	record.tasks.emplace("hash", get_kova_sha_hash_metadata(api, devinfo));
	return record;
}

task_capabilities get_kova_sha_hash_metadata(const dl::kova_sha_api *api, const kova_devinfo *devinfo)
{
	std::vector<std::string> algorithms;
	if (supports_sha1_hash_task(api, devinfo))
		algorithms.emplace_back("sha1");
	if (supports_sha256_hash_task(api, devinfo))
		algorithms.emplace_back("sha256");
	if (supports_sha512_hash_task(api, devinfo))
		algorithms.emplace_back("sha512");

	task_capabilities task;
	if (algorithms.empty())
		return task;
	task.supported = true;
	if (kova_error const err = api->kova_sha_cap_get_max_src_buf_size(devinfo, &task.max_buffer_length))
		KOVA_THROW(err, "Failed to get kova_sha max buffer size.");
	task.properties.emplace("Algorithms", list_property(algorithms));
	return task;
}

bool supports_sha1_hash_task(const dl::kova_sha_api *api, const kova_devinfo *devinfo)
{
	return supports_hash(api, devinfo, KOVA_SHA_ALGORITHM_SHA1, "kova_sha hash SHA1 supported");
}

bool supports_sha256_hash_task(const dl::kova_sha_api *api, const kova_devinfo *devinfo)
{
	return supports_hash(api, devinfo, KOVA_SHA_ALGORITHM_SHA256, "kova_sha hash SHA256 supported");
}

bool supports_sha512_hash_task(const dl::kova_sha_api *api, const kova_devinfo *devinfo)
{
	return supports_hash(api, devinfo, KOVA_SHA_ALGORITHM_SHA512, "kova_sha hash SHA512 supported");
}

} // namespace kova::bench::step
