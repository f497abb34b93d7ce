// Unit tests of peer set-ups driven as the engine drives them (src/impl/async_poller.cpp): one
// poller for every step's sequence and the companion's request context.
#include "remote_worker/remote_worker_fixture.hpp"

#include "impl/async_poller.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace kova::bench::step::test {
namespace {

using namespace std::chrono_literals;

// Waits for an undo that never comes on its own: ends only when aborted.
class waiting_activity : public utility::async::activity {
public:
	void start() override {}
	void abort() override { m_aborted = true; }
	bool progress(utility::async::sequence_callbacks &) override { return m_aborted; }
	void on_api_error(const v1::error_response &) override {}
	void on_api_message(const api::message_buffer &) override {}

private:
	bool m_aborted = false;
};

// A peer step's set-up: create its worker, then (when `then_wait`) wait on that worker.
std::unique_ptr<sequence> peer_setup(remote_worker_fixture &fixture, uint32_t &worker_id, bool then_wait)
{
	auto seq = std::make_unique<sequence>(30);
	seq->register_activity(create_remote_worker_activity_name,
			       std::make_unique<create_remote_worker_activity<probe_worker_family>>(
				       *seq, fixture.state, worker_id, "probe_worker", probe_worker_command{64, "peer"},
				       then_wait ? "wait_for_peer" : ""));
	if (then_wait)
		seq->register_activity("wait_for_peer", std::make_unique<waiting_activity>());
	seq->start(create_remote_worker_activity_name);
	return seq;
}

// The first worker is made; the pool has no core left for any other.
answer one_core_pool()
{
	return [creates = 0](uint64_t id, api::test::fake_connection &link) mutable {
		if (++creates == 1)
			link.queue(v1::create_worker_response{id, 1, {}});
		else
			link.queue(v1::error_response{id, KOVA_ERROR_NO_MEMORY, "Worker pool is full"});
	};
}

std::vector<std::string> texts(const std::vector<utility::async::error> &errors)
{
	std::vector<std::string> result;
	for (auto const &error : errors)
		result.push_back(error.message);
	return result;
}

TEST(peer_setup, one_failing_set_up_aborts_the_others_and_no_teardown_names_a_destroyed_worker)
{
	remote_worker_fixture fixture;
	fixture.answers[v1::create_worker_request::type_id] = one_core_pool();

	uint32_t first_id = 0;
	uint32_t second_id = 0;
	impl::async_poller poller;
	poller.abort_all_on_failure();
	poller.add(&fixture.context());
	poller.add(peer_setup(fixture, first_id, true));
	poller.add(peer_setup(fixture, second_id, true));

	bool done = false;
	for (int round = 0; round != 20 && !done; ++round)
		done = poller.poll(std::chrono::steady_clock::now());
	ASSERT_TRUE(done);

	auto const errors = texts(poller.get_errors());
	ASSERT_FALSE(errors.empty());
	EXPECT_EQ(errors.front(), "Failed during: create_remote_worker_activity. message: Unexpected API error: "
				  "v1::error_response: {id: 2, message: \"Worker pool is full\"}");
	EXPECT_EQ(errors, (std::vector<std::string>{
				  errors.front(), "Aborted by user",
				  "Failed during: create_remote_worker_activity. message: Aborted"}));
	EXPECT_EQ(first_id, 0U);
	EXPECT_EQ(second_id, 0U);
	EXPECT_EQ(fixture.seen_types(), (std::vector<uint32_t>{16, 16, 22}));

	// A teardown built now asks the companion for no worker by id.
	for (uint32_t *id : {&first_id, &second_id}) {
		sequence teardown{30};
		teardown.register_activity(stop_remote_worker_activity_name,
					   std::make_unique<stop_remote_worker_activity>(teardown, fixture.state, *id, ""));
		teardown.start(stop_remote_worker_activity_name);
		EXPECT_EQ(fixture.run(teardown), utility::async::poll_result::has_result);
	}
	EXPECT_EQ(fixture.seen_types(), (std::vector<uint32_t>{16, 16, 22}));
}

TEST(peer_setup, without_abort_on_failure_the_other_set_up_goes_on)
{
	remote_worker_fixture fixture;
	fixture.answers[v1::create_worker_request::type_id] = one_core_pool();
	uint32_t first_id = 0;
	uint32_t second_id = 0;
	impl::async_poller poller;
	poller.add(&fixture.context());
	poller.add(peer_setup(fixture, first_id, true));
	poller.add(peer_setup(fixture, second_id, true));
	for (int round = 0; round != 5; ++round)
		EXPECT_FALSE(poller.poll(std::chrono::steady_clock::now()));
	EXPECT_EQ(poller.get_errors().size(), 1U);
	EXPECT_EQ(first_id, 1U);
}

TEST(peer_setup, the_pollers_deadline_ends_a_set_up_whose_companion_never_answers)
{
	remote_worker_fixture fixture;
	fixture.answers[v1::create_worker_request::type_id] = silent();
	uint32_t worker_id = 0;
	auto const start = std::chrono::steady_clock::now();
	impl::async_poller poller;
	poller.set_timeout(start + 2s);
	poller.add(&fixture.context());
	poller.add(peer_setup(fixture, worker_id, false));

	EXPECT_FALSE(poller.poll(start + 1s));
	bool done = false;
	// Past the poller's limit, well before the request's own 15 s.
	for (int round = 0; round != 5 && !done; ++round)
		done = poller.poll(start + 3s);
	ASSERT_TRUE(done);
	EXPECT_EQ(texts(poller.get_errors()),
		  (std::vector<std::string>{"Timed out waiting for asynchronous operations", "Aborted by user",
					    "Failed during: create_remote_worker_activity. message: Aborted"}));
	EXPECT_EQ(fixture.seen_types(), (std::vector<uint32_t>{16, 22}));
}

} // namespace
} // namespace kova::bench::step::test
