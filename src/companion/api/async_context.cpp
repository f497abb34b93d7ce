// Matching replies to pending requests on one connection.
#include "companion/api/async_context.hpp"

#include "companion/api/v1/codecs.hpp"
#include "kova_exception.hpp"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iterator>
#include <utility>

namespace kova::bench::companion::api::async {
namespace {

struct due_call {
	pending_request request;
	kova::optional<v1::error_response> error;
	const message_buffer *reply;
};

void print_ignored()
{
	std::printf("[companion comms async] Ignoring message received with no registered recipient.\n");
}

// Moves the requests that satisfy the predicate out of the table.
template <typename Predicate>
std::vector<pending_request> take_if(std::vector<pending_request> &pending, Predicate predicate)
{
	auto const first = std::partition(pending.begin(), pending.end(), [&](const auto &r) { return !predicate(r); });
	std::vector<pending_request> taken(std::make_move_iterator(first), std::make_move_iterator(pending.end()));
	pending.erase(first, pending.end());
	return taken;
}

} // namespace

context::context(connection *link) : m_connection{link} {}

bool context::send_async(message_buffer &message, reply_callback callback, int64_t timeout_s)
{
	std::lock_guard const lock{m_mutex};
	if (m_link_failure.has_value()) {
		m_pending.push_back({message.get_message_id(), std::move(callback), std::chrono::steady_clock::now()});
		return true;
	}
	if (m_connection != nullptr && !m_connection->send(message))
		return false;
	m_pending.push_back({message.get_message_id(), std::move(callback),
			     std::chrono::steady_clock::now() + std::chrono::seconds{timeout_s}});
	return true;
}

void context::fail_link(kova_error code, const std::string &text)
{
	std::lock_guard const lock{m_mutex};
	fail_link_locked(code, text);
}

void context::fail_link_locked(kova_error code, const std::string &text)
{
	if (m_link_failure.has_value())
		return;
	m_link_failure = v1::error_response{0, code, text};
	// The peer's replies can no longer be told apart from those to the requests it dropped.
	if (m_connection != nullptr)
		m_connection->disconnect(false);
}

kova::optional<v1::error_response> context::link_failure() const
{
	std::lock_guard const lock{m_mutex};
	return m_link_failure;
}

bool context::poll(const std::chrono::steady_clock::time_point &now)
{
	bool received = false;
	message_buffer reply;
	message_buffer const no_reply;
	std::vector<due_call> calls;
	{
		std::lock_guard const lock{m_mutex};
		if (m_connection == nullptr || m_link_failure.has_value()) {
			for (auto &request : m_pending) {
				v1::error_response error{request.id, KOVA_ERROR_BAD_STATE, "No connection to the companion"};
				if (m_link_failure.has_value())
					error = v1::error_response{request.id, m_link_failure->error_code, m_link_failure->message};
				calls.push_back({std::move(request), std::move(error), &no_reply});
			}
			m_pending.clear();
		} else {
			received = m_connection->receive(m_receive_buffer);
			if (received && v1::is_a<v1::keep_alive_request>(m_receive_buffer)) {
				v1::encode_api_message(v1::keep_alive_response{m_receive_buffer.get_message_id()},
						       m_receive_buffer);
				m_connection->send(m_receive_buffer);
				return false;
			}
			if (received) {
				uint64_t const id = m_receive_buffer.get_message_id();
				auto const matches = std::count_if(m_pending.begin(), m_pending.end(),
								   [id](const auto &r) { return r.id == id; });
				if (matches == 1) {
					reply = std::move(m_receive_buffer);
					auto taken = take_if(m_pending, [id](const auto &r) { return r.id == id; });
					kova::optional<v1::error_response> error;
					if (v1::is_a<v1::error_response>(reply)) {
						try {
							v1::decode_api_message(reply, error.emplace());
						} catch (const kova::exception &e) {
							error = v1::error_response{id, e.code(), e.what()};
						}
					}
					calls.push_back({std::move(taken.front()), std::move(error), &reply});
				} else {
					print_ignored();
				}
			}
			auto expired = take_if(m_pending, [&](const auto &r) { return r.deadline <= now; });
			if (!expired.empty()) {
				fail_link_locked(KOVA_ERROR_TIME_OUT, "Shutting down");
				// The rest wait on the same dead link.
				auto rest = std::move(m_pending);
				m_pending.clear();
				expired.insert(expired.end(), std::make_move_iterator(rest.begin()),
					       std::make_move_iterator(rest.end()));
			}
			for (auto &request : expired) {
				v1::error_response error{request.id, m_link_failure->error_code, m_link_failure->message};
				calls.push_back({std::move(request), std::move(error), &no_reply});
			}
		}
	}

	std::exception_ptr first_failure;
	for (auto &call : calls) {
		try {
			call.request.callback(std::move(call.error), *call.reply);
		} catch (...) {
			if (!first_failure)
				first_failure = std::current_exception();
		}
	}
	if (first_failure)
		std::rethrow_exception(first_failure);
	return received;
}

} // namespace kova::bench::companion::api::async
