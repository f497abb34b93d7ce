#include "step/kova_rdma_step.hpp"

#include "companion/worker/rdma_worker.hpp"
#include "kova_exception.hpp"
#include "step/local_step_utils.hpp"
#include "step/remote_worker_activities.hpp"
#include "step/step_utils.hpp"
#include "utility/async/sequence.hpp"
#include "utility/kova_utils.hpp"
#include "utility/string_utils.hpp"

#include <kova/dev.h>
#include <kova/error.h>
#include <kova/pe.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>

namespace kova::bench::step {
namespace {

constexpr uint32_t setup_time_limit_s = 30;
constexpr const char *connect_activity_name = "rdma_connect_activity";
constexpr const char *pre_send_delay_activity_name = "rdma_pre_send_delay_activity";
constexpr const char *gid_key = "kova_rdma.gid-index";
constexpr const char *gid_key_alias = "kova_rdma.gid_index";
constexpr const char *transport_key = "kova_rdma.transport-type";

struct rdma_worker_family {
	using command = companion::worker::create_rdma_worker_command;
	static companion::worker::attribute_map to_map(const command &value)
	{
		return companion::worker::create_rdma_worker_command_to_map(value);
	}
	static constexpr const char *send_failure = "Failed to send create kova_rdma worker request";
};

utility::rdma_context::configuration make_configuration(const object::attributes &attributes)
{
	utility::rdma_context::configuration cfg;
	cfg.buffer_size = attributes.job_output_buffer_size;
	cfg.task_count = attributes.job_count;
	cfg.gid_index = get_gid_idx(attributes);
	cfg.mtu = attributes.mtu_size;
	cfg.send_queue_size = attributes.sq_depth;
	return cfg;
}

task_capabilities task_metadata(const kova_devinfo *devinfo, kova_error (*is_supported)(const kova_devinfo *),
				const char *label, const dl::kova_rdma_api *api, const char *max_failure)
{
	task_capabilities task;
	if (throw_if_query_fails(is_supported(devinfo), label) != KOVA_SUCCESS)
		return task;
	task.supported = true;
	uint32_t max_message = 0;
	if (kova_error const err = api->kova_rdma_cap_get_max_message_size(devinfo, &max_message))
		KOVA_THROW(err, max_failure);
	task.max_buffer_length = max_message;
	return task;
}

void sleep_10_ms() noexcept
{
	timespec wanted{0, 10'000'000};
	timespec left{};
	while (::nanosleep(&wanted, &left) != 0 && errno == EINTR)
		wanted = left;
}

} // namespace

kova::optional<uint32_t> get_gid_idx(const object::attributes &attributes)
{
	const std::string *text = find_attribute(attributes, gid_key);
	if (text == nullptr)
		text = find_attribute(attributes, gid_key_alias);
	if (text == nullptr)
		return {};
	auto const parsed = utility::strto<unsigned int>(*text);
	if (!parsed)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, std::string{"Invalid value for "} + gid_key);
	return parsed->value;
}

uint32_t rdma_receive_worker_buffer_count(uint32_t task_count) noexcept
{
	return task_count <= 3 ? 1 : task_count / 2;
}

uint32_t rdma_send_worker_buffer_count(uint32_t task_count) noexcept
{
	return static_cast<uint32_t>(2U * task_count);
}

rdma_step_base::rdma_step_base(const attributes &attributes, const runtime_state &state, kova_pe *pe,
			       kova_data ctx_user_data)
	: m_device{first_device(state, "kova_rdma")},
	  m_api{api_or_throw<dl::kova_rdma_api>("kova_rdma")},
	  m_pe{pe},
	  m_context{make_configuration(attributes), ctx_user_data, m_device, pe},
	  m_state{&state},
	  m_ctx_user_data{ctx_user_data},
	  m_gid_index{m_context.get_cfg().gid_index}
{
}

std::unique_ptr<utility::async::sequence> rdma_step_base::start_async_setup()
{
	auto sequence = std::make_unique<utility::async::sequence>(setup_time_limit_s);
	create_async_start_activities(*sequence);
	sequence->start(create_remote_worker_activity_name);
	return sequence;
}

std::unique_ptr<utility::async::sequence> rdma_step_base::start_async_teardown()
{
	auto sequence = std::make_unique<utility::async::sequence>(setup_time_limit_s);
	create_async_teardown_activities(*sequence);
	sequence->start(terminate_remote_worker_activity_name);
	return sequence;
}

uint32_t rdma_step_base::get_companion_worker_id() const
{
	return m_companion_worker_id;
}

void rdma_step_base::set_mmaps(kova_mmap * /*input_mmap*/, kova_mmap * /*output_mmap*/) {}

void rdma_step_base::destroy_all_tasks()
{
	m_context.destroy_all_tasks();
}

void rdma_step_base::register_setup(utility::async::sequence &sequence, const char *worker_type,
				    uint32_t buffer_count, const std::string &after_connect)
{
	auto read_blob = [](const companion::worker::attribute_map &fields) {
		return companion::worker::create_rdma_worker_response_from_map(fields).connection_string;
	};
	register_rdma_worker_setup(sequence, *m_state, m_context, m_pe, m_companion_worker_id, worker_type,
				   buffer_count, read_blob, after_connect);
}

void rdma_step_base::register_teardown(utility::async::sequence &sequence)
{
	sequence.register_activity(terminate_remote_worker_activity_name,
				   std::make_unique<terminate_remote_worker_activity>(sequence, *m_state,
										      m_companion_worker_id, ""));
}

void rdma_step_base::apply_transport_type(const attributes &attributes)
{
	const std::string *text = find_attribute(attributes, transport_key);
	if (text == nullptr)
		return;
	std::string const value = utility::trim(*text);
	uint32_t type = 0;
	if (value == "RC" || value == "rc")
		type = KOVA_RDMA_TRANSPORT_TYPE_RC;
	else if (value == "DC" || value == "dc")
		type = KOVA_RDMA_TRANSPORT_TYPE_DC;
	else
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, std::string{"Invalid value for "} + transport_key);
	if (kova_error const err = m_api->kova_rdma_set_transport_type(m_context.get_kova_rdma_obj(), type))
		KOVA_THROW(err, "Unable to set KOVA RDMA transport type " + value);
}

io_buffer_ranges rdma_step_base::buffer_ranges(const char *who) const
{
	uint32_t max_message = 0;
	if (kova_error const err =
		    m_api->kova_rdma_cap_get_max_message_size(kova_dev_as_devinfo(m_device), &max_message)) {
		std::printf("[%s::get_io_buffer_ranges] failed to query max buffer size: %s\n", who,
			    kova_error_get_name(err));
		return io_buffer_ranges{{0, 0}, {0, 0}};
	}
	return io_buffer_ranges{{1, max_message}, {1, max_message}};
}

kova_rdma_send_step::kova_rdma_send_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
					 completion_callback success_cb, completion_callback error_cb,
					 kova_data ctx_user_data)
	: rdma_step_base{attributes, state, pe, ctx_user_data}
{
	if (!get_kova_rdma_send_metadata(m_api, kova_dev_as_devinfo(m_device)).supported)
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "kova_rdma::send is not supported");
	apply_transport_type(attributes);
	m_context.configure_send_tasks_pool({success_cb, error_cb});
	m_context.start();
}

const char *kova_rdma_send_step::get_name() const
{
	return "kova_rdma::send";
}

io_buffer_ranges kova_rdma_send_step::get_io_buffer_ranges() const
{
	return buffer_ranges("kova_rdma_send_step");
}

task_set kova_rdma_send_step::create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
					      kova_data task_user_data)
{
	kova_rdma_task_send *task = m_context.create_send_task(input, task_user_data);
	return task_set{m_api->kova_rdma_task_send_as_task(task), input, output, spare};
}

void kova_rdma_send_step::create_async_start_activities(utility::async::sequence &sequence)
{
	register_setup(sequence, "rdma_recv", rdma_send_worker_buffer_count(m_context.get_cfg().task_count),
		       pre_send_delay_activity_name);
	sequence.register_activity(pre_send_delay_activity_name,
				   std::make_unique<rdma_pre_send_delay_activity>(sequence, *m_state, ""));
}

void kova_rdma_send_step::create_async_teardown_activities(utility::async::sequence &sequence)
{
	register_teardown(sequence);
}

kova_rdma_receive_step::kova_rdma_receive_step(const attributes &attributes, const runtime_state &state,
					       kova_pe *pe, completion_callback success_cb,
					       completion_callback error_cb, kova_data ctx_user_data)
	: rdma_step_base{attributes, state, pe, ctx_user_data}
{
	if (!get_kova_rdma_receive_metadata(m_api, kova_dev_as_devinfo(m_device)).supported)
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "kova_rdma::receive is not supported");
	apply_transport_type(attributes);
	m_context.configure_receive_tasks_pool({success_cb, error_cb});
	m_context.start();
}

const char *kova_rdma_receive_step::get_name() const
{
	return "kova_rdma::receive";
}

io_buffer_ranges kova_rdma_receive_step::get_io_buffer_ranges() const
{
	return buffer_ranges("kova_rdma_receive_step");
}

task_set kova_rdma_receive_step::create_task_set(const kova_buf * /*input*/, kova_buf *output, kova_buf *spare,
						 kova_data task_user_data)
{
	kova_rdma_task_receive *task = m_context.create_receive_task(output, task_user_data);
	return task_set{m_api->kova_rdma_task_receive_as_task(task), output, spare, output};
}

void kova_rdma_receive_step::create_async_start_activities(utility::async::sequence &sequence)
{
	register_setup(sequence, "rdma_send", rdma_receive_worker_buffer_count(m_context.get_cfg().task_count), "");
}

void kova_rdma_receive_step::create_async_teardown_activities(utility::async::sequence &sequence)
{
	register_teardown(sequence);
}

kova_rdma_bidir_step::kova_rdma_bidir_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
					   completion_callback /*success_cb*/, completion_callback /*error_cb*/,
					   kova_data ctx_user_data)
	: rdma_step_base{attributes, state, pe, ctx_user_data}
{
	KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "bidir rdma is temporarily disabled");
}

const char *kova_rdma_bidir_step::get_name() const
{
	return "kova_rdma::bidir";
}

io_buffer_ranges kova_rdma_bidir_step::get_io_buffer_ranges() const
{
	return io_buffer_ranges{{0, 0}, {0, 0}};
}

task_set kova_rdma_bidir_step::create_task_set(const kova_buf * /*input*/, kova_buf * /*output*/,
					       kova_buf * /*spare*/, kova_data /*task_user_data*/)
{
	KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "bidir rdma is temporarily disabled");
}

void kova_rdma_bidir_step::create_async_start_activities(utility::async::sequence & /*sequence*/) {}

void kova_rdma_bidir_step::create_async_teardown_activities(utility::async::sequence & /*sequence*/) {}

void register_rdma_worker_setup(utility::async::sequence &sequence, const runtime_state &state,
				utility::rdma_context &context, kova_pe *pe, uint32_t &worker_id,
				const char *worker_type, uint32_t buffer_count, rdma_reply_blob_reader read_blob,
				const std::string &after_connect)
{
	auto const blob = context.get_local_connection_blob();
	rdma_worker_family::command command;
	command.buffer_size = context.get_cfg().buffer_size;
	command.buffer_count = buffer_count;
	command.connection_string.assign(blob.begin(), blob.end());
	command.gid_idx = context.get_cfg().gid_index;
	command.create_exported_mmap = false;
	auto read_reply = [&context, read_blob](const companion::worker::attribute_map &fields) {
		std::string const remote = read_blob(fields);
		context.set_remote_connection_blob(std::vector<char>(remote.begin(), remote.end()));
	};
	sequence.register_activity(create_remote_worker_activity_name,
				   std::make_unique<create_remote_worker_activity<rdma_worker_family>>(
					   sequence, state, worker_id, worker_type, std::move(command),
					   connect_activity_name, read_reply));
	sequence.register_activity(connect_activity_name, std::make_unique<rdma_connect_activity>(
								  sequence, context, state, pe, after_connect));
}

rdma_connect_activity::rdma_connect_activity(utility::async::sequence_callbacks &callbacks,
					     utility::rdma_context &context, const runtime_state &state, kova_pe *pe,
					     std::string next_activity)
	: step_async_activity{connect_activity_name, callbacks, state, std::move(next_activity)},
	  m_context{&context},
	  m_pe{pe}
{
}

void rdma_connect_activity::start()
{
	if (kova_error const err = m_context->connect())
		fail(err, "Unable to connect to remote rdma instance");
}

void rdma_connect_activity::abort()
{
	fail(KOVA_ERROR_SHUTDOWN, "Aborted");
}

bool rdma_connect_activity::progress(utility::async::sequence_callbacks &callbacks)
{
	if (!has_failed()) {
		kova_pe_progress(m_pe);
		kova_ctx *ctx = dl::kova_rdma_api::singleton()->kova_rdma_as_ctx(m_context->get_kova_rdma_obj());
		if (utility::get_context_state(ctx) == KOVA_CTX_STATE_RUNNING)
			set_done();
	}
	return step_async_activity::progress(callbacks);
}

void rdma_connect_activity::on_api_error(const companion::api::v1::error_response &error)
{
	fail(error);
}

void rdma_connect_activity::on_api_message(const companion::api::message_buffer &message)
{
	fail(message);
}

rdma_pre_send_delay_activity::rdma_pre_send_delay_activity(utility::async::sequence_callbacks &callbacks,
							   const runtime_state &state, std::string next_activity)
	: step_async_activity{pre_send_delay_activity_name, callbacks, state, std::move(next_activity)}
{
}

void rdma_pre_send_delay_activity::start() {}

void rdma_pre_send_delay_activity::abort() {}

bool rdma_pre_send_delay_activity::progress(utility::async::sequence_callbacks &callbacks)
{
	if (m_sleeps_left != 0) {
		sleep_10_ms();
		--m_sleeps_left;
		return false;
	}
	set_done();
	return step_async_activity::progress(callbacks);
}

void rdma_pre_send_delay_activity::on_api_error(const companion::api::v1::error_response &error)
{
	fail(error);
}

void rdma_pre_send_delay_activity::on_api_message(const companion::api::message_buffer &message)
{
	fail(message);
}

capabilities get_kova_rdma_metadata(const kova_devinfo *devinfo)
{
	const dl::kova_rdma_api *api = dl::kova_rdma_api::singleton();
	capabilities record = library_capabilities("kova_rdma", api);
	if (api == nullptr)
		return record;
	std::vector<std::string> transports;
	char const *const names[] = {"RC", "DC"};
	for (uint32_t type = 0; type < 2; ++type) {
		if (throw_if_query_fails(api->kova_rdma_cap_transport_type_is_supported(devinfo, type),
					 "kova_rdma transport type support") == KOVA_SUCCESS)
			transports.emplace_back(names[type]);
	}
	uint32_t gid_table_size = 0;
	if (kova_error const err = api->kova_rdma_cap_get_gid_table_size(devinfo, &gid_table_size))
		KOVA_THROW(err, "Failed to get kova_rdma gid table size.");
	record.properties["Supported transport types"] = list_property(transports);
	record.properties["GID table size"] = std::to_string(gid_table_size);
	record.tasks["send"] = get_kova_rdma_send_metadata(api, devinfo);
	record.tasks["receive"] = get_kova_rdma_receive_metadata(api, devinfo);
	record.tasks["bidir"] = get_kova_rdma_bidir_metadata(api, devinfo);
	return record;
}

task_capabilities get_kova_rdma_send_metadata(const dl::kova_rdma_api *api, const kova_devinfo *devinfo)
{
	return task_metadata(devinfo, api->kova_rdma_cap_task_send_is_supported, "kova_rdma send supported", api,
			     "Failed to get kova_rdma send max message size.");
}

task_capabilities get_kova_rdma_receive_metadata(const dl::kova_rdma_api *api, const kova_devinfo *devinfo)
{
	return task_metadata(devinfo, api->kova_rdma_cap_task_receive_is_supported, "kova_rdma receive supported", api,
			     "Failed to get kova_rdma receive max message size.");
}

task_capabilities get_kova_rdma_bidir_metadata(const dl::kova_rdma_api * /*api*/, const kova_devinfo * /*devinfo*/)
{
	return {};
}

} // namespace kova::bench::step
