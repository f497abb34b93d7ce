#include "step/kova_compress_compress_step.hpp"

#include "kova_exception.hpp"
#include "step/kova_compress_metadata.hpp"
#include "step/local_step_utils.hpp"

#include <kova/dev.h>
#include <kova/error.h>

namespace kova::bench::step {

kova_compress_compress_step::kova_compress_compress_step(const object::attributes &attributes, runtime_state &state,
							 kova_pe *pe, completion_callback success_cb,
							 completion_callback error_cb, kova_data ctx_user_data)
	: compress_step_base{attributes, state, pe, ctx_user_data, select_algorithm(attributes)}
{
	if (m_algorithm == lz4_stream)
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "kova_compress lz4 stream compression is not available");
	if (!get_kova_compress_compress_deflate_metadata(m_api, kova_dev_as_devinfo(m_device)).supported)
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "kova_compress::compress deflate is not supported");
	if (kova_error const err = m_api->kova_compress_task_compress_deflate_set_conf(
		    m_instance.get(), success_cb, error_cb, num_tasks_from_cfg(attributes)))
		KOVA_THROW(err, "Failed to set compress deflate tasks conf for kova_compress instance.");
	start_context();
}

const char *kova_compress_compress_step::get_name() const
{
	return "kova_compress::compress";
}

io_buffer_ranges kova_compress_compress_step::get_io_buffer_ranges() const
{
	return io_buffer_ranges_from_max(m_api->kova_compress_cap_task_compress_deflate_get_max_buf_size, m_device,
					 "kova_compress_compress_step");
}

task_set kova_compress_compress_step::create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
						      kova_data task_user_data)
{
	if (task_user_data.u64 == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid (empty) task user data");
	kova_compress_task_compress_deflate *task = nullptr;
	if (kova_error const err = m_api->kova_compress_task_compress_deflate_alloc_init(m_instance.get(), input, output,
											 task_user_data, &task))
		KOVA_THROW(err, "Unable to create kova_compress_task_compress_deflate task");
	return keep(m_api->kova_compress_task_compress_deflate_as_task(task), output, spare);
}

} // namespace kova::bench::step
