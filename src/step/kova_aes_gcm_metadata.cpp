#include "step/kova_aes_gcm_metadata.hpp"

#include "kova_exception.hpp"
#include "step/step_utils.hpp"

#include <kova/aes_gcm.h>

#include <string>
#include <vector>

namespace kova::bench::step {
namespace {

// The capability queries of one AES-GCM task kind.
struct task_queries {
	kova_error (*is_supported)(const kova_devinfo *);
	const char *supported_label;
	kova_error (*get_max_buf_size)(const kova_devinfo *, uint64_t *);
	kova_error (*is_tag_96_supported)(const kova_devinfo *);
	kova_error (*is_tag_128_supported)(const kova_devinfo *);
	kova_error (*is_key_type_supported)(const kova_devinfo *, uint32_t);
};

bool query(kova_error code, const char *label)
{
	return throw_if_query_fails(code, label) == KOVA_SUCCESS;
}

task_capabilities task_metadata(const task_queries &queries, const kova_devinfo *devinfo)
{
	task_capabilities task = query_task_capabilities(devinfo, queries.is_supported, queries.supported_label,
							 queries.get_max_buf_size,
							 "Failed to get kova_aes_gcm max buffer size.");
	if (!task.supported)
		return task;

	constexpr const char *tag_label = "kova_aes_gcm authentication tag size";
	std::vector<std::string> tag_sizes;
	if (query(queries.is_tag_96_supported(devinfo), tag_label))
		tag_sizes.emplace_back("96");
	if (query(queries.is_tag_128_supported(devinfo), tag_label))
		tag_sizes.emplace_back("128");

	constexpr const char *key_label = "kova_aes_gcm key size";
	std::vector<std::string> key_sizes;
	if (query(queries.is_key_type_supported(devinfo, KOVA_AES_GCM_KEY_128), key_label))
		key_sizes.emplace_back("128");
	if (query(queries.is_key_type_supported(devinfo, KOVA_AES_GCM_KEY_256), key_label))
		key_sizes.emplace_back("256");

	task.properties.emplace("Key sizes", list_property(key_sizes));
	task.properties.emplace("Tag sizes", list_property(tag_sizes));
	return task;
}

} // namespace

capabilities get_kova_aes_gcm_metadata(const kova_devinfo *devinfo)
{
	const dl::kova_aes_gcm_api *api = dl::kova_aes_gcm_api::singleton();
	capabilities record = library_capabilities("kova_aes_gcm", api);
	if (api == nullptr)
		return record;
	record.tasks.emplace("decrypt", get_kova_aes_gcm_decrypt_metadata(api, devinfo));
	record.tasks.emplace("encrypt", get_kova_aes_gcm_encrypt_metadata(api, devinfo));
	return record;
}

task_capabilities get_kova_aes_gcm_encrypt_metadata(const dl::kova_aes_gcm_api *api, const kova_devinfo *devinfo)
{
	return task_metadata(task_queries{api->kova_aes_gcm_cap_task_encrypt_is_supported, "kova_aes_gcm encrypt supported",
					  api->kova_aes_gcm_cap_task_encrypt_get_max_buf_size,
					  api->kova_aes_gcm_cap_task_encrypt_is_tag_96_supported,
					  api->kova_aes_gcm_cap_task_encrypt_is_tag_128_supported,
					  api->kova_aes_gcm_cap_task_encrypt_is_key_type_supported},
			     devinfo);
}

task_capabilities get_kova_aes_gcm_decrypt_metadata(const dl::kova_aes_gcm_api *api, const kova_devinfo *devinfo)
{
	return task_metadata(task_queries{api->kova_aes_gcm_cap_task_decrypt_is_supported, "kova_aes_gcm decrypt supported",
					  api->kova_aes_gcm_cap_task_decrypt_get_max_buf_size,
					  api->kova_aes_gcm_cap_task_decrypt_is_tag_96_supported,
					  api->kova_aes_gcm_cap_task_decrypt_is_tag_128_supported,
					  api->kova_aes_gcm_cap_task_decrypt_is_key_type_supported},
			     devinfo);
}

} // namespace kova::bench::step
