// Unit tests for src/utility/async/sequence.cpp
#include "utility/async/sequence.hpp"

#include "companion/api/message_buffer.hpp"
#include "companion/api/v1/messages.hpp"
#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using kova::bench::utility::async::activity;
using kova::bench::utility::async::poll_result;
using kova::bench::utility::async::sequence;
using kova::bench::utility::async::sequence_callbacks;

// What the scripted activities did, in order: "A:start", "B:abort", ...
using journal = std::vector<std::string>;

// An activity that finishes after a number of polls and then names its
// successor, reports success, or reports a failure; its undo takes one poll.
class scripted_activity : public activity {
public:
	enum class outcome { next, success, failure, never };

	scripted_activity(std::string name, journal &log, outcome result, std::string next = {},
			  int polls_to_finish = 1)
		: m_name{std::move(name)}, m_log{log}, m_result{result}, m_next{std::move(next)},
		  m_polls_to_finish{polls_to_finish}
	{
	}

	bool throw_on_start = false;
	int api_messages = 0;

	void start() override
	{
		m_log.push_back(m_name + ":start");
		if (throw_on_start)
			KOVA_THROW(KOVA_ERROR_NOT_FOUND, m_name + " cannot start");
	}

	void abort() override
	{
		m_log.push_back(m_name + ":abort");
		m_undoing = true;
	}

	bool progress(sequence_callbacks &callbacks) override
	{
		if (m_undoing) {
			m_log.push_back(m_name + ":undone");
			return true;
		}
		if (m_result == outcome::never || ++m_polls < m_polls_to_finish)
			return false;
		switch (m_result) {
		case outcome::next:
			callbacks.select_next_activity(m_next);
			break;
		case outcome::success:
			callbacks.notify_sequence_success();
			break;
		case outcome::failure:
			callbacks.notify_sequence_failure(KOVA_ERROR_IO_FAILED, m_name + " failed");
			break;
		case outcome::never:
			break;
		}
		return true;
	}

	void on_api_error(const kova::bench::companion::api::v1::error_response &) override { ++api_messages; }
	void on_api_message(const kova::bench::companion::api::message_buffer &) override { ++api_messages; }

private:
	std::string m_name;
	journal &m_log;
	outcome m_result;
	std::string m_next;
	int m_polls_to_finish;
	int m_polls = 0;
	bool m_undoing = false;
};

using outcome = scripted_activity::outcome;

// Polls until the sequence leaves in_progress (bounded, so a fault cannot hang the test).
poll_result run_to_end(sequence &seq)
{
	for (int i = 0; i < 100; ++i) {
		poll_result const result = seq.poll();
		if (result != poll_result::in_progress)
			return result;
	}
	ADD_FAILURE() << "sequence did not end";
	return poll_result::in_progress;
}

struct two_step_sequence {
	journal log;
	sequence seq{30};
	scripted_activity *a = nullptr;
	scripted_activity *b = nullptr;

	two_step_sequence(outcome b_outcome, int b_polls = 1)
	{
		auto first = std::make_unique<scripted_activity>("A", log, outcome::next, "B");
		auto second = std::make_unique<scripted_activity>("B", log, b_outcome, "", b_polls);
		a = first.get();
		b = second.get();
		seq.register_activity("A", std::move(first));
		seq.register_activity("B", std::move(second));
	}
};

} // namespace

TEST(async_sequence, empty_sequence_polls_has_result)
{
	sequence seq{30};
	EXPECT_EQ(seq.poll(), poll_result::has_result);
	EXPECT_TRUE(seq.get_errors().empty());
}

TEST(async_sequence, a_then_b_succeeds)
{
	two_step_sequence s{outcome::success, 3};
	s.seq.start("A");
	EXPECT_EQ(s.seq.poll(), poll_result::in_progress); // A hands over to B
	EXPECT_EQ(s.seq.poll(), poll_result::in_progress); // B waits
	EXPECT_EQ(s.seq.poll(), poll_result::in_progress);
	EXPECT_EQ(s.seq.poll(), poll_result::has_result);
	EXPECT_EQ(s.seq.poll(), poll_result::has_result);
	EXPECT_EQ(s.log, (journal{"A:start", "B:start"}));
	EXPECT_TRUE(s.seq.get_errors().empty());
}

TEST(async_sequence, failure_in_b_undoes_a_once)
{
	two_step_sequence s{outcome::failure};
	s.seq.start("A");
	EXPECT_EQ(run_to_end(s.seq), poll_result::has_failed);
	EXPECT_EQ(s.seq.poll(), poll_result::has_failed);
	EXPECT_EQ(s.log, (journal{"A:start", "B:start", "A:abort", "A:undone"}));
	ASSERT_EQ(s.seq.get_errors().size(), 1u);
	EXPECT_EQ(s.seq.get_errors()[0].code, KOVA_ERROR_IO_FAILED);
	EXPECT_EQ(s.seq.get_errors()[0].message, "B failed");
}

TEST(async_sequence, throwing_start_of_b_undoes_a)
{
	two_step_sequence s{outcome::success};
	s.b->throw_on_start = true;
	s.seq.start("A");
	EXPECT_EQ(run_to_end(s.seq), poll_result::has_failed);
	EXPECT_EQ(s.log, (journal{"A:start", "B:start", "A:abort", "A:undone"}));
	ASSERT_EQ(s.seq.get_errors().size(), 1u);
	EXPECT_EQ(s.seq.get_errors()[0].code, KOVA_ERROR_NOT_FOUND);
	EXPECT_EQ(s.seq.get_errors()[0].message, "B cannot start");
}

TEST(async_sequence, abort_while_b_runs_undoes_b_then_a)
{
	two_step_sequence s{outcome::never};
	s.seq.start("A");
	EXPECT_EQ(s.seq.poll(), poll_result::in_progress);
	EXPECT_EQ(s.seq.poll(), poll_result::in_progress);
	s.seq.abort();
	EXPECT_EQ(run_to_end(s.seq), poll_result::has_failed);
	EXPECT_EQ(s.log, (journal{"A:start", "B:start", "B:abort", "B:undone", "A:abort", "A:undone"}));
	ASSERT_EQ(s.seq.get_errors().size(), 1u);
	EXPECT_EQ(s.seq.get_errors()[0].code, KOVA_ERROR_TIME_OUT);
	EXPECT_EQ(s.seq.get_errors()[0].message, "Aborted by user");
}

TEST(async_sequence, abort_during_undo_does_not_repeat_the_undo)
{
	two_step_sequence s{outcome::failure};
	s.seq.start("A");
	EXPECT_EQ(s.seq.poll(), poll_result::in_progress); // A -> B
	EXPECT_EQ(s.seq.poll(), poll_result::in_progress); // B fails, A aborted
	s.seq.abort();
	EXPECT_EQ(run_to_end(s.seq), poll_result::has_failed);
	EXPECT_EQ(s.log, (journal{"A:start", "B:start", "A:abort", "A:undone"}));
	ASSERT_EQ(s.seq.get_errors().size(), 2u);
	EXPECT_EQ(s.seq.get_errors()[0].message, "B failed");
	EXPECT_EQ(s.seq.get_errors()[1].message, "Aborted by user");
}

TEST(async_sequence, abort_before_start_fails_without_undo)
{
	two_step_sequence s{outcome::success};
	s.seq.abort();
	EXPECT_EQ(s.seq.poll(), poll_result::has_failed);
	EXPECT_TRUE(s.log.empty());
}

TEST(async_sequence, activity_that_names_no_successor_ends_the_sequence)
{
	// An activity returning true without any callback: treated as the last one.
	class silent : public activity {
	public:
		void start() override {}
		void abort() override {}
		bool progress(sequence_callbacks &) override { return true; }
		void on_api_error(const kova::bench::companion::api::v1::error_response &) override {}
		void on_api_message(const kova::bench::companion::api::message_buffer &) override {}
	};
	sequence seq{30};
	seq.register_activity("only", std::make_unique<silent>());
	seq.start("only");
	EXPECT_EQ(seq.poll(), poll_result::has_result);
}

TEST(async_sequence, unregistered_names_are_refused)
{
	journal log;
	sequence seq{30};
	seq.register_activity("A", std::make_unique<scripted_activity>("A", log, outcome::next, "missing"));
	EXPECT_KOVA_THROW(seq.start("a"), KOVA_ERROR_INVALID_VALUE,
			  "Unable to start sequence with unregistered activity: \"a\"");
	seq.start("A");
	EXPECT_KOVA_THROW(seq.poll(), KOVA_ERROR_INVALID_VALUE, "Unable to select unregistered activity: \"missing\"");
}

TEST(async_sequence, throwing_first_start_leaves_nothing_started)
{
	journal log;
	sequence seq{30};
	auto first = std::make_unique<scripted_activity>("A", log, outcome::success);
	first->throw_on_start = true;
	seq.register_activity("A", std::move(first));
	EXPECT_THROW(seq.start("A"), kova::exception);
	seq.abort();
	EXPECT_EQ(seq.poll(), poll_result::has_failed);
	EXPECT_EQ(log, (journal{"A:start"}));
}

TEST(async_sequence, replies_reach_only_the_current_activity)
{
	two_step_sequence s{outcome::never};
	kova::bench::companion::api::message_buffer const message;
	kova::bench::companion::api::v1::error_response const error{1, KOVA_ERROR_NOT_FOUND, "no such worker"};
	s.seq.on_api_message(message); // nothing current: ignored
	s.seq.on_api_error(error);
	s.seq.start("A");
	s.seq.on_api_message(message);
	EXPECT_EQ(s.a->api_messages, 1);
	EXPECT_EQ(s.seq.poll(), poll_result::in_progress);
	s.seq.on_api_message(message);
	s.seq.on_api_error(error);
	EXPECT_EQ(s.a->api_messages, 1);
	EXPECT_EQ(s.b->api_messages, 2);
}

TEST(async_sequence, move_keeps_the_running_state)
{
	two_step_sequence s{outcome::success};
	s.seq.start("A");
	sequence moved{std::move(s.seq)};
	EXPECT_EQ(run_to_end(moved), poll_result::has_result);
	EXPECT_EQ(s.log, (journal{"A:start", "B:start"}));

	sequence target{30};
	target = std::move(moved);
	EXPECT_EQ(target.poll(), poll_result::has_result);
}

TEST(async_sequence, poll_result_names)
{
	using kova::bench::utility::to_string;
	EXPECT_STREQ(to_string(poll_result::has_result), "has result");
	EXPECT_STREQ(to_string(poll_result::in_progress), "in progress");
	EXPECT_STREQ(to_string(poll_result::has_failed), "has failed");
	EXPECT_STREQ(to_string(static_cast<poll_result>(3)), "UNKNOWN");
}
