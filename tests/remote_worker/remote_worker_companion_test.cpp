// The remote worker activities against kova_test_companion, polled as the engine polls a
// permutation's set-up and teardown.
#include "remote_worker/remote_worker_fixture.hpp"

#include "companion/api/tcp_connect.hpp"
#include "companion/companion_client.hpp"
#include "impl/async_poll_loop.hpp"
#include "impl/async_poller.hpp"
#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace kova::bench::step::test {
namespace {

using namespace std::chrono_literals;

// The companion's "test_worker": takes any command map and echoes it, with its "worker-id", in
// its reply fields.
struct test_worker_family {
	using command = attribute_map;
	static attribute_map to_map(const command &command) { return command; }
	static constexpr const char *send_failure = "Failed to send create test worker request";
};

// A companion with a pool of the given cores, connected as the benchmark connects to it.
class companion_session {
public:
	explicit companion_session(std::vector<uint16_t> cores)
	{
		state.set_companion_connection(api::connect_via_tcp_as_client("127.0.0.1", m_port, 20));
		auto const reply = api::send_api_message(
			v1::configure_worker_pool_request{state.get_next_api_message_seq_num(), {cores.begin(), cores.end()}},
			*state.get_companion_connection_async(), 15);
		if (reply.error.has_value())
			throw std::runtime_error{"pool not configured: " + reply.error->message};
	}

	// Runs the sequences to their end together, as the engine runs a permutation's set-up or
	// teardown; the errors it collected.
	std::vector<utility::async::error> run(std::vector<std::unique_ptr<sequence>> sequences, bool setup)
	{
		impl::async_batch batch;
		batch.purpose = setup ? impl::async_batch::kind::setup : impl::async_batch::kind::teardown;
		batch.companion = state.get_companion_connection_async();
		// Well below the engine's limit, so that a set-up left waiting fails the test instead of hanging it.
		batch.time_limit = 20s;
		return impl::collect_async_batch(batch, [&sequences](impl::async_poller &poller) {
			for (auto &seq : sequences)
				poller.add(std::move(seq));
		});
	}

	// Says bye; the companion's exit status.
	int close()
	{
		state.set_companion_connection(nullptr);
		return m_companion.wait_exit(20s);
	}

	[[nodiscard]] std::string output() const { return m_companion.out() + m_companion.err(); }

private:
	uint16_t m_port = api::test::unused_port();
	kova::test::companion_process m_companion{KOVA_TEST_COMPANION, kova::test::server_args(m_port)};

public:
	// Declared last: its connection goes before the companion process is ended.
	runtime_state state;
};

TEST(remote_worker_companion, create_stop_terminate_with_the_ids_the_companion_gives)
{
	companion_session session{{0, 1}};
	uint32_t first_id = 0;
	uint32_t second_id = 0;
	std::vector<attribute_map> fields(2);
	std::vector<std::unique_ptr<sequence>> setups;
	for (std::size_t i = 0; i != 2; ++i) {
		uint32_t &id = i == 0 ? first_id : second_id;
		auto seq = std::make_unique<sequence>(30);
		seq->register_activity(create_remote_worker_activity_name,
				       std::make_unique<create_remote_worker_activity<test_worker_family>>(
					       *seq, session.state, id, "test_worker",
					       attribute_map{{"label", "step " + std::to_string(i)}}, "",
					       [&fields, i](const attribute_map &reply) { fields[i] = reply; }));
		seq->start(create_remote_worker_activity_name);
		setups.push_back(std::move(seq));
	}
	EXPECT_TRUE(session.run(std::move(setups), true).empty());

	EXPECT_EQ(first_id, 1U);
	EXPECT_EQ(second_id, 2U);
	EXPECT_EQ(fields[0], (attribute_map{{"label", "step 0"}, {"worker-id", "1"}}));
	EXPECT_EQ(fields[1], (attribute_map{{"label", "step 1"}, {"worker-id", "2"}}));

	// The first step stops its own worker, then both have every worker destroyed.
	std::vector<std::unique_ptr<sequence>> teardowns;
	teardowns.push_back(start_peer_teardown(session.state, first_id));
	auto terminate_only = std::make_unique<sequence>(30);
	terminate_only->register_activity(terminate_remote_worker_activity_name,
					  std::make_unique<terminate_remote_worker_activity>(
						  *terminate_only, session.state, second_id, ""));
	terminate_only->start(terminate_remote_worker_activity_name);
	teardowns.push_back(std::move(terminate_only));
	EXPECT_TRUE(session.run(std::move(teardowns), false).empty());
	EXPECT_EQ(first_id, 0U);
	EXPECT_EQ(second_id, 0U);

	EXPECT_EQ(session.close(), 0) << session.output();
}

TEST(remote_worker_companion, two_set_ups_on_a_one_core_pool_end_at_the_first_failure)
{
	companion_session session{{0}};
	uint32_t first_id = 0;
	uint32_t second_id = 0;
	std::vector<std::unique_ptr<sequence>> setups;
	// Both steps wait on their worker once it exists; only one of them gets one.
	setups.push_back(start_peer_setup<test_worker_family>(session.state, first_id, "test_worker", {}, true));
	setups.push_back(start_peer_setup<test_worker_family>(session.state, second_id, "test_worker", {}, true));
	auto const errors = session.run(std::move(setups), true);

	// Every request was answered: nothing waited for a time-out.
	EXPECT_EQ(texts(errors),
		  (std::vector<std::string>{"Failed during: create_remote_worker_activity. message: Unexpected API error: "
					    "v1::error_response: {id: 3, message: \"Failed to add worker to pool. "
					    "Pool is full\"}",
					    "Aborted by user",
					    "Failed during: create_remote_worker_activity. message: Aborted"}));
	kova::exception const error = kova::test::thrown_by([&] { impl::throw_async_errors(errors); });
	EXPECT_EQ(error.code(), KOVA_ERROR_UNEXPECTED);
	EXPECT_EQ(std::string{error.what()}.rfind("Failed during: create_remote_worker_activity.", 0), 0U);
	EXPECT_EQ(first_id, 0U);
	EXPECT_EQ(second_id, 0U);

	// A teardown now names no destroyed worker: asking for one would be answered with KOVA_ERROR_NOT_FOUND and
	// make the companion end with status 1.
	std::vector<std::unique_ptr<sequence>> teardowns;
	teardowns.push_back(start_peer_teardown(session.state, first_id));
	teardowns.push_back(start_peer_teardown(session.state, second_id));
	EXPECT_TRUE(session.run(std::move(teardowns), false).empty());

	EXPECT_EQ(session.close(), 0) << session.output();
}

} // namespace
} // namespace kova::bench::step::test
