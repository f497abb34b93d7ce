#include "step/kova_compress_decompress_step.hpp"

#include "kova_exception.hpp"
#include "step/kova_compress_metadata.hpp"
#include "step/local_step_utils.hpp"
#include "utility/configuration_utils.hpp"

#include <kova/dev.h>
#include <kova/error.h>

#include <string>

namespace kova::bench::step {
namespace {

bool lz4_flag(const object::attributes &attributes, const utility::property_definition &property)
{
	std::string const key = utility::fully_qualified_name(property);
	auto const found = attributes.attribute_map.find(key);
	if (found == attributes.attribute_map.end())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
			   "Unable to create KOVA Compress instance. Selected algorithm(lz4 stream) requires " + key +
				   " attribute");
	if (found->second == "true")
		return true;
	if (found->second == "false")
		return false;
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
		   "Unable to create KOVA Compress instance. " + key + ": \"" + found->second + "\" is not recognized.");
}

bool get_has_block_checksum_flag(const object::attributes &attributes)
{
	return lz4_flag(attributes, utility::attribute::kova_compress_algorithm_has_block_checksum);
}

bool get_are_blocks_independent_flag(const object::attributes &attributes)
{
	return lz4_flag(attributes, utility::attribute::kova_compress_algorithm_are_blocks_independent);
}

} // namespace

kova_compress_decompress_step::kova_compress_decompress_step(const object::attributes &attributes,
							     runtime_state &state, kova_pe *pe,
							     completion_callback success_cb,
							     completion_callback error_cb, kova_data ctx_user_data)
	: compress_step_base{attributes, state, pe, ctx_user_data, select_algorithm(attributes)}
{
	const kova_devinfo *devinfo = kova_dev_as_devinfo(m_device);
	uint32_t const num_tasks = num_tasks_from_cfg(attributes);
	if (m_algorithm == deflate) {
		if (!get_kova_compress_decompress_deflate_metadata(m_api, devinfo).supported)
			KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "kova_compress::decompress deflate is not supported");
		if (kova_error const err = m_api->kova_compress_task_decompress_deflate_set_conf(
			    m_instance.get(), success_cb, error_cb, num_tasks))
			KOVA_THROW(err, "Failed to set decompress deflate tasks conf for kova_compress instance.");
	} else {
		if (!get_kova_compress_decompress_lz4_stream_metadata(m_api, devinfo).supported)
			KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "kova_compress::decompress lz4 stream is not supported");
		bool const has_block_checksum = get_has_block_checksum_flag(attributes);
		bool const are_blocks_independent = get_are_blocks_independent_flag(attributes);
		m_lz4_flags.emplace(has_block_checksum, are_blocks_independent);
		if (kova_error const err = m_api->kova_compress_task_decompress_lz4_stream_set_conf(
			    m_instance.get(), success_cb, error_cb, num_tasks))
			KOVA_THROW(err, "Failed to set decompress lz4 stream tasks conf for kova_compress instance.");
	}
	start_context();
}

const char *kova_compress_decompress_step::get_name() const
{
	return "kova_compress::decompress";
}

io_buffer_ranges kova_compress_decompress_step::get_io_buffer_ranges() const
{
	return io_buffer_ranges_from_max(m_algorithm == deflate
						 ? m_api->kova_compress_cap_task_decompress_deflate_get_max_buf_size
						 : m_api->kova_compress_cap_task_decompress_lz4_stream_get_max_buf_size,
					 m_device, "kova_compress_decompress_step");
}

task_set kova_compress_decompress_step::create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
							kova_data task_user_data)
{
	if (task_user_data.u64 == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid (empty) task user data");
	if (m_algorithm == deflate) {
		kova_compress_task_decompress_deflate *task = nullptr;
		if (kova_error const err = m_api->kova_compress_task_decompress_deflate_alloc_init(
			    m_instance.get(), input, output, task_user_data, &task))
			KOVA_THROW(err, "Unable to create kova_compress_task_decompress_deflate task");
		return keep(m_api->kova_compress_task_decompress_deflate_as_task(task), output, spare);
	}
	kova_compress_task_decompress_lz4_stream *task = nullptr;
	if (kova_error const err = m_api->kova_compress_task_decompress_lz4_stream_alloc_init(
		    m_instance.get(), m_lz4_flags->first ? 1 : 0, m_lz4_flags->second ? 1 : 0, input, output,
		    task_user_data, &task))
		KOVA_THROW(err, "Unable to create kova_compress_task_decompress_lz4_stream task");
	return keep(m_api->kova_compress_task_decompress_lz4_stream_as_task(task), output, spare);
}

} // namespace kova::bench::step
