// Requests awaiting replies on one connection. A poll receives at most one
// message, answers the peer's keep-alive, hands a reply to the request with the
// same message id and expires overdue requests.
//
// A request that expires, or that could not be sent within its time-out, leaves
// the link dead: the connection is closed without a bye, and every request
// pending or sent later fails at the next poll with that first failure's code
// and text, without waiting.
//
// The context may be shared by several threads: sending, polling and the
// connection's I/O are serialised by a mutex. Callbacks run on the polling
// thread without that mutex held; each is called exactly once, and the request
// is removed from the table before its callback runs.
#pragma once

#include "companion/api/connection.hpp"
#include "companion/api/generic_response.hpp"
#include "companion/api/message_buffer.hpp"
#include "companion/api/v1/messages.hpp"
#include "kova_optional.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kova::bench::companion::api {
namespace async {

// Called with the peer's error (or, on expiry, {id, 9, "Shutting down"} and an
// empty message), or with no error and the reply as received.
using reply_callback = std::function<void(kova::optional<v1::error_response> error, const message_buffer &reply)>;

struct pending_request {
	uint64_t id;
	reply_callback callback;
	std::chrono::steady_clock::time_point deadline;
};

class context {
public:
	// The connection is not owned and must outlive the context; with none,
	// every request expires at the next poll with KOVA_ERROR_BAD_STATE.
	explicit context(connection *link);
	context(const context &) = delete;
	context &operator=(const context &) = delete;
	// Drops the pending requests without calling them back.
	~context() = default;

	// Sends the encoded request and records it with a deadline of now plus the
	// time-out. False when the connection could not take the message now. On a
	// dead link nothing is sent and the request fails at the next poll.
	bool send_async(message_buffer &message, reply_callback callback, int64_t timeout_s);

	// Declares the link dead with this failure, unless it already is (see above).
	void fail_link(kova_error code, const std::string &text);

	// The failure that left the link dead; empty while it lives.
	[[nodiscard]] kova::optional<v1::error_response> link_failure() const;

	// True when a message other than a keep-alive request was received. An
	// exception thrown by a callback propagates after every due callback ran.
	bool poll(const std::chrono::steady_clock::time_point &now);

private:
	mutable std::mutex m_mutex;
	std::vector<pending_request> m_pending;
	void fail_link_locked(kova_error code, const std::string &text);

	connection *m_connection;
	message_buffer m_receive_buffer;
	kova::optional<v1::error_response> m_link_failure;
};

} // namespace async

// Sends the request through the context and waits for its reply or its expiry,
// one time-out after the send; a send that does not succeed within the time-out
// gives {id, 9, "Timed out waiting to send message"} and leaves the link dead. On
// a dead link the reply is the link's first failure at once. A reply of another type
// than the response or error_response throws KOVA_ERROR_INVALID_VALUE. Instantiated for the
// benchmark's own requests.
template <typename Req>
generic_response<typename Req::response_type> send_api_message(Req request, async::context &context,
								int64_t timeout_s);

} // namespace kova::bench::companion::api
