// Base of a peer step's asynchronous activities: one form for the failures it reports to its
// sequence, and companion requests whose replies it reads on the thread that polls its sequence.
//
// The request context may call a reply handler on any thread that polls it, and after the
// activity is gone (its sequence given up with the reply pending). A handler therefore only
// fills a slot that it reaches through a weak reference; the activity owns the slot, reads it in
// its own progress and drops it when destroyed, after which a late reply or expiry is swallowed.
#pragma once

#include "companion/api/message_buffer.hpp"
#include "companion/api/v1/codecs.hpp"
#include "companion/api/v1/messages.hpp"
#include "kova_optional.hpp"
#include "runtime_state.hpp"
#include "utility/async/activity.hpp"

#include <kova/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace kova::bench::step {

// Time limit of every request a peer step's activity sends.
inline constexpr int64_t remote_request_timeout_s = 15;

class step_async_activity : public utility::async::activity {
public:
	step_async_activity(const step_async_activity &) = delete;
	step_async_activity &operator=(const step_async_activity &) = delete;
	~step_async_activity() override;

	// Hands over an arrived reply (take_reply), then: failed -> true; not yet done -> false;
	// done -> the next activity, or success of the sequence -> true.
	bool progress(utility::async::sequence_callbacks &callbacks) override;

	[[nodiscard]] const char *get_name() const noexcept { return m_name; }
	[[nodiscard]] bool has_failed() const noexcept { return m_failed; }

protected:
	// `name` is the activity's name in its sequence and in its failures; a string literal.
	// An empty `next_activity` ends the sequence with success when this activity succeeds.
	step_async_activity(const char *name, utility::async::sequence_callbacks &callbacks,
			    const runtime_state &state, std::string next_activity);

	// Marks the activity failed and reports {code, "Failed during: <name>. message: <message>"}.
	void fail(kova_error code, const std::string &message);
	// KOVA_ERROR_UNEXPECTED, "Unexpected API message: <description of the message>".
	void fail(const companion::api::message_buffer &message);
	// KOVA_ERROR_UNEXPECTED, "Unexpected API error: <text of the error>"; the error's own code is not passed on.
	void fail(const companion::api::v1::error_response &error);

	// Sends the request (its id set to a fresh message number); its reply, or its expiry after
	// 15 s, is handed to on_api_message or on_api_error by take_reply. False when the connection
	// did not take it; nothing is then pending.
	template <typename Request>
	bool send_awaited(Request request)
	{
		return send(encode(std::move(request)), true);
	}

	// As send_awaited, but whatever answers the request is dropped.
	template <typename Request>
	bool send_unawaited(Request request)
	{
		return send(encode(std::move(request)), false);
	}

	// Hands the awaited reply, once it has arrived, to on_api_error or on_api_message. A failed
	// activity drops it. An exception thrown while reading it becomes this activity's failure
	// (its kova::exception code, KOVA_ERROR_INVALID_VALUE for any other exception).
	void take_reply();

	// The activity's work is complete; its next progress moves the sequence on.
	void set_done() noexcept { m_done = true; }

	[[nodiscard]] utility::async::sequence_callbacks &callbacks() const noexcept { return *m_callbacks; }

private:
	struct reply_slot {
		std::atomic<bool> ready{false};
		kova::optional<companion::api::v1::error_response> error;
		companion::api::message_buffer message;
	};

	template <typename Request>
	companion::api::message_buffer encode(Request request) const
	{
		request.id = m_state->get_next_api_message_seq_num();
		companion::api::message_buffer buffer;
		companion::api::v1::encode_api_message(request, buffer);
		return buffer;
	}

	bool send(companion::api::message_buffer message, bool awaited);

	const char *m_name;
	utility::async::sequence_callbacks *m_callbacks;
	const runtime_state *m_state;
	std::string m_next_activity;
	bool m_failed = false;
	bool m_done = false;
	std::shared_ptr<reply_slot> m_reply;
};

} // namespace kova::bench::step
