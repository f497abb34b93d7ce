#include "step/kova_ec_create_step.hpp"

#include "kova_exception.hpp"
#include "step/kova_ec_metadata.hpp"
#include "step/local_step_utils.hpp"

#include <kova/dev.h>
#include <kova/error.h>

namespace kova::bench::step {

kova_ec_create_step::kova_ec_create_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
					 completion_callback success_cb, completion_callback error_cb,
					 kova_data ctx_user_data)
	: ec_step_base{attributes, state, pe, ctx_user_data}
{
	if (!get_kova_ec_create_metadata(m_api, kova_dev_as_devinfo(m_device)).supported)
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "kova_ec::create is not supported");
	if (kova_error const err = m_api->kova_ec_task_create_set_conf(m_instance.get(), success_cb, error_cb,
								     num_tasks_from_cfg(attributes)))
		KOVA_THROW(err, "Failed to set ec create tasks conf for kova_ec instance.");
	start_context();
}

const char *kova_ec_create_step::get_name() const
{
	return "kova_ec::create";
}

task_set kova_ec_create_step::create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
					      kova_data task_user_data)
{
	if (task_user_data.u64 == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid (empty) task user data");
	kova_ec_task_create *task = nullptr;
	if (kova_error const err = m_api->kova_ec_task_create_allocate_init(m_instance.get(), m_coding_matrix.get(), input,
									   output, task_user_data, &task))
		KOVA_THROW(err, "Unable to create kova_ec_task_create task");
	return keep(m_api->kova_ec_task_create_as_task(task), output, spare);
}

} // namespace kova::bench::step
