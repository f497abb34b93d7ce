// A scripted companion behind the benchmark's own request context: every request the activities
// send is decoded and recorded, and answered as the test says.
#pragma once

#include "companion/api/async_context.hpp"
#include "companion_api/protocol_test_support.hpp"
#include "runtime_state.hpp"
#include "step/remote_worker_activities.hpp"
#include "utility/async/sequence.hpp"

#include <kova/error.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kova::bench::step::test {

namespace api = companion::api;
namespace v1 = companion::api::v1;
using utility::async::sequence;

// A worker family known only to the tests.
struct probe_worker_command {
	uint32_t buffer_size = 0;
	std::string label;
};

struct probe_worker_family {
	using command = probe_worker_command;
	static worker_attribute_map to_map(const command &command)
	{
		return {{"buffer-size", std::to_string(command.buffer_size)}, {"label", command.label}};
	}
	static constexpr const char *send_failure = "Failed to send create probe worker request";
};

// One request as the companion saw it.
struct seen_request {
	uint32_t type_id = 0;
	uint64_t id = 0;
	uint32_t worker_id = 0; // stop_worker_request
	std::string worker_type;
	worker_attribute_map command;
};

// What the scripted companion does with a request: queue a reply (made from the request's message
// id) or stay silent.
using answer = std::function<void(uint64_t request_id, api::test::fake_connection &link)>;

inline answer silent()
{
	return [](uint64_t, api::test::fake_connection &) {};
}

template <typename Reply>
answer reply_with(Reply reply)
{
	return [reply](uint64_t id, api::test::fake_connection &link) mutable {
		reply.id = id;
		link.queue(reply);
	};
}

inline answer error_reply(std::string text)
{
	return reply_with(v1::error_response{0, KOVA_ERROR_NO_MEMORY, std::move(text)});
}

// Answers: create -> worker 5, stop -> stop_worker_response, destroy -> destroy_workers_response,
// unless the test replaces an answer.
class remote_worker_fixture {
public:
	remote_worker_fixture()
	{
		answers[v1::create_worker_request::type_id] = reply_with(v1::create_worker_response{0, 5, {}});
		answers[v1::stop_worker_request::type_id] = reply_with(v1::stop_worker_response{});
		answers[v1::destroy_workers_request::type_id] = reply_with(v1::destroy_workers_response{});
		auto link = std::make_unique<api::test::fake_connection>(
			[this](const api::message_buffer &sent, api::test::fake_connection &self) { record(sent, self); });
		connection = link.get();
		state.set_companion_connection(std::move(link));
	}

	api::async::context &context() { return *state.get_companion_connection_async(); }

	// One round as the benchmark's poller makes it: the request context, then the sequence.
	utility::async::poll_result poll(sequence &seq,
					 std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now())
	{
		context().poll(now);
		return seq.poll();
	}

	// Rounds until the sequence has ended, at most `rounds`.
	utility::async::poll_result run(sequence &seq, int rounds = 20)
	{
		auto result = utility::async::poll_result::in_progress;
		for (int i = 0; i != rounds && result == utility::async::poll_result::in_progress; ++i)
			result = poll(seq);
		return result;
	}

	[[nodiscard]] std::vector<uint32_t> seen_types() const
	{
		std::vector<uint32_t> types;
		for (auto const &request : seen)
			types.push_back(request.type_id);
		return types;
	}

	runtime_state state;
	api::test::fake_connection *connection = nullptr;
	answer answers[v1::last_type_id + 1];
	std::vector<seen_request> seen;

private:
	void record(const api::message_buffer &sent, api::test::fake_connection &self)
	{
		seen_request request;
		request.type_id = sent.get_message_type_id();
		request.id = sent.get_message_id();
		if (request.type_id == v1::create_worker_request::type_id) {
			auto const decoded = api::test::decoded<v1::create_worker_request>(sent);
			request.worker_type = decoded.worker_type;
			request.command = decoded.command;
		} else if (request.type_id == v1::stop_worker_request::type_id) {
			request.worker_id = api::test::decoded<v1::stop_worker_request>(sent).worker_id;
		}
		seen.push_back(request);
		if (request.type_id <= v1::last_type_id && answers[request.type_id])
			answers[request.type_id](request.id, self);
	}
};

} // namespace kova::bench::step::test
