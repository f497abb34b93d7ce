#include "step/kova_aes_gcm_encrypt_step.hpp"

#include "kova_exception.hpp"
#include "step/kova_aes_gcm_metadata.hpp"
#include "step/local_step_utils.hpp"

#include <kova/dev.h>
#include <kova/error.h>

namespace kova::bench::step {

kova_aes_gcm_encrypt_step::kova_aes_gcm_encrypt_step(const object::attributes &attributes, runtime_state &state,
						     kova_pe *pe, completion_callback success_cb,
						     completion_callback error_cb, kova_data ctx_user_data)
	: aes_gcm_step_base{attributes, state, pe, ctx_user_data}
{
	if (!get_kova_aes_gcm_encrypt_metadata(m_api, kova_dev_as_devinfo(m_device)).supported)
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "kova_aes::encrypt is not supported");
	configure_encrypt_job_pool(attributes, success_cb, error_cb);
	start_context();
}

const char *kova_aes_gcm_encrypt_step::get_name() const
{
	return "kova_aes_gcm::encrypt";
}

io_buffer_ranges kova_aes_gcm_encrypt_step::get_io_buffer_ranges() const
{
	return io_buffer_ranges_from_max(m_api->kova_aes_gcm_cap_task_encrypt_get_max_buf_size, m_device,
					 "kova_aes_gcm_encrypt_step");
}

task_set kova_aes_gcm_encrypt_step::create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
						    kova_data task_user_data)
{
	if (task_user_data.u64 == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid (empty) task user data");
	kova_aes_gcm_task_encrypt *task = nullptr;
	if (kova_error const err = m_api->kova_aes_gcm_task_encrypt_alloc_init(
		    m_instance.get(), input, output, m_key.get(), m_initialization_vector.data(),
		    static_cast<uint32_t>(m_initialization_vector.size()), m_tag_size, m_aad_size, task_user_data, &task))
		KOVA_THROW(err, "Unable to create kova_aes_gcm_task_encrypt task");
	return keep(m_api->kova_aes_gcm_task_encrypt_as_task(task), output, spare);
}

} // namespace kova::bench::step
