// Unit tests for src/step/remote_worker_activities.cpp and src/step/step_async_activity.cpp, in a
// real sequence over the benchmark's request context and a scripted companion.
#include "remote_worker/remote_worker_fixture.hpp"

#include "kova_exception.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kova::bench::step::test {
namespace {

using utility::async::poll_result;
using namespace std::chrono_literals;

// A neighbour in a set-up sequence: succeeds, fails or waits; an abort ends it at its next progress.
class scripted_activity : public utility::async::activity {
public:
	enum class outcome { succeed, fail, wait };

	scripted_activity(outcome result, std::string next, int &aborts)
		: m_result{result}, m_next{std::move(next)}, m_aborts{aborts}
	{
	}

	void start() override {}
	void abort() override
	{
		m_aborted = true;
		++m_aborts;
	}
	bool progress(utility::async::sequence_callbacks &callbacks) override
	{
		if (m_aborted)
			return true;
		switch (m_result) {
		case outcome::succeed:
			if (m_next.empty())
				callbacks.notify_sequence_success();
			else
				callbacks.select_next_activity(m_next);
			return true;
		case outcome::fail:
			callbacks.notify_sequence_failure(KOVA_ERROR_IO_FAILED, "scripted failure");
			return true;
		case outcome::wait:
			break;
		}
		return false;
	}
	void on_api_error(const v1::error_response &) override {}
	void on_api_message(const api::message_buffer &) override {}

private:
	outcome m_result;
	std::string m_next;
	int &m_aborts;
	bool m_aborted = false;
};

const probe_worker_command probe_command{4096, "alpha"};

std::unique_ptr<sequence> create_sequence(remote_worker_fixture &fixture, uint32_t &worker_id, std::string next = {},
					  worker_reply_reader read_reply = {})
{
	auto seq = std::make_unique<sequence>(30);
	seq->register_activity(create_remote_worker_activity_name,
			       std::make_unique<create_remote_worker_activity<probe_worker_family>>(
				       *seq, fixture.state, worker_id, "probe_worker", probe_command, std::move(next),
				       std::move(read_reply)));
	return seq;
}

void add_scripted(sequence &seq, const std::string &name, scripted_activity::outcome result, std::string next,
		  int &aborts)
{
	seq.register_activity(name, std::make_unique<scripted_activity>(result, std::move(next), aborts));
}

std::vector<std::string> texts(const sequence &seq)
{
	std::vector<std::string> result;
	for (auto const &error : seq.get_errors())
		result.push_back(error.message);
	return result;
}

TEST(remote_worker_activities, create_stop_terminate_carry_the_companions_worker_id)
{
	remote_worker_fixture fixture;
	uint32_t worker_id = 0;

	auto setup = create_sequence(fixture, worker_id);
	setup->start(create_remote_worker_activity_name);
	EXPECT_EQ(fixture.run(*setup), poll_result::has_result);
	EXPECT_EQ(worker_id, 5U);

	sequence teardown{30};
	teardown.register_activity(stop_remote_worker_activity_name,
				   std::make_unique<stop_remote_worker_activity>(teardown, fixture.state, worker_id,
										 terminate_remote_worker_activity_name));
	teardown.register_activity(terminate_remote_worker_activity_name,
				   std::make_unique<terminate_remote_worker_activity>(teardown, fixture.state,
										      worker_id, ""));
	teardown.start(stop_remote_worker_activity_name);
	EXPECT_EQ(fixture.run(teardown), poll_result::has_result);
	EXPECT_EQ(worker_id, 0U);

	ASSERT_EQ(fixture.seen.size(), 3U);
	EXPECT_EQ(fixture.seen_types(), (std::vector<uint32_t>{16, 20, 22}));
	EXPECT_EQ(fixture.seen[0].worker_type, "probe_worker");
	EXPECT_EQ(fixture.seen[0].command, (worker_attribute_map{{"buffer-size", "4096"}, {"label", "alpha"}}));
	EXPECT_EQ(fixture.seen[1].worker_id, 5U);
	EXPECT_EQ(fixture.seen[0].id, 1U);
	EXPECT_EQ(fixture.seen[1].id, 2U);
	EXPECT_EQ(fixture.seen[2].id, 3U);
}

enum class kind { create, stop, terminate };
enum class reply { expected, other_type, error, none };

struct reply_case {
	const char *label;
	kind activity;
	reply answer;
	const char *failure; // empty for success
	uint32_t worker_id_after;
};

class reply_kinds : public ::testing::TestWithParam<reply_case> {};

// The request type each kind sends, the reply it awaits and a reply of another type.
struct kind_traits {
	uint32_t request;
	answer expected;
	answer other;
	uint32_t worker_id_before;
};

kind_traits traits_of(kind activity)
{
	switch (activity) {
	case kind::create:
		return {v1::create_worker_request::type_id, reply_with(v1::create_worker_response{0, 5, {}}),
			reply_with(v1::stop_worker_response{}), 0};
	case kind::stop:
		return {v1::stop_worker_request::type_id, reply_with(v1::stop_worker_response{}),
			reply_with(v1::destroy_workers_response{}), 5};
	case kind::terminate:
		break;
	}
	return {v1::destroy_workers_request::type_id, reply_with(v1::destroy_workers_response{}),
		reply_with(v1::stop_worker_response{}), 5};
}

TEST_P(reply_kinds, end_the_activity_as_expected)
{
	auto const &param = GetParam();
	remote_worker_fixture fixture;
	auto const traits = traits_of(param.activity);
	uint32_t worker_id = traits.worker_id_before;

	switch (param.answer) {
	case reply::expected:
		fixture.answers[traits.request] = traits.expected;
		break;
	case reply::other_type:
		fixture.answers[traits.request] = traits.other;
		break;
	case reply::error:
		fixture.answers[traits.request] = error_reply("no core left");
		break;
	case reply::none:
		fixture.answers[traits.request] = silent();
		break;
	}

	sequence seq{30};
	const char *name = nullptr;
	switch (param.activity) {
	case kind::create:
		name = create_remote_worker_activity_name;
		seq.register_activity(name, std::make_unique<create_remote_worker_activity<probe_worker_family>>(
						    seq, fixture.state, worker_id, "probe_worker", probe_command, ""));
		break;
	case kind::stop:
		name = stop_remote_worker_activity_name;
		seq.register_activity(name, std::make_unique<stop_remote_worker_activity>(seq, fixture.state,
											  worker_id, ""));
		break;
	case kind::terminate:
		name = terminate_remote_worker_activity_name;
		seq.register_activity(name, std::make_unique<terminate_remote_worker_activity>(seq, fixture.state,
											       worker_id, ""));
		break;
	}
	seq.start(name);

	auto result = fixture.poll(seq);
	if (param.answer == reply::none) {
		EXPECT_EQ(result, poll_result::in_progress);
		EXPECT_EQ(fixture.poll(seq, std::chrono::steady_clock::now() + 14s), poll_result::in_progress);
		result = fixture.poll(seq, std::chrono::steady_clock::now() + 16s);
	}
	if (result == poll_result::in_progress)
		result = fixture.poll(seq);

	EXPECT_EQ(fixture.seen_types(), std::vector<uint32_t>{traits.request});
	if (std::string{param.failure}.empty()) {
		EXPECT_EQ(result, poll_result::has_result);
		EXPECT_TRUE(seq.get_errors().empty());
	} else {
		EXPECT_EQ(result, poll_result::has_failed);
		ASSERT_EQ(seq.get_errors().size(), 1U);
		EXPECT_EQ(seq.get_errors()[0].code, KOVA_ERROR_UNEXPECTED);
		EXPECT_EQ(seq.get_errors()[0].message, param.failure);
	}
	EXPECT_EQ(worker_id, param.worker_id_after);
}

INSTANTIATE_TEST_SUITE_P(
	table, reply_kinds,
	::testing::Values(
		reply_case{"create_expected", kind::create, reply::expected, "", 5},
		reply_case{"create_other_type", kind::create, reply::other_type,
			   "Failed during: create_remote_worker_activity. message: Unexpected API message: version: "
			   "1.24, id: 1, type: 19(stop_worker_response), size: 0",
			   0},
		reply_case{"create_error", kind::create, reply::error,
			   "Failed during: create_remote_worker_activity. message: Unexpected API error: "
			   "v1::error_response: {id: 1, message: \"no core left\"}",
			   0},
		reply_case{"create_none", kind::create, reply::none,
			   "Failed during: create_remote_worker_activity. message: Unexpected API error: "
			   "v1::error_response: {id: 1, message: \"Shutting down\"}",
			   0},
		reply_case{"stop_expected", kind::stop, reply::expected, "", 5},
		reply_case{"stop_other_type", kind::stop, reply::other_type,
			   "Failed during: stop_remote_worker_activity. message: Unexpected API message: version: "
			   "1.24, id: 1, type: 21(destroy_workers_response), size: 0",
			   5},
		reply_case{"stop_error", kind::stop, reply::error,
			   "Failed during: stop_remote_worker_activity. message: Unexpected API error: "
			   "v1::error_response: {id: 1, message: \"no core left\"}",
			   5},
		reply_case{"stop_none", kind::stop, reply::none,
			   "Failed during: stop_remote_worker_activity. message: Unexpected API error: "
			   "v1::error_response: {id: 1, message: \"Shutting down\"}",
			   5},
		reply_case{"terminate_expected", kind::terminate, reply::expected, "", 0},
		reply_case{"terminate_other_type", kind::terminate, reply::other_type,
			   "Failed during: terminate_remote_worker_activity. message: Unexpected API message: "
			   "version: 1.24, id: 1, type: 19(stop_worker_response), size: 0",
			   5},
		// The worker id is kept after an error, so that a retry or an abort still knows it.
		reply_case{"terminate_error", kind::terminate, reply::error,
			   "Failed during: terminate_remote_worker_activity. message: Unexpected API error: "
			   "v1::error_response: {id: 1, message: \"no core left\"}",
			   5},
		reply_case{"terminate_none", kind::terminate, reply::none,
			   "Failed during: terminate_remote_worker_activity. message: Unexpected API error: "
			   "v1::error_response: {id: 1, message: \"Shutting down\"}",
			   5}),
	[](const ::testing::TestParamInfo<reply_case> &info) { return std::string{info.param.label}; });

TEST(remote_worker_activities, worker_id_zero_in_the_reply_fails_the_create)
{
	remote_worker_fixture fixture;
	fixture.answers[v1::create_worker_request::type_id] = reply_with(v1::create_worker_response{0, 0, {}});
	uint32_t worker_id = 0;
	auto seq = create_sequence(fixture, worker_id, "never_reached");
	seq->start(create_remote_worker_activity_name);

	EXPECT_EQ(fixture.run(*seq, 2), poll_result::has_failed);
	ASSERT_EQ(seq->get_errors().size(), 1U);
	EXPECT_EQ(seq->get_errors()[0].code, KOVA_ERROR_UNEXPECTED);
	EXPECT_EQ(seq->get_errors()[0].message,
		  "Failed during: create_remote_worker_activity. message: Invalid worker id 0 in version: 1.24, id: "
		  "1, type: 15(create_worker_response), size: 12");
	EXPECT_EQ(worker_id, 0U);
	// Id 0 names no worker: nothing to destroy.
	EXPECT_EQ(fixture.seen_types(), std::vector<uint32_t>{16});
}

TEST(remote_worker_activities, a_refused_request_throws_with_the_activitys_wording)
{
	struct refusal {
		const char *name;
		const char *text;
	};
	for (auto const &expected :
	     {refusal{create_remote_worker_activity_name, "Failed to send create probe worker request"},
	      refusal{stop_remote_worker_activity_name, "Failed to terminate remote workers"},
	      refusal{terminate_remote_worker_activity_name, "Failed to terminate remote workers"}}) {
		SCOPED_TRACE(expected.name);
		remote_worker_fixture fixture;
		fixture.connection->accept_sends = false;
		uint32_t worker_id = 0;
		sequence seq{30};
		seq.register_activity(create_remote_worker_activity_name,
				      std::make_unique<create_remote_worker_activity<probe_worker_family>>(
					      seq, fixture.state, worker_id, "probe_worker", probe_command, ""));
		seq.register_activity(stop_remote_worker_activity_name,
				      std::make_unique<stop_remote_worker_activity>(seq, fixture.state, 5, ""));
		seq.register_activity(terminate_remote_worker_activity_name,
				      std::make_unique<terminate_remote_worker_activity>(seq, fixture.state, worker_id,
											 ""));
		try {
			seq.start(expected.name);
			ADD_FAILURE() << "start did not throw";
		} catch (const kova::exception &error) {
			EXPECT_EQ(error.code(), KOVA_ERROR_UNEXPECTED);
			EXPECT_STREQ(error.what(), expected.text);
		}
		EXPECT_TRUE(fixture.connection->sent.empty());
	}
}

TEST(remote_worker_activities, stop_without_a_worker_sends_nothing)
{
	remote_worker_fixture fixture;
	sequence seq{30};
	seq.register_activity(stop_remote_worker_activity_name,
			      std::make_unique<stop_remote_worker_activity>(seq, fixture.state, 0, ""));
	seq.start(stop_remote_worker_activity_name);
	EXPECT_EQ(seq.poll(), poll_result::has_result);
	EXPECT_TRUE(fixture.seen.empty());
}

TEST(remote_worker_activities, a_failing_third_activity_aborts_the_create_which_destroys_once)
{
	remote_worker_fixture fixture;
	uint32_t worker_id = 0;
	int aborts = 0;
	auto seq = create_sequence(fixture, worker_id, "second");
	add_scripted(*seq, "second", scripted_activity::outcome::succeed, "third", aborts);
	add_scripted(*seq, "third", scripted_activity::outcome::fail, "", aborts);
	seq->start(create_remote_worker_activity_name);

	EXPECT_EQ(fixture.run(*seq), poll_result::has_failed);
	EXPECT_EQ(aborts, 1);
	ASSERT_EQ(seq->get_errors().size(), 2U);
	EXPECT_EQ(seq->get_errors()[0].code, KOVA_ERROR_IO_FAILED);
	EXPECT_EQ(seq->get_errors()[1].code, KOVA_ERROR_SHUTDOWN);
	EXPECT_EQ(seq->get_errors()[1].message, "Failed during: create_remote_worker_activity. message: Aborted");
	EXPECT_EQ(worker_id, 0U);

	// The destroy reply comes and goes unheeded.
	for (int i = 0; i != 3; ++i)
		fixture.poll(*seq);
	EXPECT_EQ(fixture.seen_types(), (std::vector<uint32_t>{16, 22}));
	EXPECT_EQ(seq->get_errors().size(), 2U);
}

TEST(remote_worker_activities, an_abort_whose_destroy_is_refused_records_it_and_returns)
{
	remote_worker_fixture fixture;
	uint32_t worker_id = 0;
	int aborts = 0;
	auto seq = create_sequence(fixture, worker_id, "second");
	add_scripted(*seq, "second", scripted_activity::outcome::wait, "", aborts);
	seq->start(create_remote_worker_activity_name);
	fixture.run(*seq, 3);
	ASSERT_EQ(worker_id, 5U);

	fixture.connection->accept_sends = false;
	EXPECT_NO_THROW(seq->abort());
	EXPECT_EQ(fixture.run(*seq), poll_result::has_failed);
	EXPECT_EQ(texts(*seq), (std::vector<std::string>{"Aborted by user",
							  "Failed during: create_remote_worker_activity. message: Aborted",
							  "Failed to terminate remote workers"}));
	EXPECT_EQ(seq->get_errors()[2].code, KOVA_ERROR_UNEXPECTED);
	// The worker was not destroyed, so the step still knows it.
	EXPECT_EQ(worker_id, 5U);
}

TEST(remote_worker_activities, an_aborted_create_ignores_its_late_reply)
{
	remote_worker_fixture fixture;
	fixture.answers[v1::create_worker_request::type_id] = silent();
	uint32_t worker_id = 0;
	auto seq = create_sequence(fixture, worker_id);
	seq->start(create_remote_worker_activity_name);
	EXPECT_EQ(fixture.poll(*seq), poll_result::in_progress);

	seq->abort();
	fixture.connection->queue(v1::create_worker_response{1, 9, {}});
	EXPECT_EQ(fixture.run(*seq), poll_result::has_failed);
	EXPECT_EQ(worker_id, 0U);
	EXPECT_EQ(fixture.seen_types(), (std::vector<uint32_t>{16, 22}));
}

// Under AddressSanitizer a reply or expiry reaching the destroyed activity would be reported.
TEST(remote_worker_activities, a_sequence_destroyed_with_a_reply_pending_is_not_reached)
{
	for (bool const expire : {false, true}) {
		SCOPED_TRACE(expire ? "expiry" : "reply");
		remote_worker_fixture fixture;
		fixture.answers[v1::create_worker_request::type_id] = silent();
		uint32_t worker_id = 0;
		auto seq = create_sequence(fixture, worker_id);
		seq->start(create_remote_worker_activity_name);
		fixture.poll(*seq);
		seq.reset();

		if (!expire)
			fixture.connection->queue(v1::create_worker_response{1, 9, {}});
		fixture.context().poll(std::chrono::steady_clock::now() + (expire ? 16s : 0s));
		EXPECT_EQ(worker_id, 0U);
	}
}

TEST(remote_worker_activities, the_reply_reader_sees_the_fields_and_its_failure_destroys_the_worker)
{
	remote_worker_fixture fixture;
	fixture.answers[v1::create_worker_request::type_id] =
		reply_with(v1::create_worker_response{0, 5, {{"connection-string", "xyz"}}});

	worker_attribute_map read;
	uint32_t worker_id = 0;
	auto good = create_sequence(fixture, worker_id, "", [&read](const worker_attribute_map &fields) { read = fields; });
	good->start(create_remote_worker_activity_name);
	EXPECT_EQ(fixture.run(*good), poll_result::has_result);
	EXPECT_EQ(read, (worker_attribute_map{{"connection-string", "xyz"}}));
	EXPECT_EQ(worker_id, 5U);

	struct failing_reader {
		const char *label;
		worker_reply_reader reader;
		kova_error code;
		const char *text;
	};
	for (auto const &failing : {
		     failing_reader{"kova::exception",
				    [](const worker_attribute_map &) {
					    KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "[BUG] invalid probe reply");
				    },
				    KOVA_ERROR_INVALID_VALUE,
				    "Failed during: create_remote_worker_activity. message: [BUG] invalid probe reply"},
		     failing_reader{"std::exception", [](const worker_attribute_map &) { static_cast<void>(std::stoul("x")); },
				    KOVA_ERROR_INVALID_VALUE, "Failed during: create_remote_worker_activity. message: stoul"},
	     }) {
		SCOPED_TRACE(failing.label);
		fixture.seen.clear();
		worker_id = 0;
		auto seq = create_sequence(fixture, worker_id, "", failing.reader);
		seq->start(create_remote_worker_activity_name);
		EXPECT_EQ(fixture.run(*seq), poll_result::has_failed);
		ASSERT_EQ(seq->get_errors().size(), 1U);
		EXPECT_EQ(seq->get_errors()[0].code, failing.code);
		EXPECT_EQ(seq->get_errors()[0].message, failing.text);
		EXPECT_EQ(worker_id, 0U);
		EXPECT_EQ(fixture.seen_types(), (std::vector<uint32_t>{16, 22}));
	}
}

TEST(remote_worker_activities, a_malformed_create_reply_fails_with_code_6_and_destroys)
{
	remote_worker_fixture fixture;
	fixture.answers[v1::create_worker_request::type_id] = [](uint64_t id, api::test::fake_connection &link) {
		link.queue_raw(api::message_buffer{v1::api_version, v1::create_worker_response::type_id, id});
	};
	uint32_t worker_id = 0;
	auto seq = create_sequence(fixture, worker_id);
	seq->start(create_remote_worker_activity_name);
	EXPECT_EQ(fixture.run(*seq), poll_result::has_failed);
	ASSERT_EQ(seq->get_errors().size(), 1U);
	EXPECT_EQ(seq->get_errors()[0].code, KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(seq->get_errors()[0].message.rfind("Failed during: create_remote_worker_activity. message: ", 0), 0U);
	EXPECT_EQ(fixture.seen_types(), (std::vector<uint32_t>{16, 22}));
}

// The request context may be polled by another thread than the one polling the sequence.
TEST(remote_worker_activities, a_reply_taken_by_another_thread_reaches_the_activity)
{
	remote_worker_fixture fixture;
	uint32_t worker_id = 0;
	auto seq = create_sequence(fixture, worker_id);
	seq->start(create_remote_worker_activity_name);
	std::thread other{[&fixture] { fixture.context().poll(std::chrono::steady_clock::now()); }};
	other.join();
	EXPECT_EQ(seq->poll(), poll_result::has_result);
	EXPECT_EQ(worker_id, 5U);
}

} // namespace
} // namespace kova::bench::step::test
