#include "step/kova_dma_step.hpp"

#include "kova_exception.hpp"
#include "runtime_state.hpp"
#include "step/local_step_utils.hpp"
#include "utility/async/sequence.hpp"
#include "utility/kova_utils.hpp"

#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <cstdint>

namespace kova::bench::step {
namespace {

constexpr const char *step_name = "kova_dma";

} // namespace

kova_dma_step::kova_dma_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
			     completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data)
	: m_device{first_device(state, step_name)},
	  m_api{api_or_throw<dl::kova_dma_api>(step_name)},
	  m_use_remote_input_buffers{attributes.use_remote_input_buffers},
	  m_pe{pe},
	  m_instance{nullptr, m_api->kova_dma_destroy}
{
	m_tasks.reserve(attributes.job_count);

	kova_dma *instance = nullptr;
	if (kova_error const err = m_api->kova_dma_create(m_device, &instance))
		KOVA_THROW(err, "Unable to create kova_dma instance.");
	m_instance.reset(instance);

	kova_ctx *ctx = m_api->kova_dma_as_ctx(instance);
	if (kova_error const err = kova_ctx_set_user_data(ctx, ctx_user_data))
		KOVA_THROW(err, "Failed to set context user data");
	if (kova_error const err = m_api->kova_dma_task_memcpy_set_conf(instance, success_cb, error_cb,
									 num_tasks_from_cfg(attributes)))
		KOVA_THROW(err, "Failed to set tasks conf for kova_dma instance.");
	if (kova_error const err = kova_pe_connect_ctx(pe, ctx))
		KOVA_THROW(err, "Unable to connect kova_pe to kova_ctx");
	if (kova_error const err = kova_ctx_start(ctx))
		KOVA_THROW(err, "Failed to start kova_dma context");
}

kova_dma_step::~kova_dma_step()
{
	// Tasks still in flight complete (and reach the callbacks) before their memory goes.
	kova_ctx *ctx = m_api->kova_dma_as_ctx(m_instance.get());
	utility::stop_ctx(ctx, m_pe, step_name, &m_tasks);
	if (leave_in_flight_to_device(ctx, m_pe, step_name, m_tasks, m_instance))
		return;
	destroy_all_tasks();
	m_tasks = {};
	m_instance.reset();
}

const char *kova_dma_step::get_name() const
{
	return step_name;
}

io_buffer_ranges kova_dma_step::get_io_buffer_ranges() const
{
	return io_buffer_ranges_from_max(m_api->kova_dma_cap_task_memcpy_get_max_buf_size, m_device, "kova_dma_step");
}

std::unique_ptr<utility::async::sequence> kova_dma_step::start_async_setup()
{
	return {};
}

std::unique_ptr<utility::async::sequence> kova_dma_step::start_async_teardown()
{
	return {};
}

uint32_t kova_dma_step::get_companion_worker_id() const
{
	return 0;
}

void kova_dma_step::set_mmaps(kova_mmap * /*input_mmap*/, kova_mmap * /*output_mmap*/) {}

task_set kova_dma_step::create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
					kova_data task_user_data)
{
	if (task_user_data.u64 == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid (empty) task user data");
	kova_dma_task_memcpy *memcpy_task = nullptr;
	if (kova_error const err = m_api->kova_dma_task_memcpy_alloc_init(m_instance.get(), input, output,
									   task_user_data, &memcpy_task))
		KOVA_THROW(err, "Unable to create kova_dma_task_memcpy task");
	kova_task *task = m_api->kova_dma_task_memcpy_as_task(memcpy_task);
	m_tasks.push_back(task);
	if (m_use_remote_input_buffers)
		return task_set{task, output, spare, output};
	return task_set{task, input, output, spare};
}

void kova_dma_step::destroy_all_tasks()
{
	free_tasks(m_tasks);
}

} // namespace kova::bench::step
