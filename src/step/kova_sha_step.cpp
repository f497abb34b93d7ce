#include "step/kova_sha_step.hpp"

#include "kova_exception.hpp"
#include "step/kova_sha_metadata.hpp"
#include "step/local_step_utils.hpp"
#include "utility/async/sequence.hpp"
#include "utility/configuration_utils.hpp"
#include "utility/kova_utils.hpp"

#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <iostream>
#include <string>

namespace kova::bench::step {
namespace {

constexpr const char *step_name = "kova_sha";

struct algorithm_row {
	const char *name;
	uint32_t value;
	bool (*supported)(const dl::kova_sha_api *, const kova_devinfo *);
	const char *refusal;
};

constexpr algorithm_row algorithms[] = {
	{"sha1", KOVA_SHA_ALGORITHM_SHA1, supports_sha1_hash_task, "kova_sha sha1 hash task is not supported"},
	{"sha256", KOVA_SHA_ALGORITHM_SHA256, supports_sha256_hash_task, "kova_sha sha256 hash task is not supported"},
	{"sha512", KOVA_SHA_ALGORITHM_SHA512, supports_sha512_hash_task, "kova_sha sha512 hash task is not supported"},
};

// The algorithm of the attributes, once the device is known to support it.
uint32_t select_sha_algorithm(const object::attributes &attributes, const dl::kova_sha_api *api, const kova_dev *device)
{
	auto const found = attributes.attribute_map.find(utility::fully_qualified_name(utility::attribute::kova_sha_algorithm));
	if (found == attributes.attribute_map.end())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to create KOVA SHA instance. No algorithm selected.");
	for (const algorithm_row &row : algorithms) {
		if (found->second != row.name)
			continue;
		if (!row.supported(api, kova_dev_as_devinfo(device)))
			KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, row.refusal);
		return row.value;
	}
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "KOVA SHA algorithm: \"" + found->second + "\" is not recognized.");
}

} // namespace

kova_sha_step::kova_sha_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
			     completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data)
	: m_device{first_device(state, step_name)},
	  m_api{api_or_throw<dl::kova_sha_api>(step_name)},
	  m_pe{pe},
	  m_instance{nullptr, m_api->kova_sha_destroy},
	  m_algorithm{select_sha_algorithm(attributes, m_api, m_device)}
{
	m_tasks.reserve(attributes.job_count);
	kova_sha *instance = nullptr;
	if (kova_error const err = m_api->kova_sha_create(m_device, &instance))
		KOVA_THROW(err, "Unable to create kova_sha instance.");
	m_instance.reset(instance);
	kova_ctx *ctx = m_api->kova_sha_as_ctx(instance);
	if (kova_error const err = kova_ctx_set_user_data(ctx, ctx_user_data))
		KOVA_THROW(err, "Failed to set context user data");
	if (kova_error const err =
		    m_api->kova_sha_task_hash_set_conf(instance, success_cb, error_cb, num_tasks_from_cfg(attributes)))
		KOVA_THROW(err, "Failed to set tasks conf for kova_sha instance.");
	if (kova_error const err = kova_pe_connect_ctx(pe, ctx))
		KOVA_THROW(err, "Unable to connect kova_pe to kova_ctx");
	if (kova_error const err = kova_ctx_start(ctx))
		KOVA_THROW(err, "Failed to start kova_sha context");
}

kova_sha_step::~kova_sha_step()
{
	kova_ctx *ctx = m_api->kova_sha_as_ctx(m_instance.get());
	utility::stop_ctx(ctx, m_pe, step_name, &m_tasks);
	if (leave_in_flight_to_device(ctx, m_pe, step_name, m_tasks, m_instance))
		return;
	destroy_all_tasks();
	m_tasks = {};
	m_instance.reset();
}

const char *kova_sha_step::get_name() const
{
	return step_name;
}

io_buffer_ranges kova_sha_step::get_io_buffer_ranges() const
{
	const kova_devinfo *devinfo = kova_dev_as_devinfo(m_device);
	uint64_t max = 0;
	if (kova_error const err = m_api->kova_sha_cap_get_max_src_buf_size(devinfo, &max)) {
		std::cout << "[kova_sha_step::get_io_buffer_ranges] failed to query max buffer size: "
			  << kova_error_get_name(err) << '\n';
		return io_buffer_ranges{{0, 0}, {0, 0}};
	}
	uint32_t min = 0;
	if (kova_error const err = m_api->kova_sha_cap_get_min_dst_buf_size(devinfo, m_algorithm, &min)) {
		std::cout << "[kova_sha_step::get_io_buffer_ranges] failed to query min buffer size: "
			  << kova_error_get_name(err) << '\n';
		return io_buffer_ranges{{0, 0}, {0, 0}};
	}
	auto const max32 = static_cast<uint32_t>(max);
	return io_buffer_ranges{{1, max32}, {min, max32}};
}

std::unique_ptr<utility::async::sequence> kova_sha_step::start_async_setup()
{
	return {};
}

std::unique_ptr<utility::async::sequence> kova_sha_step::start_async_teardown()
{
	return {};
}

uint32_t kova_sha_step::get_companion_worker_id() const
{
	return 0;
}

void kova_sha_step::set_mmaps(kova_mmap * /*input_mmap*/, kova_mmap * /*output_mmap*/) {}

task_set kova_sha_step::create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
					kova_data task_user_data)
{
	if (task_user_data.u64 == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid (empty) task user data");
	kova_sha_task_hash *hash = nullptr;
	if (kova_error const err =
		    m_api->kova_sha_task_hash_alloc_init(m_instance.get(), m_algorithm, input, output, task_user_data, &hash))
		KOVA_THROW(err, "Unable to create kova_sha_task_hash task");
	kova_task *task = m_api->kova_sha_task_hash_as_task(hash);
	m_tasks.push_back(task);
	return task_set{task, input, output, spare};
}

void kova_sha_step::destroy_all_tasks()
{
	free_tasks(m_tasks);
}

} // namespace kova::bench::step
