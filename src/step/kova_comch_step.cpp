#include "step/kova_comch_step.hpp"

#include "companion/worker/comch_worker.hpp"
#include "kova_exception.hpp"
#include "step/local_step_utils.hpp"
#include "step/remote_worker_activities.hpp"
#include "step/step_utils.hpp"
#include "utility/async/sequence.hpp"

#include <kova/dev.h>
#include <kova/error.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <unistd.h>
#include <utility>

namespace kova::bench::step {
namespace {

constexpr uint32_t sequence_time_limit_s = 30;
constexpr const char *create_endpoint_name = "create_endpoint_activity";
constexpr const char *wait_running_name = "wait_for_endpoint_context_running";
constexpr const char *wait_connection_name = "wait_for_endpoint_connection";
constexpr const char *create_consumer_name = "create_consumer_activity";
constexpr const char *create_producer_name = "create_producer_activity";
constexpr const char *finalize_name = "finalize_async_activity";
constexpr const char *destroy_local_name = "destroy_local_worker_activity";
constexpr const char *destroy_endpoint_name = "destroy_comch_endpoint_activity";

struct comch_worker_family {
	using command = companion::worker::create_comch_worker_command;
	static companion::worker::attribute_map to_map(const command &value)
	{
		return companion::worker::create_comch_worker_command_to_map(value);
	}
	static constexpr const char *send_failure = "Failed to send create kova_comch worker request";
};

uint32_t halved(uint32_t count) noexcept
{
	return count / 2;
}

uint32_t doubled(uint32_t count) noexcept
{
	uint64_t const twice = uint64_t{count} * 2;
	return twice > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(twice);
}

} // namespace

uint64_t next_comch_server_number() noexcept
{
	// Seconds of the first use (mod 10^6), process id (below 10^7), counter (mod 10^5).
	static uint64_t const start =
		static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
					      std::chrono::system_clock::now().time_since_epoch())
					      .count()) %
		1'000'000;
	static std::atomic<uint64_t> counter{0};
	uint64_t const pid = static_cast<uint64_t>(::getpid()) % 10'000'000;
	return start * 1'000'000'000'000ULL + pid * 100'000 + counter.fetch_add(1) % 100'000;
}

utility::comch_endpoint::configuration make_comch_cfg(const object::attributes &attributes, uint64_t n)
{
	return utility::comch_endpoint::configuration{"cc_server" + std::to_string(n), attributes.job_output_buffer_size,
						       attributes.job_count, 0, 0};
}

// finalize activities

namespace comch_setup {

// The set-up's last activity: moves the endpoint and the consumer (or producer) out of the set-up
// context into the step's own fields, then ends the context.
template <typename Local>
class finalize_activity : public step_async_activity {
public:
	using context_slot = std::unique_ptr<Local> utility::comch_async_context::*;

	finalize_activity(utility::async::sequence_callbacks &callbacks, const runtime_state &state,
			  std::unique_ptr<utility::comch_async_context> &context,
			  std::unique_ptr<utility::comch_endpoint> &endpoint, std::unique_ptr<Local> &local,
			  context_slot made)
		: step_async_activity{finalize_name, callbacks, state, ""},
		  m_context{context},
		  m_endpoint{endpoint},
		  m_local{local},
		  m_made{made}
	{
	}
	void start() override
	{
		m_endpoint = std::move(m_context->endpoint);
		m_local = std::move((*m_context).*m_made);
		m_context.reset();
	}
	void abort() override {}
	bool progress(utility::async::sequence_callbacks &callbacks) override
	{
		callbacks.notify_sequence_success();
		return true;
	}
	void on_api_error(const companion::api::v1::error_response &error) override { fail(error); }
	void on_api_message(const companion::api::message_buffer &message) override { fail(message); }

private:
	std::unique_ptr<utility::comch_async_context> &m_context;
	std::unique_ptr<utility::comch_endpoint> &m_endpoint;
	std::unique_ptr<Local> &m_local;
	context_slot m_made;
};

} // namespace comch_setup

class kova_comch_consumer_step::finalize_async_activity final
	: public comch_setup::finalize_activity<utility::comch_consumer> {
public:
	finalize_async_activity(utility::async::sequence_callbacks &callbacks, const runtime_state &state,
				kova_comch_consumer_step *step)
		: finalize_activity{callbacks, state, step->m_setup_context, step->m_endpoint, step->m_consumer,
				    &utility::comch_async_context::consumer}
	{
	}
};

class kova_comch_producer_step::finalize_async_activity final
	: public comch_setup::finalize_activity<utility::comch_producer> {
public:
	finalize_async_activity(utility::async::sequence_callbacks &callbacks, const runtime_state &state,
				kova_comch_producer_step *step)
		: finalize_activity{callbacks, state, step->m_setup_context, step->m_endpoint, step->m_producer,
				    &utility::comch_async_context::producer}
	{
	}
};

// comch_step_base

comch_step_base::comch_step_base(utility::comch_endpoint::configuration cfg, const runtime_state &state,
				 kova_pe *pe, kova_data ctx_user_data)
	: m_device{first_device(state, "kova_comch")},
	  m_pe{pe},
	  m_endpoint_cfg{std::move(cfg)},
	  m_state{&state},
	  m_ctx_user_data{ctx_user_data}
{
	m_api = api_or_throw<dl::kova_comch_api>("kova_comch");
	if (m_pe == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "shared pe must not be null");
}

comch_step_base::~comch_step_base() = default;

std::unique_ptr<utility::async::sequence> comch_step_base::start_async_setup()
{
	auto sequence = std::make_unique<utility::async::sequence>(sequence_time_limit_s);
	m_setup_context = std::make_unique<utility::comch_async_context>();
	m_setup_context->sequence = sequence.get();
	m_setup_context->pe = m_pe;
	m_setup_context->remote_consumer_id = &m_remote_consumer_id;
	create_async_start_activities(*sequence, *m_setup_context);
	sequence->start(create_remote_worker_activity_name);
	return sequence;
}

std::unique_ptr<utility::async::sequence> comch_step_base::start_async_teardown()
{
	if (m_companion_worker_id == 0)
		return nullptr;
	auto sequence = std::make_unique<utility::async::sequence>(sequence_time_limit_s);
	create_async_teardown_activities(*sequence);
	return sequence;
}

uint32_t comch_step_base::get_companion_worker_id() const
{
	return m_companion_worker_id;
}

void comch_step_base::set_mmaps(kova_mmap * /*input_mmap*/, kova_mmap *output_mmap)
{
	m_output_mmap = output_mmap;
}

void comch_step_base::register_common_setup(utility::async::sequence &sequence,
					    utility::comch_async_context &context, const char *worker_type,
					    uint32_t worker_buffer_count, const char *after_connection)
{
	comch_worker_family::command command;
	command.buffer_size = m_endpoint_cfg.buffer_size;
	command.buffer_count = worker_buffer_count;
	command.server_name = m_endpoint_cfg.server_name;
	command.recv_queue_size = m_endpoint_cfg.recv_queue_size;
	command.max_msg_size = m_endpoint_cfg.max_msg_size;
	sequence.register_activity(create_remote_worker_activity_name,
				   std::make_unique<create_remote_worker_activity<comch_worker_family>>(
					   sequence, *m_state, m_companion_worker_id, worker_type, std::move(command),
					   create_endpoint_name));
	uint32_t *remote_consumer_id = &m_remote_consumer_id;
	utility::comch_endpoint::callbacks cbs{
		[remote_consumer_id](utility::comch_endpoint *, uint32_t id) { *remote_consumer_id = id; },
		[remote_consumer_id](utility::comch_endpoint *, uint32_t id) {
			if (*remote_consumer_id == id)
				*remote_consumer_id = 0;
		}};
	sequence.register_activity(create_endpoint_name,
				   std::make_unique<utility::create_endpoint_activity>(
					   &context, wait_running_name, m_endpoint_cfg, std::move(cbs), m_device,
					   m_state->get_representor()));
	sequence.register_activity(wait_running_name, std::make_unique<utility::wait_for_endpoint_context_running>(
							      &context, wait_connection_name));
	sequence.register_activity(wait_connection_name,
				   std::make_unique<utility::wait_for_endpoint_connection>(&context, after_connection));
}

io_buffer_ranges comch_step_base::buffer_ranges(const char *who,
						kova_error (*max_buf_size)(const kova_devinfo *, uint32_t *)) const
{
	uint32_t max_size = 0;
	if (kova_error const err = max_buf_size(kova_dev_as_devinfo(m_device), &max_size)) {
		std::printf("[%s::get_io_buffer_ranges] failed to query max buffer size: %s\n", who,
			    kova_error_get_name(err));
		return io_buffer_ranges{{0, 0}, {0, 0}};
	}
	return io_buffer_ranges{{1, max_size}, {1, max_size}};
}

// consumer step

kova_comch_consumer_step::kova_comch_consumer_step(const attributes &attributes, const runtime_state &state,
						   kova_pe *pe, completion_callback success_cb,
						   completion_callback error_cb, kova_data ctx_user_data)
	: comch_step_base{[&] {
				  auto cfg = make_comch_cfg(attributes, next_comch_server_number());
				  cfg.send_task_count = doubled(cfg.send_task_count);
				  return cfg;
			  }(),
			  state, pe, ctx_user_data},
	  m_callbacks{success_cb, error_cb}
{
	if (!get_kova_comch_consumer_metadata(m_api, kova_dev_as_devinfo(m_device)).supported)
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "kova_comch::consumer is not supported");
}

kova_comch_consumer_step::~kova_comch_consumer_step() = default;

const char *kova_comch_consumer_step::get_name() const
{
	return "kova_comch::consumer";
}

io_buffer_ranges kova_comch_consumer_step::get_io_buffer_ranges() const
{
	return buffer_ranges("kova_comch_consumer_step", m_api->kova_comch_consumer_cap_get_max_buf_size);
}

task_set kova_comch_consumer_step::create_task_set(const kova_buf * /*input*/, kova_buf *output, kova_buf *spare,
						   kova_data task_user_data)
{
	if (task_user_data.u64 == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid (empty) task user data");
	if (m_consumer == nullptr)
		KOVA_THROW(KOVA_ERROR_BAD_STATE, "kova_comch::consumer has no consumer: its set-up did not complete");
	auto *task = m_consumer->create_task(output, task_user_data);
	return task_set{m_api->kova_comch_consumer_task_post_recv_as_task(task), output, spare, output};
}

void kova_comch_consumer_step::destroy_all_tasks()
{
	if (m_consumer != nullptr)
		m_consumer->destroy_all_tasks_draining();
}

void kova_comch_consumer_step::create_async_start_activities(utility::async::sequence &sequence,
							     utility::comch_async_context &context)
{
	register_common_setup(sequence, context, "comch_producer", halved(m_endpoint_cfg.send_task_count),
			      create_consumer_name);
	sequence.register_activity(
		create_consumer_name,
		std::make_unique<utility::create_consumer_activity>(
			&context, finalize_name,
			utility::comch_consumer::configuration{m_endpoint_cfg.send_task_count,
							       m_endpoint_cfg.recv_queue_size, m_endpoint_cfg.buffer_size},
			m_callbacks, m_ctx_user_data, m_output_mmap));
	sequence.register_activity(finalize_name, std::make_unique<finalize_async_activity>(sequence, *m_state, this));
}

void kova_comch_consumer_step::create_async_teardown_activities(utility::async::sequence &sequence)
{
	utility::comch_endpoint *endpoint = m_endpoint.get();
	sequence.register_activity(stop_remote_worker_activity_name,
				   std::make_unique<stop_remote_worker_activity>(sequence, *m_state, m_companion_worker_id,
										 destroy_local_name));
	sequence.register_activity(destroy_local_name, std::make_unique<utility::destroy_local_worker_activity>(
							       endpoint, std::move(m_consumer), nullptr,
							       terminate_remote_worker_activity_name));
	sequence.register_activity(terminate_remote_worker_activity_name,
				   std::make_unique<terminate_remote_worker_activity>(
					   sequence, *m_state, m_companion_worker_id, destroy_endpoint_name));
	sequence.register_activity(destroy_endpoint_name,
				   std::make_unique<utility::destroy_comch_endpoint_activity>(std::move(m_endpoint)));
	sequence.start(stop_remote_worker_activity_name);
}

// producer step

kova_comch_producer_step::kova_comch_producer_step(const attributes &attributes, const runtime_state &state,
						   kova_pe *pe, completion_callback success_cb,
						   completion_callback error_cb, kova_data ctx_user_data)
	: comch_step_base{make_comch_cfg(attributes, next_comch_server_number()), state, pe, ctx_user_data},
	  m_callbacks{success_cb, error_cb}
{
	if (!get_kova_comch_producer_metadata(m_api, kova_dev_as_devinfo(m_device)).supported)
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "kova_comch::producer is not supported");
}

kova_comch_producer_step::~kova_comch_producer_step() = default;

const char *kova_comch_producer_step::get_name() const
{
	return "kova_comch::producer";
}

io_buffer_ranges kova_comch_producer_step::get_io_buffer_ranges() const
{
	return buffer_ranges("kova_comch_producer_step", m_api->kova_comch_producer_cap_get_max_buf_size);
}

task_set kova_comch_producer_step::create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
						   kova_data task_user_data)
{
	if (task_user_data.u64 == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid (empty) task user data");
	if (m_remote_consumer_id == 0)
		KOVA_THROW(KOVA_ERROR_UNEXPECTED, "No remote kova_comch consumer is connected");
	if (m_producer == nullptr)
		KOVA_THROW(KOVA_ERROR_BAD_STATE, "kova_comch::producer has no producer: its set-up did not complete");
	auto *task = m_producer->create_task(input, task_user_data, m_remote_consumer_id);
	return task_set{m_api->kova_comch_producer_task_send_as_task(task), output, spare, output};
}

void kova_comch_producer_step::destroy_all_tasks()
{
	if (m_producer != nullptr)
		m_producer->destroy_all_tasks_draining();
}

void kova_comch_producer_step::create_async_start_activities(utility::async::sequence &sequence,
							     utility::comch_async_context &context)
{
	register_common_setup(sequence, context, "comch_consumer", doubled(m_endpoint_cfg.send_task_count),
			      create_producer_name);
	sequence.register_activity(
		create_producer_name,
		std::make_unique<utility::create_producer_activity>(
			&context, finalize_name,
			utility::comch_producer::configuration{m_endpoint_cfg.send_task_count,
							       m_endpoint_cfg.recv_queue_size, m_endpoint_cfg.buffer_size},
			m_callbacks, m_ctx_user_data));
	sequence.register_activity(finalize_name, std::make_unique<finalize_async_activity>(sequence, *m_state, this));
}

void kova_comch_producer_step::create_async_teardown_activities(utility::async::sequence &sequence)
{
	utility::comch_endpoint *endpoint = m_endpoint.get();
	sequence.register_activity(terminate_remote_worker_activity_name,
				   std::make_unique<terminate_remote_worker_activity>(sequence, *m_state,
										      m_companion_worker_id, destroy_local_name));
	sequence.register_activity(destroy_local_name, std::make_unique<utility::destroy_local_worker_activity>(
							       endpoint, nullptr, std::move(m_producer), destroy_endpoint_name));
	sequence.register_activity(destroy_endpoint_name,
				   std::make_unique<utility::destroy_comch_endpoint_activity>(std::move(m_endpoint)));
	sequence.start(terminate_remote_worker_activity_name);
}

// capability records

task_capabilities get_kova_comch_consumer_metadata(const dl::kova_comch_api *api, const kova_devinfo *devinfo)
{
	task_capabilities task;
	if (throw_if_query_fails(api->kova_comch_consumer_cap_is_supported(devinfo), "kova_comch consumer supported") !=
	    KOVA_SUCCESS)
		return task;
	task.supported = true;
	uint32_t value = 0;
	if (kova_error const err = api->kova_comch_consumer_cap_get_max_buf_size(devinfo, &value))
		KOVA_THROW(err, "Failed to get kova_comch consumer max buffer size.");
	task.max_buffer_length = value;
	if (kova_error const err = api->kova_comch_consumer_cap_get_max_num_tasks(devinfo, &value))
		KOVA_THROW(err, "Failed to get kova_comch consumer max num tasks.");
	task.properties["Max tasks"] = std::to_string(value);
	if (kova_error const err = api->kova_comch_consumer_cap_get_max_consumers(devinfo, &value))
		KOVA_THROW(err, "Failed to get kova_comch consumer max num consumers.");
	task.properties["Max consumers"] = std::to_string(value);
	return task;
}

task_capabilities get_kova_comch_producer_metadata(const dl::kova_comch_api *api, const kova_devinfo *devinfo)
{
	task_capabilities task;
	if (throw_if_query_fails(api->kova_comch_producer_cap_is_supported(devinfo), "kova_comch producer supported") !=
	    KOVA_SUCCESS)
		return task;
	task.supported = true;
	uint32_t value = 0;
	if (kova_error const err = api->kova_comch_producer_cap_get_max_buf_size(devinfo, &value))
		KOVA_THROW(err, "Failed to get kova_comch producer max buffer size.");
	task.max_buffer_length = value;
	if (kova_error const err = api->kova_comch_producer_cap_get_max_num_tasks(devinfo, &value))
		KOVA_THROW(err, "Failed to get kova_comch producer max num tasks.");
	task.properties["Max tasks"] = std::to_string(value);
	if (kova_error const err = api->kova_comch_producer_cap_get_max_producers(devinfo, &value))
		KOVA_THROW(err, "Failed to get kova_comch producer max num producers.");
	task.properties["Max producers"] = std::to_string(value);
	return task;
}

capabilities get_kova_comch_metadata(const kova_devinfo *devinfo)
{
	const dl::kova_comch_api *api = dl::kova_comch_api::singleton();
	capabilities record = library_capabilities("kova_comch", api);
	if (api == nullptr)
		return record;
	record.tasks["consumer"] = get_kova_comch_consumer_metadata(api, devinfo);
	record.tasks["producer"] = get_kova_comch_producer_metadata(api, devinfo);
	if (!record.tasks["consumer"].supported && !record.tasks["producer"].supported)
		return record;
	uint32_t value = 0;
	if (kova_error const err = api->kova_comch_cap_get_max_msg_size(devinfo, &value))
		KOVA_THROW(err, "Failed to get kova_comch max message size.");
	record.properties["Max message size"] = std::to_string(value);
	if (kova_error const err = api->kova_comch_cap_get_max_clients(devinfo, &value))
		KOVA_THROW(err, "Failed to get kova_comch max clients.");
	record.properties["Max number clients"] = std::to_string(value);
	if (kova_error const err = api->kova_comch_cap_get_max_name_len(devinfo, &value))
		KOVA_THROW(err, "Failed to get kova_comch max name length.");
	record.properties["Max name length"] = std::to_string(value);
	return record;
}

} // namespace kova::bench::step
