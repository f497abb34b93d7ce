#include "step/step_async_activity.hpp"

#include "companion/api/async_context.hpp"
#include "companion/api/message_printing.hpp"
#include "kova_exception.hpp"

#include <exception>
#include <utility>

namespace kova::bench::step {

namespace api = companion::api;
namespace v1 = companion::api::v1;

step_async_activity::step_async_activity(const char *name, utility::async::sequence_callbacks &callbacks,
					 const runtime_state &state, std::string next_activity)
	: m_name{name}, m_callbacks{&callbacks}, m_state{&state}, m_next_activity{std::move(next_activity)}
{
}

// Dropping the slot is what cancels a reply still pending in the request context.
step_async_activity::~step_async_activity() = default;

void step_async_activity::fail(kova_error code, const std::string &message)
{
	m_failed = true;
	m_reply.reset();
	m_callbacks->notify_sequence_failure(code, std::string{"Failed during: "} + m_name + ". message: " + message);
}

void step_async_activity::fail(const api::message_buffer &message)
{
	fail(KOVA_ERROR_UNEXPECTED, "Unexpected API message: " + api::describe_message(message));
}

void step_async_activity::fail(const v1::error_response &error)
{
	fail(KOVA_ERROR_UNEXPECTED, "Unexpected API error: " + v1::to_string(error));
}

bool step_async_activity::send(api::message_buffer message, bool awaited)
{
	api::async::reply_callback handler = [](kova::optional<v1::error_response>, const api::message_buffer &) {};
	std::shared_ptr<reply_slot> slot;
	if (awaited) {
		slot = std::make_shared<reply_slot>();
		handler = [token = std::weak_ptr<reply_slot>{slot}](kova::optional<v1::error_response> error,
								     const api::message_buffer &reply) {
			auto const target = token.lock();
			if (!target)
				return;
			target->error = std::move(error);
			target->message = reply;
			target->ready.store(true, std::memory_order_release);
		};
	}
	if (!m_state->get_companion_connection_async()->send_async(message, std::move(handler),
								      remote_request_timeout_s))
		return false;
	if (awaited)
		m_reply = std::move(slot);
	return true;
}

void step_async_activity::take_reply()
{
	if (!m_reply || !m_reply->ready.load(std::memory_order_acquire))
		return;
	auto const reply = std::move(m_reply);
	if (m_failed)
		return;
	try {
		if (reply->error.has_value())
			on_api_error(*reply->error);
		else
			on_api_message(reply->message);
	} catch (const kova::exception &error) {
		if (!m_failed)
			fail(error.code(), error.what());
	} catch (const std::exception &error) {
		if (!m_failed)
			fail(KOVA_ERROR_INVALID_VALUE, error.what());
	}
}

bool step_async_activity::progress(utility::async::sequence_callbacks &callbacks)
{
	take_reply();
	if (m_failed)
		return true;
	if (!m_done)
		return false;
	if (m_next_activity.empty())
		callbacks.notify_sequence_success();
	else
		callbacks.select_next_activity(m_next_activity);
	return true;
}

} // namespace kova::bench::step
