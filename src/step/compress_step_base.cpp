#include "step/compress_step_base.hpp"

#include "kova_exception.hpp"
#include "step/local_step_utils.hpp"
#include "utility/async/sequence.hpp"
#include "utility/configuration_utils.hpp"
#include "utility/kova_utils.hpp"

#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

namespace kova::bench::step {

uint32_t select_algorithm(const object::attributes &attributes)
{
	auto const found = attributes.attribute_map.find(utility::fully_qualified_name(utility::attribute::kova_compress_algorithm));
	if (found == attributes.attribute_map.end())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to create KOVA Compress instance. No algorithm selected.");
	if (found->second == "deflate")
		return compress_step_base::deflate;
	if (found->second == "lz4_stream")
		return compress_step_base::lz4_stream;
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "KOVA Compress algorithm: \"" + found->second + "\" is not recognized.");
}

compress_step_base::compress_step_base(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
				       kova_data ctx_user_data, uint32_t algorithm)
	: m_device{first_device(state, "kova_compress")},
	  m_api{api_or_throw<dl::kova_compress_api>("kova_compress")},
	  m_pe{pe},
	  m_instance{nullptr, m_api->kova_compress_destroy},
	  m_algorithm{algorithm}
{
	m_tasks.reserve(attributes.job_count);
	kova_compress *instance = nullptr;
	if (kova_error const err = m_api->kova_compress_create(m_device, &instance))
		KOVA_THROW(err, "Unable to create kova_compress instance.");
	m_instance.reset(instance);
	if (kova_error const err = kova_ctx_set_user_data(context(), ctx_user_data))
		KOVA_THROW(err, "Failed to set context user data");
	if (kova_error const err = kova_pe_connect_ctx(pe, context()))
		KOVA_THROW(err, "Unable to connect kova_pe to kova_ctx");
}

compress_step_base::~compress_step_base()
{
	utility::stop_ctx(context(), m_pe, "kova_compress", &m_tasks);
	if (leave_in_flight_to_device(context(), m_pe, "kova_compress", m_tasks, m_instance))
		return;
	destroy_all_tasks();
	m_tasks = {};
	m_instance.reset();
}

kova_ctx *compress_step_base::context() const
{
	return m_api->kova_compress_as_ctx(m_instance.get());
}

void compress_step_base::start_context()
{
	if (kova_error const err = kova_ctx_start(context()))
		KOVA_THROW(err, "Failed to start kova_compress context");
}

task_set compress_step_base::keep(kova_task *task, kova_buf *output, kova_buf *spare)
{
	m_tasks.push_back(task);
	return task_set{task, output, spare, output};
}

std::unique_ptr<utility::async::sequence> compress_step_base::start_async_setup()
{
	return {};
}

std::unique_ptr<utility::async::sequence> compress_step_base::start_async_teardown()
{
	return {};
}

uint32_t compress_step_base::get_companion_worker_id() const
{
	return 0;
}

void compress_step_base::set_mmaps(kova_mmap * /*input_mmap*/, kova_mmap * /*output_mmap*/) {}

void compress_step_base::destroy_all_tasks()
{
	free_tasks(m_tasks);
}

} // namespace kova::bench::step
