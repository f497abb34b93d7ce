#include "step/remote_worker_activities.hpp"

#include "companion/api/message_printing.hpp"
#include "kova_exception.hpp"

#include <exception>

namespace kova::bench::step {
namespace {

namespace api = companion::api;
namespace v1 = companion::api::v1;

constexpr const char *terminate_refused = "Failed to terminate remote workers";

} // namespace

create_remote_worker_activity_base::create_remote_worker_activity_base(
	const char *name, utility::async::sequence_callbacks &callbacks, const runtime_state &state,
	uint32_t &worker_id, std::string worker_type, const char *send_failure, worker_reply_reader read_reply,
	std::string next_activity)
	: step_async_activity{name, callbacks, state, std::move(next_activity)},
	  m_worker_id{&worker_id},
	  m_worker_type{std::move(worker_type)},
	  m_send_failure{send_failure},
	  m_read_reply{std::move(read_reply)}
{
}

void create_remote_worker_activity_base::start()
{
	if (!send_awaited(v1::create_worker_request{0, m_worker_type, command_map()}))
		KOVA_THROW(KOVA_ERROR_UNEXPECTED, m_send_failure);
}

void create_remote_worker_activity_base::abort()
{
	fail(KOVA_ERROR_SHUTDOWN, "Aborted");
	destroy_workers();
}

void create_remote_worker_activity_base::destroy_workers()
{
	std::string reason;
	try {
		if (send_unawaited(v1::destroy_workers_request{})) {
			*m_worker_id = 0;
			return;
		}
	} catch (const std::exception &error) {
		reason = std::string{": "} + error.what();
	}
	callbacks().notify_sequence_failure(KOVA_ERROR_UNEXPECTED, terminate_refused + reason);
}

void create_remote_worker_activity_base::on_api_error(const v1::error_response &error)
{
	fail(error);
}

void create_remote_worker_activity_base::on_api_message(const api::message_buffer &message)
{
	if (message.get_message_type_id() != v1::create_worker_response::type_id) {
		fail(message);
		return;
	}
	// A worker exists from here on: when its reply cannot be used it is destroyed again.
	v1::create_worker_response response;
	try {
		v1::decode_api_message(message, response);
		if (response.worker_id == 0) {
			fail(KOVA_ERROR_UNEXPECTED, "Invalid worker id 0 in " + api::describe_message(message));
			return;
		}
		if (m_read_reply)
			m_read_reply(response.fields);
	} catch (const kova::exception &error) {
		fail(error.code(), error.what());
		destroy_workers();
		return;
	} catch (const std::exception &error) {
		fail(KOVA_ERROR_INVALID_VALUE, error.what());
		destroy_workers();
		return;
	}
	*m_worker_id = response.worker_id;
	set_done();
}

stop_remote_worker_activity::stop_remote_worker_activity(utility::async::sequence_callbacks &callbacks,
							 const runtime_state &state, uint32_t worker_id,
							 std::string next_activity)
	: step_async_activity{stop_remote_worker_activity_name, callbacks, state, std::move(next_activity)},
	  m_worker_id{worker_id}
{
}

void stop_remote_worker_activity::start()
{
	if (m_worker_id == 0) {
		set_done();
		return;
	}
	if (!send_awaited(v1::stop_worker_request{0, m_worker_id}))
		KOVA_THROW(KOVA_ERROR_UNEXPECTED, terminate_refused);
}

void stop_remote_worker_activity::abort()
{
	fail(KOVA_ERROR_SHUTDOWN, "Aborted");
}

void stop_remote_worker_activity::on_api_error(const v1::error_response &error)
{
	fail(error);
	set_done();
}

void stop_remote_worker_activity::on_api_message(const api::message_buffer &message)
{
	if (message.get_message_type_id() == v1::stop_worker_response::type_id)
		set_done();
	else
		fail(message);
}

terminate_remote_worker_activity::terminate_remote_worker_activity(utility::async::sequence_callbacks &callbacks,
								   const runtime_state &state, uint32_t &worker_id,
								   std::string next_activity)
	: step_async_activity{terminate_remote_worker_activity_name, callbacks, state, std::move(next_activity)},
	  m_worker_id{&worker_id}
{
}

void terminate_remote_worker_activity::start()
{
	if (!send_awaited(v1::destroy_workers_request{}))
		KOVA_THROW(KOVA_ERROR_UNEXPECTED, terminate_refused);
}

void terminate_remote_worker_activity::abort()
{
	fail(KOVA_ERROR_SHUTDOWN, "Aborted");
}

void terminate_remote_worker_activity::on_api_error(const v1::error_response &error)
{
	// The id stays: the worker may still exist, and a retry or an abort still knows it.
	fail(error);
}

void terminate_remote_worker_activity::on_api_message(const api::message_buffer &message)
{
	if (message.get_message_type_id() != v1::destroy_workers_response::type_id) {
		fail(message);
		return;
	}
	*m_worker_id = 0;
	set_done();
}

} // namespace kova::bench::step
