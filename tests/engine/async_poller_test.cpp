// Unit tests for src/impl/async_poller.cpp
#include "impl/async_poller.hpp"

#include "impl/async_poll_loop.hpp"

#include "companion/api/async_context.hpp"
#include "companion/api/connection.hpp"
#include "companion/api/v1/codecs.hpp"
#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

using kova::bench::impl::async_poller;
using kova::bench::utility::async::activity;
using kova::bench::utility::async::sequence;
using kova::bench::utility::async::sequence_callbacks;
using clock_type = std::chrono::steady_clock;
namespace api = kova::bench::companion::api;

// An in-memory link: records what is sent and hands out queued replies.
class scripted_connection : public api::connection {
public:
	void set_supported_api_versions(std::vector<api::version> versions) override { m_versions = std::move(versions); }
	const std::vector<api::version> &get_supported_api_versions() const override { return m_versions; }
	void disconnect(bool) override {}
	bool send(api::message_buffer &message) override
	{
		sent.push_back(message);
		return true;
	}
	bool receive(api::message_buffer &message) override
	{
		++receives;
		if (replies.empty())
			return false;
		message = std::move(replies.front());
		replies.pop_front();
		return true;
	}

	std::vector<api::message_buffer> sent;
	std::deque<api::message_buffer> replies;
	int receives = 0;

private:
	std::vector<api::version> m_versions;
};

// An activity that reports its fixed outcome on its first poll (or never, for
// "running"), recording its name in a shared list each time it is polled.
class outcome_activity : public activity {
public:
	enum class outcome { running, success, failure, failure_twice };

	outcome_activity(std::string name, outcome result, std::vector<std::string> &visits)
		: m_name{std::move(name)}, m_result{result}, m_visits{visits}
	{
	}

	void start() override {}
	void abort() override { m_aborted = true; }
	bool progress(sequence_callbacks &callbacks) override
	{
		m_visits.push_back(m_name);
		if (m_aborted)
			return true;
		switch (m_result) {
		case outcome::running:
			return false;
		case outcome::success:
			callbacks.notify_sequence_success();
			break;
		case outcome::failure_twice:
			callbacks.notify_sequence_failure(KOVA_ERROR_NOT_FOUND, m_name + " first");
			[[fallthrough]];
		case outcome::failure:
			callbacks.notify_sequence_failure(KOVA_ERROR_IO_FAILED, m_name + " failed");
			break;
		}
		return true;
	}
	void on_api_error(const kova::bench::companion::api::v1::error_response &) override {}
	void on_api_message(const kova::bench::companion::api::message_buffer &) override {}

private:
	std::string m_name;
	outcome m_result;
	std::vector<std::string> &m_visits;
	bool m_aborted = false;
};

using outcome = outcome_activity::outcome;

std::unique_ptr<sequence> started_sequence(const std::string &name, outcome result, std::vector<std::string> &visits)
{
	auto seq = std::make_unique<sequence>(30);
	seq->register_activity(name, std::make_unique<outcome_activity>(name, result, visits));
	seq->start(name);
	return seq;
}

std::vector<std::string> messages(const std::vector<kova::bench::utility::async::error> &errors)
{
	std::vector<std::string> out;
	for (auto const &e : errors)
		out.push_back(e.message);
	return out;
}

} // namespace

TEST(async_poller, empty_poller_is_done_at_once)
{
	async_poller poller;
	EXPECT_TRUE(poller.poll(clock_type::now()));
	EXPECT_TRUE(poller.get_errors().empty());
}

TEST(async_poller, contexts_are_polled_once_per_round_even_without_sequences)
{
	scripted_connection first_link;
	scripted_connection second_link;
	api::async::context first{&first_link};
	api::async::context second{&second_link};
	async_poller poller;
	poller.add(&first);
	poller.add(&second);
	EXPECT_TRUE(poller.poll(clock_type::now()));
	EXPECT_EQ(first_link.receives, 1);
	EXPECT_EQ(second_link.receives, 1);
}

TEST(async_poller, reply_reaches_its_activity_before_the_sequences_are_polled)
{
	// Sends a request when started and finishes once its reply arrived.
	class request_activity : public activity {
	public:
		explicit request_activity(api::async::context &context) : m_context{context} {}
		void start() override
		{
			api::message_buffer request;
			api::v1::encode_api_message(api::v1::start_workers_request{7}, request);
			m_context.send_async(
				request,
				[this](kova::optional<api::v1::error_response> error, const api::message_buffer &reply) {
					m_replied = !error.has_value() && reply.get_message_id() == 7;
				},
				15);
		}
		void abort() override {}
		bool progress(sequence_callbacks &callbacks) override
		{
			if (!m_replied)
				return false;
			callbacks.notify_sequence_success();
			return true;
		}
		void on_api_error(const api::v1::error_response &) override {}
		void on_api_message(const api::message_buffer &) override {}

	private:
		api::async::context &m_context;
		bool m_replied = false;
	};

	scripted_connection link;
	api::async::context context{&link};
	auto seq = std::make_unique<sequence>(30);
	seq->register_activity("request", std::make_unique<request_activity>(context));
	seq->start("request");
	ASSERT_EQ(link.sent.size(), 1u);

	async_poller poller;
	poller.add(&context);
	poller.add(std::move(seq));
	EXPECT_FALSE(poller.poll(clock_type::now()));

	api::message_buffer reply;
	api::v1::encode_api_message(api::v1::start_workers_response{7}, reply);
	link.replies.push_back(reply);
	EXPECT_TRUE(poller.poll(clock_type::now()));
	EXPECT_TRUE(poller.get_errors().empty());
}

TEST(async_poller, visit_order_of_one_round)
{
	// Ending sequences move to the back: [A, B, C, D] with B and D ending is
	// visited A, B, D, C.
	std::vector<std::string> visits;
	async_poller poller;
	poller.add(started_sequence("A", outcome::running, visits));
	poller.add(started_sequence("B", outcome::success, visits));
	poller.add(started_sequence("C", outcome::running, visits));
	poller.add(started_sequence("D", outcome::success, visits));

	EXPECT_FALSE(poller.poll(clock_type::now()));
	EXPECT_EQ(visits, (std::vector<std::string>{"A", "B", "D", "C"}));

	// A and C remain: each is polled once more per round.
	visits.clear();
	EXPECT_FALSE(poller.poll(clock_type::now()));
	EXPECT_EQ(visits.size(), 2u);
	EXPECT_TRUE(poller.get_errors().empty());
}

TEST(async_poller, errors_are_collected_in_visit_order)
{
	std::vector<std::string> visits;
	async_poller poller;
	poller.add(started_sequence("A", outcome::running, visits));
	poller.add(started_sequence("B", outcome::failure, visits));
	poller.add(started_sequence("C", outcome::running, visits));
	poller.add(started_sequence("D", outcome::failure_twice, visits));

	// B and D record their failures in the first round and report it in the second.
	EXPECT_FALSE(poller.poll(clock_type::now()));
	EXPECT_TRUE(poller.get_errors().empty());
	EXPECT_FALSE(poller.poll(clock_type::now()));
	EXPECT_EQ(messages(poller.get_errors()), (std::vector<std::string>{"B failed", "D first", "D failed"}));

	// A failed sequence contributes its errors once.
	EXPECT_FALSE(poller.poll(clock_type::now()));
	EXPECT_EQ(poller.get_errors().size(), 3u);

	poller.clear_errors();
	EXPECT_TRUE(poller.get_errors().empty());
}

TEST(async_poller, successful_sequences_leave_no_error)
{
	std::vector<std::string> visits;
	async_poller poller;
	poller.add(started_sequence("A", outcome::success, visits));
	poller.add(started_sequence("B", outcome::success, visits));
	EXPECT_TRUE(poller.poll(clock_type::now()));
	EXPECT_TRUE(poller.get_errors().empty());
	EXPECT_TRUE(poller.poll(clock_type::now()));
	EXPECT_EQ(visits.size(), 2u);
}

TEST(async_poller, abort_ends_a_never_ending_sequence_once)
{
	std::vector<std::string> visits;
	async_poller poller;
	poller.add(started_sequence("A", outcome::running, visits));
	for (int i = 0; i < 5; ++i)
		EXPECT_FALSE(poller.poll(clock_type::now()));
	poller.abort();
	poller.abort(); // the caller's loop repeats it while its stop flag stays set
	bool done = false;
	for (int i = 0; i < 10 && !done; ++i)
		done = poller.poll(clock_type::now());
	ASSERT_TRUE(done);
	EXPECT_EQ(messages(poller.get_errors()), (std::vector<std::string>{"Aborted by user"}));
	EXPECT_EQ(poller.get_errors()[0].code, KOVA_ERROR_TIME_OUT);
}

TEST(async_poller, abort_and_drain_undoes_the_sequences_already_added)
{
	std::vector<std::string> visits;
	async_poller poller;
	poller.add(started_sequence("A", outcome::running, visits));
	poller.add(started_sequence("B", outcome::running, visits));
	kova::bench::impl::abort_and_drain(poller);
	EXPECT_TRUE(poller.poll(clock_type::now()));
	// Each aborted sequence was polled until its undo ended.
	EXPECT_EQ(visits, (std::vector<std::string>{"A", "B"}));
}

TEST(async_poller, deadline_ends_a_never_ending_sequence)
{
	std::vector<std::string> visits;
	async_poller poller;
	auto const start = clock_type::now();
	poller.set_timeout(start + std::chrono::seconds{600});
	poller.add(started_sequence("A", outcome::running, visits));
	poller.add(started_sequence("B", outcome::running, visits));
	EXPECT_FALSE(poller.poll(start + std::chrono::seconds{599}));

	auto const late = start + std::chrono::seconds{601};
	bool done = false;
	for (int i = 0; i < 10 && !done; ++i)
		done = poller.poll(late);
	ASSERT_TRUE(done);
	auto const errors = poller.get_errors();
	EXPECT_EQ(messages(errors), (std::vector<std::string>{"Timed out waiting for asynchronous operations",
							      "Aborted by user", "Aborted by user"}));
	for (auto const &e : errors)
		EXPECT_EQ(e.code, KOVA_ERROR_TIME_OUT);
}

TEST(async_poller, exception_from_a_sequence_keeps_every_sequence)
{
	// An activity naming an unknown successor makes its sequence's poll throw
	// (on its second poll only; otherwise it keeps waiting).
	class bad_successor : public activity {
	public:
		void start() override {}
		void abort() override {}
		bool progress(sequence_callbacks &callbacks) override
		{
			if (++m_polls != 2)
				return false;
			callbacks.select_next_activity("missing");
			return true;
		}

	private:
		int m_polls = 0;
		void on_api_error(const kova::bench::companion::api::v1::error_response &) override {}
		void on_api_message(const kova::bench::companion::api::message_buffer &) override {}
	};
	std::vector<std::string> visits;
	async_poller poller;
	poller.add(started_sequence("A", outcome::failure, visits));
	auto thrower = std::make_unique<sequence>(30);
	thrower->register_activity("T", std::make_unique<bad_successor>());
	thrower->start("T");
	poller.add(std::move(thrower));

	EXPECT_FALSE(poller.poll(clock_type::now())); // A records its failure, T waits
	EXPECT_THROW(poller.poll(clock_type::now()), kova::exception);
	EXPECT_TRUE(poller.get_errors().empty());
	// The failed sequence is still held and reports its error once in a later round.
	EXPECT_FALSE(poller.poll(clock_type::now()));
	EXPECT_EQ(messages(poller.get_errors()), (std::vector<std::string>{"A failed"}));
}

// The one procedure that runs a batch of set-up or tear-down sequences.
TEST(async_batch, failures_abort_a_set_up_and_are_thrown_after_on_failure)
{
	using kova::bench::impl::async_batch;
	struct batch_case {
		const char *name;
		async_batch::kind purpose;
		std::vector<outcome> outcomes;
		bool abort_requested;
		std::vector<std::string> errors;
	};
	std::vector<batch_case> const cases{
		{"set-up, one fails", async_batch::kind::setup, {outcome::failure, outcome::running}, false,
		 {"S0 failed", "Aborted by user"}},
		{"set-up, all succeed", async_batch::kind::setup, {outcome::success, outcome::success}, false, {}},
		{"set-up, stop requested", async_batch::kind::setup, {outcome::running}, true, {"Aborted by user"}},
		{"tear-down, one fails", async_batch::kind::teardown, {outcome::failure, outcome::success}, false,
		 {"S0 failed"}},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		scripted_connection link;
		api::async::context companion{&link};
		std::vector<std::string> visits;
		int failures_seen = 0;
		async_batch batch;
		batch.purpose = c.purpose;
		batch.companion = &companion;
		batch.should_abort = [&c] { return c.abort_requested; };
		batch.on_failure = [&failures_seen] { ++failures_seen; };
		auto const add = [&](kova::bench::impl::async_poller &poller) {
			for (std::size_t i = 0; i != c.outcomes.size(); ++i)
				poller.add(started_sequence("S" + std::to_string(i), c.outcomes[i], visits));
		};

		EXPECT_EQ(messages(kova::bench::impl::collect_async_batch(batch, add)), c.errors);
		EXPECT_GT(link.receives, 0);
		EXPECT_EQ(failures_seen, 0);

		::testing::internal::CaptureStderr();
		kova::exception const thrown = kova::test::thrown_by([&] {
			kova::bench::impl::run_async_batch(batch, add);
			throw kova::exception{0, "nothing", "", "", 0};
		});
		::testing::internal::GetCapturedStderr();
		EXPECT_EQ(thrown.what(), c.errors.empty() ? std::string{"nothing"} : c.errors.front());
		EXPECT_EQ(failures_seen, c.errors.empty() ? 0 : 1);
	}
}

TEST(async_batch, a_sequence_that_cannot_start_ends_those_already_added_as_the_kind_says)
{
	using kova::bench::impl::async_batch;
	for (auto const purpose : {async_batch::kind::setup, async_batch::kind::teardown}) {
		bool const setup = purpose == async_batch::kind::setup;
		SCOPED_TRACE(setup ? "set-up" : "tear-down");
		std::vector<std::string> visits;
		int failures_seen = 0;
		async_batch batch;
		batch.purpose = purpose;
		batch.on_failure = [&failures_seen] { ++failures_seen; };
		// A set-up still running is aborted; a tear-down runs to its end.
		outcome const first = setup ? outcome::running : outcome::success;
		EXPECT_KOVA_THROW(kova::bench::impl::collect_async_batch(batch,
									 [&](kova::bench::impl::async_poller &poller) {
										 poller.add(started_sequence("A", first, visits));
										 KOVA_THROW(KOVA_ERROR_NO_MEMORY, "no room for B");
									 }),
				  KOVA_ERROR_NO_MEMORY, "no room for B");
		EXPECT_EQ(visits, (std::vector<std::string>{"A"}));
		EXPECT_EQ(failures_seen, 1);
	}
}
