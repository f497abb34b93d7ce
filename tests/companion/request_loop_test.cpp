// Tests of the companion's request loop, driving kova_test_companion through a scripted client.
#include "companion/companion_client.hpp"
#include "companion_api/protocol_test_support.hpp"

#include <gtest/gtest.h>

#include <kova/error.h>

#include <set>
#include <thread>

namespace {

namespace api = kova::bench::companion::api;
namespace v1 = kova::bench::companion::api::v1;
using kova::test::companion_process;
using kova::test::scripted_client;
using namespace std::chrono_literals;

constexpr auto exit_limit = std::chrono::seconds{20};

struct session {
	uint16_t port = api::test::unused_port();
	companion_process companion{KOVA_TEST_COMPANION, kova::test::server_args(port)};
	scripted_client client{port};
};

v1::string_map command(std::initializer_list<std::pair<const std::string, std::string>> entries)
{
	return v1::string_map{entries};
}

TEST(request_loop, serves_a_benchmark_session_and_exits_1_after_a_failed_request)
{
	session s;
	EXPECT_EQ(s.client.hello(), (std::vector<api::version>{{1, 24}}));

	s.client.request<v1::configure_worker_pool_response>(v1::configure_worker_pool_request{2, {4, 5}});

	auto const blank = s.client.request<v1::create_remote_mmaps_response>(
		v1::create_uninitialized_remote_mmaps_request{3, 2, 4096});
	EXPECT_EQ(blank.id, 3u);
	ASSERT_EQ(blank.exported_mmaps.size(), 2u);
	EXPECT_NE(blank.exported_mmaps[0], blank.exported_mmaps[1]);
	auto const filled = s.client.request<v1::create_remote_mmaps_response>(
		v1::create_remote_mmaps_with_data_request{4, {{'a', 'b', 'c'}, {'x'}}});
	EXPECT_EQ(filled.exported_mmaps.size(), 2u);
	s.client.request<v1::destroy_remote_mmaps_response>(v1::destroy_remote_mmaps_request{5});

	auto const environment =
		s.client.request<v1::get_environment_information_response>(v1::get_environment_information_request{6});
	ASSERT_FALSE(environment.information.empty());
	for (auto const &[key, value] : environment.information)
		EXPECT_EQ(key.rfind("host.", 0), 0u) << key;

	// An unknown type uses up id 1; the companion goes on and the next worker is 2.
	auto const unknown = s.client.refused(v1::create_worker_request{7, "rdma_recv_typo", {}});
	EXPECT_EQ(unknown.id, 7u);
	EXPECT_EQ(unknown.error_code, KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(unknown.message, "Unknown worker type: \"rdma_recv_typo\"");

	auto const created = s.client.request<v1::create_worker_response>(
		v1::create_worker_request{8, "test_worker", command({{"buffer-size", "4096"}, {"name", "\x01\xff"}})});
	EXPECT_EQ(created.worker_id, 2u);
	EXPECT_EQ(created.fields.at("buffer-size"), "4096");
	EXPECT_EQ(created.fields.at("name"), "\x01\xff");
	EXPECT_EQ(created.fields.at("worker-id"), "2");

	s.client.request<v1::start_workers_response>(v1::start_workers_request{9});
	s.client.request<v1::start_workers_response>(v1::start_workers_request{10});
	s.client.request<v1::stop_worker_response>(v1::stop_worker_request{11, 2});
	s.client.request<v1::stop_worker_response>(v1::stop_worker_request{12, 0});
	s.client.request<v1::destroy_workers_response>(v1::destroy_workers_request{13});
	s.client.request<v1::bye_response>(v1::bye_request{14});

	EXPECT_TRUE(s.client.closed_within(5s));
	EXPECT_EQ(s.companion.wait_exit(exit_limit), 1);
	std::string const out = s.companion.out();
	for (const char *line : {"Running as TCP server\n", "[pool::pool] created with core set: ",
				 "Creating 2 mmaps of 4096 bytes each.\n", "Creating 2 mmaps.\n", "Destroying mmaps\n",
				 "kova bench disconnected!\n", "Unknown worker type: \"rdma_recv_typo\""})
		EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
}

TEST(request_loop, a_session_without_failures_exits_0)
{
	session s;
	s.client.hello();
	s.client.request<v1::configure_worker_pool_response>(v1::configure_worker_pool_request{2, {1}});
	s.client.request<v1::configure_worker_pool_response>(v1::configure_worker_pool_request{3, {1, 2, 3}});
	s.client.request<v1::bye_response>(v1::bye_request{4});
	EXPECT_EQ(s.companion.wait_exit(exit_limit), 0) << s.companion.err();
}

TEST(request_loop, answers_every_abuse_with_an_error_and_keeps_serving)
{
	session s;
	s.client.hello();
	struct abuse_case {
		const char *name;
		std::function<void()> send;
		kova_error code;
		std::string message;
	};
	auto &client = s.client;
	std::vector<char> truncated = api::test::encoded(v1::create_uninitialized_remote_mmaps_request{40, 1, 1})
					     .get_content();
	truncated.resize(truncated.size() - 4);
	uint32_t const be_length = htonl(static_cast<uint32_t>(truncated.size()));
	std::memcpy(truncated.data() + 20, &be_length, sizeof(be_length));

	std::vector<abuse_case> const cases{
		{"version 2.0", [&] { client.send(v1::hello_request{21, {{1, 24}}}, {2, 0}); }, KOVA_ERROR_NOT_SUPPORTED,
		 "Unsupported request: {type:3, id: 21} using api version: 2.0"},
		{"version 1.25", [&] { client.send(v1::configure_worker_pool_request{22, {1}}, {1, 25}); },
		 KOVA_ERROR_NOT_SUPPORTED, "Unsupported API or message version."},
		{"version 1.0", [&] { client.send(v1::start_workers_request{23}, {1, 0}); }, KOVA_ERROR_NOT_SUPPORTED,
		 "Unsupported API or message version."},
		{"unknown type", [&] { client.send_raw(api::test::header(1, 24, 99, 24, 24)); }, KOVA_ERROR_NOT_SUPPORTED,
		 "Unsupported message received"},
		{"start before a pool", [&] { client.send(v1::start_workers_request{25}); }, KOVA_ERROR_BAD_STATE,
		 "Unable to start workers. Pool has not be initialized"},
		{"stop before a pool", [&] { client.send(v1::stop_worker_request{26, 0}); }, KOVA_ERROR_BAD_STATE,
		 "Unable to stop worker. Pool has not be initialized"},
		{"destroy before a pool", [&] { client.send(v1::destroy_workers_request{27}); }, KOVA_ERROR_BAD_STATE,
		 "Unable to destroy workers. Pool has not be initialized"},
		{"worker before a pool", [&] { client.send(v1::create_worker_request{28, "test_worker", {}}); },
		 KOVA_ERROR_BAD_STATE, "Unable to add worker. Pool has not be initialized"},
		{"largest regions",
		 [&] { client.send(v1::create_uninitialized_remote_mmaps_request{29, 4294967295u, 4294967295u}); },
		 KOVA_ERROR_NO_MEMORY, ""},
		{"regions of 0 bytes", [&] { client.send(v1::create_uninitialized_remote_mmaps_request{30, 2, 0}); },
		 KOVA_ERROR_INVALID_VALUE, "Unable to create memory regions of 0 bytes"},
		{"truncated body", [&] { client.send_raw(truncated); }, KOVA_ERROR_INVALID_VALUE, ""},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		c.send();
		auto const error = scripted_client::as_error(client.receive());
		EXPECT_EQ(error.error_code, c.code);
		if (!c.message.empty()) {
			EXPECT_EQ(error.message, c.message);
		}
	}

	// The pool and the workers: refusals by the factories, the pool and the workers' threads.
	client.request<v1::configure_worker_pool_response>(v1::configure_worker_pool_request{50, {6, 7}});
	struct worker_case {
		const char *type;
		v1::string_map attributes;
		kova_error code;
		std::string message;
	};
	for (auto const &c : std::vector<worker_case>{
		     {"test_worker", command({{"count", "4294967296"}}), KOVA_ERROR_INVALID_VALUE,
		      "[BUG] invalid create_test_worker_command - count is not a number"},
		     {"test_std_exception", {}, KOVA_ERROR_INVALID_VALUE, "stoul"},
		     {"test_bad_alloc", {}, KOVA_ERROR_NO_MEMORY, "Out of memory"},
		     {"test_nothing", {}, KOVA_ERROR_NO_MEMORY, "Failed to create worker"},
		     {"test_worker", command({{"fail", "async-init"}}), KOVA_ERROR_NO_MEMORY, "test worker set-up failed"},
	     }) {
		SCOPED_TRACE(c.message);
		auto const error = client.refused(v1::create_worker_request{51, c.type, c.attributes});
		EXPECT_EQ(error.error_code, c.code);
		EXPECT_EQ(error.message, c.message);
	}
	// Ids 1 to 5 went to the refused requests.
	auto const first = client.request<v1::create_worker_response>(
		v1::create_worker_request{52, "test_worker", command({{"fail", "thread"}})});
	EXPECT_EQ(first.worker_id, 6u);
	client.request<v1::create_worker_response>(v1::create_worker_request{53, "test_worker", {}});
	auto const full = client.refused(v1::create_worker_request{54, "test_worker", {}});
	EXPECT_EQ(full.error_code, KOVA_ERROR_NO_MEMORY);
	EXPECT_EQ(full.message, "Failed to add worker to pool. Pool is full");
	auto const busy = client.refused(v1::configure_worker_pool_request{55, {1}});
	EXPECT_EQ(busy.error_code, KOVA_ERROR_IN_USE);
	EXPECT_EQ(busy.message, "Cannot configure worker pool. 2 workers are running.");
	auto const unknown_id = client.refused(v1::stop_worker_request{56, 77});
	EXPECT_EQ(unknown_id.error_code, KOVA_ERROR_NOT_FOUND);
	EXPECT_EQ(unknown_id.message, "No worker with the given id exists");

	// The worker whose thread fails: its stop reports it, once; the core was 7 (the last one).
	client.request<v1::start_workers_response>(v1::start_workers_request{57});
	std::this_thread::sleep_for(100ms);
	auto const failed = client.refused(v1::stop_worker_request{58, 6});
	EXPECT_EQ(failed.error_code, KOVA_ERROR_IO_FAILED);
	EXPECT_EQ(failed.message, "Worker 6 (test_worker, core 7) failed: test worker lost its peer");
	client.request<v1::stop_worker_response>(v1::stop_worker_request{59, 6});
	client.request<v1::destroy_workers_response>(v1::destroy_workers_request{60});
	client.request<v1::configure_worker_pool_response>(v1::configure_worker_pool_request{61, {1}});

	client.request<v1::bye_response>(v1::bye_request{62});
	EXPECT_EQ(s.companion.wait_exit(exit_limit), 1);
	EXPECT_NE(s.companion.out().find("[worker id: 6, type: test_worker, core: 7] Caught kova::exception."),
		  std::string::npos);
}

TEST(request_loop, a_broken_or_vanished_benchmark_ends_the_companion_with_1)
{
	struct end_case {
		const char *name;
		std::function<void(scripted_client &)> act;
		const char *stderr_text;
	};
	for (auto const &c : std::vector<end_case>{
		     {"frame of 2^32-1 bytes", [](scripted_client &client) {
			      client.send_raw(api::test::header(1, 24, v1::bye_request::type_id, 9, 4294967295u));
		      }, "Refusing message of 4294967295 bytes"},
		     {"closed without bye", [](scripted_client &client) { client.close(); }, "benchmark disconnected"},
		     {"keep-alives unanswered", [](scripted_client &client) { client.set_answer_keep_alives(false); },
		      "Terminating companion as the benchmark appears to have gone away"},
	     }) {
		SCOPED_TRACE(c.name);
		session s;
		s.client.hello();
		c.act(s.client);
		if (std::string{c.name} == "keep-alives unanswered") {
			EXPECT_THROW(s.client.receive(), std::exception);
			EXPECT_GE(s.client.keep_alives_seen(), 3);
		}
		EXPECT_EQ(s.companion.wait_exit(exit_limit), 1);
		EXPECT_NE(s.companion.err().find(c.stderr_text), std::string::npos) << s.companion.err();
	}
}

TEST(request_loop, keep_alives_go_only_to_a_benchmark_that_knows_them)
{
	session s;
	s.client.hello({{1, 23}});
	std::this_thread::sleep_for(4s);
	// Silent for longer than three keep-alive periods, yet still served.
	s.client.request<v1::configure_worker_pool_response>(v1::configure_worker_pool_request{2, {1}});
	EXPECT_EQ(s.client.keep_alives_seen(), 0);
	// A second hello replaces the versions: now keep-alives come, and answered ones keep it going.
	s.client.hello({{1, 24}});
	std::this_thread::sleep_for(1500ms);
	s.client.request<v1::configure_worker_pool_response>(v1::configure_worker_pool_request{3, {1}});
	EXPECT_GE(s.client.keep_alives_seen(), 1);
	s.client.request<v1::bye_response>(v1::bye_request{4});
	EXPECT_EQ(s.companion.wait_exit(exit_limit), 0);
}

TEST(request_loop, sigint_ends_the_companion_while_it_waits)
{
	{
		SCOPED_TRACE("idle after the hello: the companion says bye");
		session s;
		s.client.hello();
		s.companion.interrupt();
		auto const bye = s.client.receive();
		EXPECT_TRUE(v1::is_a<v1::bye_request>(bye));
		s.client.send(v1::bye_response{bye.get_message_id()});
		EXPECT_EQ(s.companion.wait_exit(exit_limit), 0) << s.companion.err();
	}
	{
		SCOPED_TRACE("before any benchmark connected");
		uint16_t const port = api::test::unused_port();
		companion_process companion{KOVA_TEST_COMPANION, kova::test::server_args(port)};
		while (companion.out().find("Running as TCP server") == std::string::npos && companion.running())
			std::this_thread::sleep_for(5ms);
		companion.interrupt();
		EXPECT_EQ(companion.wait_exit(exit_limit), 0) << companion.out() << companion.err();
	}
}

} // namespace
