// Tests for companion/api/benchmark_requests.cpp: each of the benchmark's
// requests against a scripted peer.
#include "companion/api/async_context.hpp"

#include "companion/api/tcp_connect.hpp"
#include "companion/api/tcp_connection.hpp"
#include "kova_exception.hpp"
#include "protocol_test_support.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

namespace api = kova::bench::companion::api;
namespace v1 = kova::bench::companion::api::v1;
namespace test = kova::bench::companion::api::test;
using api::message_buffer;
using api::async::context;

namespace {

// A peer that answers every request with the reply made by `answer`, after
// optionally asking for a keep-alive first.
test::fake_connection scripted_peer(std::function<void(const message_buffer &, test::fake_connection &)> answer,
				    bool keep_alive_first = false)
{
	return test::fake_connection{[answer, keep_alive_first](const message_buffer &sent, test::fake_connection &self) {
		if (v1::is_a<v1::keep_alive_response>(sent))
			return;
		if (keep_alive_first)
			self.queue(v1::keep_alive_request{sent.get_message_id()});
		answer(sent, self);
	}};
}

template <typename Req>
void check_request(const Req &request, const std::function<void(const message_buffer &, test::fake_connection &)> &answer,
		   const std::function<void(const typename Req::response_type &)> &check_response)
{
	SCOPED_TRACE(std::string{Req::type_name});
	for (bool keep_alive_first : {false, true}) {
		SCOPED_TRACE(keep_alive_first);
		test::fake_connection link = scripted_peer(answer, keep_alive_first);
		context ctx{&link};
		auto const reply = api::send_api_message(request, ctx, 300);
		ASSERT_FALSE(reply.error.has_value()) << reply.to_error_message();
		ASSERT_TRUE(reply.response.has_value());
		EXPECT_EQ(reply.response->id, request.id);
		check_response(*reply.response);
		EXPECT_EQ(reply.to_error_message(), "SUCCESS");

		// What the peer received is the request itself.
		Req const seen = test::decoded<Req>(link.sent.at(0));
		EXPECT_EQ(seen.id, request.id);
		if (keep_alive_first) {
			ASSERT_EQ(link.sent.size(), 2u);
			EXPECT_EQ(link.sent[1].get_content(),
				  test::encoded(v1::keep_alive_response{request.id}).get_content());
		}
	}

	// The companion's error comes back as the error, with its code and text.
	test::fake_connection failing = scripted_peer([](const message_buffer &sent, test::fake_connection &self) {
		self.queue(v1::error_response{sent.get_message_id(), 4, "Not on this DPU"});
	});
	context ctx{&failing};
	auto const reply = api::send_api_message(request, ctx, 300);
	EXPECT_FALSE(reply.response.has_value());
	ASSERT_TRUE(reply.error.has_value());
	EXPECT_EQ(reply.error.value(), (v1::error_response{request.id, 4, "Not on this DPU"}));
	EXPECT_EQ(reply.to_error_message(), "Operation not supported: Not on this DPU");
}

template <typename Resp>
auto answer_with(std::function<Resp(uint64_t)> make)
{
	return [make](const message_buffer &sent, test::fake_connection &self) { self.queue(make(sent.get_message_id())); };
}

} // namespace

TEST(benchmark_requests, each_request_gets_its_reply_or_the_companions_error)
{
	check_request(
		v1::configure_worker_pool_request{11, {2, 3}},
		answer_with<v1::configure_worker_pool_response>([](uint64_t id) { return v1::configure_worker_pool_response{id}; }),
		[](const auto &) {});
	check_request(v1::get_environment_information_request{12},
		      answer_with<v1::get_environment_information_response>([](uint64_t id) {
			      return v1::get_environment_information_response{id, {{"dpu.hostname", "bf"}}};
		      }),
		      [](const auto &response) {
			      EXPECT_EQ(response.information, (v1::string_map{{"dpu.hostname", "bf"}}));
		      });
	check_request(v1::create_remote_mmaps_with_data_request{13, {{'a'}, {'b', 'c'}}},
		      answer_with<v1::create_remote_mmaps_response>([](uint64_t id) {
			      return v1::create_remote_mmaps_response{id, {{'1'}, {'2'}}};
		      }),
		      [](const auto &response) {
			      EXPECT_EQ(response.exported_mmaps, (std::vector<std::vector<char>>{{'1'}, {'2'}}));
		      });
	check_request(v1::create_uninitialized_remote_mmaps_request{14, 2, 4096},
		      answer_with<v1::create_remote_mmaps_response>([](uint64_t id) {
			      return v1::create_remote_mmaps_response{id, {{'x'}, {'y'}}};
		      }),
		      [](const auto &response) { EXPECT_EQ(response.exported_mmaps.size(), 2u); });
	check_request(v1::destroy_remote_mmaps_request{15},
		      answer_with<v1::destroy_remote_mmaps_response>(
			      [](uint64_t id) { return v1::destroy_remote_mmaps_response{id}; }),
		      [](const auto &) {});
	check_request(
		v1::start_workers_request{16},
		answer_with<v1::start_workers_response>([](uint64_t id) { return v1::start_workers_response{id}; }),
		[](const auto &) {});
}

TEST(benchmark_requests, a_reply_of_the_wrong_type_throws_and_leaves_nothing_pending)
{
	test::fake_connection link = scripted_peer([](const message_buffer &sent, test::fake_connection &self) {
		self.queue(v1::bye_response{sent.get_message_id()});
	});
	context ctx{&link};
	EXPECT_KOVA_THROW(api::send_api_message(v1::start_workers_request{21}, ctx, 300), 6u,
			  "Unable to interpret a message of api version: 1.24, type : 4 using a codec for api "
			  "version: 1.24, type 17");
	link.queue(v1::start_workers_response{21});
	testing::internal::CaptureStdout();
	EXPECT_TRUE(ctx.poll(std::chrono::steady_clock::now() + std::chrono::hours{1}));
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
		  "[companion comms async] Ignoring message received with no registered recipient.\n");
}

TEST(benchmark_requests, an_unanswered_request_expires_after_its_time_out)
{
	test::fake_connection link;
	context ctx{&link};
	auto const reply = api::send_api_message(v1::destroy_remote_mmaps_request{31}, ctx, 1);
	EXPECT_FALSE(reply.response.has_value());
	ASSERT_TRUE(reply.error.has_value());
	EXPECT_EQ(reply.error.value(), (v1::error_response{31, 9, "Shutting down"}));
}

TEST(benchmark_requests, a_send_that_never_succeeds_times_out)
{
	test::fake_connection link;
	link.accept_sends = false;
	context ctx{&link};
	auto const reply = api::send_api_message(v1::start_workers_request{32}, ctx, 1);
	ASSERT_TRUE(reply.error.has_value());
	EXPECT_EQ(reply.error.value(), (v1::error_response{32, 9, "Timed out waiting to send message"}));
}

TEST(benchmark_requests, over_a_tcp_link_to_a_companion)
{
	uint16_t const port = test::unused_port();
	auto companion = std::async(std::launch::async, [port] {
		auto link = api::connect_via_tcp_as_server(port, 10, api::default_max_message_size);
		message_buffer message;
		bool keep_alive_answered = false;
		for (;;) {
			if (!test::receive_within(*link, message))
				throw std::runtime_error{"nothing received"};
			if (v1::is_a<v1::bye_request>(message)) {
				v1::encode_api_message(v1::bye_response{message.get_message_id()}, message);
				link->send(message);
				link->disconnect(false);
				return keep_alive_answered;
			}
			if (v1::is_a<v1::keep_alive_response>(message)) {
				keep_alive_answered = message.get_message_id() == 99;
				continue;
			}
			auto const request = test::decoded<v1::configure_worker_pool_request>(message);
			// Ask for a keep-alive before answering, as an idle companion does.
			v1::encode_api_message(v1::keep_alive_request{99}, message);
			link->send(message);
			v1::encode_api_message(v1::error_response{request.id, 6, "Core " + std::to_string(*request.cores.begin()) +
										  " is not available"},
					       message);
			link->send(message);
		}
	});

	auto link = api::connect_via_tcp_as_client("127.0.0.1", port, 10);
	{
		context ctx{link.get()};
		auto const reply = api::send_api_message(v1::configure_worker_pool_request{1, {7}}, ctx, 300);
		ASSERT_TRUE(reply.error.has_value());
		EXPECT_EQ(reply.error->message, "Core 7 is not available");
	}
	link.reset();
	EXPECT_TRUE(companion.get());
}

TEST(benchmark_requests, after_a_time_out_the_link_is_dead_and_the_bye_is_skipped)
{
	using clock = std::chrono::steady_clock;
	test::silent_companion companion;
	auto link = api::connect_via_tcp_as_client("127.0.0.1", companion.port(), 10);
	context ctx{link.get()};

	auto start = clock::now();
	auto const first = api::send_api_message(v1::configure_worker_pool_request{1, {2}}, ctx, 1);
	EXPECT_GE(clock::now() - start, std::chrono::seconds{1});
	ASSERT_TRUE(first.error.has_value());
	EXPECT_EQ(first.error.value(), (v1::error_response{1, 9, "Shutting down"}));

	// A later request, however long its own time-out, fails at once with the first failure's text.
	start = clock::now();
	auto const second = api::send_api_message(v1::destroy_remote_mmaps_request{2}, ctx, 120);
	EXPECT_LT(clock::now() - start, std::chrono::milliseconds{500});
	ASSERT_TRUE(second.error.has_value());
	EXPECT_EQ(second.error.value(), (v1::error_response{2, 9, "Shutting down"}));

	// Closing says no bye: nothing waits for an answer that will not come.
	start = clock::now();
	link.reset();
	EXPECT_LT(clock::now() - start, std::chrono::milliseconds{500});
	EXPECT_EQ(companion.finish(), (std::vector<uint32_t>{v1::configure_worker_pool_request::type_id}));
}
