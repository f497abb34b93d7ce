#include "step/kova_dma_step.hpp"

#include "kova_exception.hpp"
#include "runtime_state.hpp"
#include "step/step_utils.hpp"
#include "utility/async/sequence.hpp"
#include "utility/kova_utils.hpp"

#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <limits>

namespace kova::bench::step {
namespace {

constexpr const char *step_name = "kova_dma";

kova_dev *first_device(const runtime_state &state)
{
	auto const devices = state.get_devices();
	if (devices.empty())
		KOVA_THROW(KOVA_ERROR_BAD_STATE, "Unable to create kova_dma step: no device is open");
	return devices[0];
}

const dl::kova_dma_api *get_api_or_throw()
{
	const dl::kova_dma_api *api = dl::kova_dma_api::singleton();
	if (api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_dma library is not installed");
	return api;
}

// The task count of the configuration, rounded up to a power of two; sizes beyond what 32 bits
// hold become the largest value, which the library refuses.
uint32_t num_tasks_from_cfg(const object::attributes &attributes) noexcept
{
	uint64_t const num_tasks = uint64_t{1} << log_num_tasks_from_cfg(attributes);
	return static_cast<uint32_t>(std::min<uint64_t>(num_tasks, std::numeric_limits<uint32_t>::max()));
}

} // namespace

kova_dma_step::kova_dma_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
			     completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data)
	: m_device{first_device(state)},
	  m_api{get_api_or_throw()},
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
	utility::stop_ctx(m_api->kova_dma_as_ctx(m_instance.get()), m_pe, step_name, &m_tasks);
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
	uint64_t max = 0;
	if (kova_error const err =
		    m_api->kova_dma_cap_task_memcpy_get_max_buf_size(kova_dev_as_devinfo(m_device), &max)) {
		std::cout << "[kova_dma_step::get_io_buffer_ranges] failed to query max buffer size: "
			  << kova_error_get_name(err) << '\n';
		return io_buffer_ranges{{0, 0}, {0, 0}};
	}
	auto const max32 = static_cast<uint32_t>(max);
	return io_buffer_ranges{{1, max32}, {1, max32}};
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
	for (kova_task *task : m_tasks)
		static_cast<void>(kova_task_free(task));
	m_tasks.clear();
}

} // namespace kova::bench::step
