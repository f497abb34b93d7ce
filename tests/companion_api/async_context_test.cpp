// Tests for companion/api/async_context.cpp, over an in-memory connection with
// injected time.
#include "companion/api/async_context.hpp"

#include "kova_exception.hpp"
#include "protocol_test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace api = kova::bench::companion::api;
namespace v1 = kova::bench::companion::api::v1;
namespace test = kova::bench::companion::api::test;
using api::message_buffer;
using api::async::context;
using clock_type = std::chrono::steady_clock;

namespace {

constexpr char ignored_line[] = "[companion comms async] Ignoring message received with no registered recipient.\n";

// What one callback was called with.
struct call {
	uint64_t request_id;
	kova::optional<v1::error_response> error;
	std::vector<char> reply;
};

struct recorder {
	std::vector<call> calls;

	api::async::reply_callback for_request(uint64_t id)
	{
		return [this, id](kova::optional<v1::error_response> error, const message_buffer &reply) {
			calls.push_back({id, std::move(error), reply.get_content()});
		};
	}
};

bool send_request(context &ctx, uint64_t id, api::async::reply_callback callback, int64_t timeout_s = 15)
{
	message_buffer buffer = test::encoded(v1::stop_worker_request{id, 1});
	return ctx.send_async(buffer, std::move(callback), timeout_s);
}

clock_type::time_point soon()
{
	return clock_type::now();
}

clock_type::time_point after(int64_t seconds)
{
	return clock_type::now() + std::chrono::seconds{seconds} + std::chrono::milliseconds{100};
}

} // namespace

TEST(async_context, a_reply_reaches_the_request_with_its_id)
{
	test::fake_connection link;
	context ctx{&link};
	recorder r;
	ASSERT_TRUE(send_request(ctx, 1, r.for_request(1)));
	ASSERT_TRUE(send_request(ctx, 2, r.for_request(2)));
	ASSERT_EQ(link.sent.size(), 2u);

	EXPECT_FALSE(ctx.poll(soon()));
	link.queue(v1::stop_worker_response{2});
	EXPECT_TRUE(ctx.poll(soon()));
	ASSERT_EQ(r.calls.size(), 1u);
	EXPECT_EQ(r.calls[0].request_id, 2u);
	EXPECT_FALSE(r.calls[0].error.has_value());
	EXPECT_EQ(r.calls[0].reply, test::encoded(v1::stop_worker_response{2}).get_content());

	// Replied requests leave the table: a second reply finds no recipient.
	link.queue(v1::stop_worker_response{2});
	testing::internal::CaptureStdout();
	EXPECT_TRUE(ctx.poll(soon()));
	EXPECT_EQ(testing::internal::GetCapturedStdout(), ignored_line);
	EXPECT_EQ(r.calls.size(), 1u);
}

TEST(async_context, a_keep_alive_is_answered_with_its_id_and_nothing_else_happens)
{
	test::fake_connection link;
	context ctx{&link};
	recorder r;
	ASSERT_TRUE(send_request(ctx, 5, r.for_request(5), 1));
	link.queue(v1::keep_alive_request{5});

	// Even past the request's deadline, the keep-alive poll expires nothing.
	EXPECT_FALSE(ctx.poll(after(1)));
	EXPECT_TRUE(r.calls.empty());
	ASSERT_EQ(link.sent.size(), 2u);
	EXPECT_EQ(link.sent[1].get_content(), test::encoded(v1::keep_alive_response{5}).get_content());

	link.queue(v1::stop_worker_response{5});
	EXPECT_TRUE(ctx.poll(soon()));
	ASSERT_EQ(r.calls.size(), 1u);
	EXPECT_FALSE(r.calls[0].error.has_value());
}

TEST(async_context, a_request_without_reply_expires_once_at_its_deadline_and_the_link_dies)
{
	test::fake_connection link;
	context ctx{&link};
	recorder r;
	ASSERT_TRUE(send_request(ctx, 3, r.for_request(3), 15));
	ASSERT_TRUE(send_request(ctx, 4, r.for_request(4), 30));

	EXPECT_FALSE(ctx.poll(soon()));
	EXPECT_TRUE(r.calls.empty());
	EXPECT_FALSE(ctx.link_failure().has_value());
	EXPECT_FALSE(ctx.poll(after(15)));
	// The request still pending waits on a dead link: it fails with the first one, at once.
	ASSERT_EQ(r.calls.size(), 2u);
	EXPECT_EQ(r.calls[0].request_id, 3u);
	ASSERT_TRUE(r.calls[0].error.has_value());
	EXPECT_EQ(r.calls[0].error.value(), (v1::error_response{3, 9, "Shutting down"}));
	EXPECT_TRUE(r.calls[0].reply.empty());
	EXPECT_EQ(r.calls[1].request_id, 4u);
	EXPECT_EQ(r.calls[1].error.value(), (v1::error_response{4, 9, "Shutting down"}));
	EXPECT_EQ(ctx.link_failure().value(), (v1::error_response{0, 9, "Shutting down"}));

	EXPECT_FALSE(ctx.poll(after(15)));
	EXPECT_FALSE(ctx.poll(after(30)));
	EXPECT_EQ(r.calls.size(), 2u);
}

TEST(async_context, on_a_dead_link_a_later_request_fails_at_once_with_the_first_failure)
{
	struct case_ {
		const char *name;
		bool by_expiry;
		v1::error_response first;
	};
	for (const case_ &c : {case_{"an expired request", true, {0, 9, "Shutting down"}},
			       case_{"a send that timed out", false, {0, 9, "Timed out waiting to send message"}}}) {
		SCOPED_TRACE(c.name);
		test::fake_connection link;
		context ctx{&link};
		recorder r;
		if (c.by_expiry) {
			ASSERT_TRUE(send_request(ctx, 1, r.for_request(1), 1));
			EXPECT_FALSE(ctx.poll(after(1)));
		} else {
			ctx.fail_link(c.first.error_code, c.first.message);
		}
		// A second failure does not replace the first.
		ctx.fail_link(KOVA_ERROR_IO_FAILED, "later");
		std::size_t const sent_before = link.sent.size();
		std::size_t const calls_before = r.calls.size();

		ASSERT_TRUE(send_request(ctx, 2, r.for_request(2), 300));
		EXPECT_EQ(link.sent.size(), sent_before);
		EXPECT_FALSE(ctx.poll(soon()));
		ASSERT_EQ(r.calls.size(), calls_before + 1);
		EXPECT_EQ(r.calls.back().request_id, 2u);
		EXPECT_EQ(r.calls.back().error.value(), (v1::error_response{2, c.first.error_code, c.first.message}));

		// Nothing is read from the link any more.
		link.queue(v1::stop_worker_response{2});
		EXPECT_FALSE(ctx.poll(soon()));
	}
}

TEST(async_context, a_reply_for_a_duplicated_id_is_ignored_and_both_expire)
{
	test::fake_connection link;
	context ctx{&link};
	recorder r;
	ASSERT_TRUE(send_request(ctx, 7, r.for_request(7)));
	ASSERT_TRUE(send_request(ctx, 7, r.for_request(7)));
	link.queue(v1::stop_worker_response{7});
	testing::internal::CaptureStdout();
	EXPECT_TRUE(ctx.poll(soon()));
	EXPECT_EQ(testing::internal::GetCapturedStdout(), ignored_line);
	EXPECT_TRUE(r.calls.empty());

	EXPECT_FALSE(ctx.poll(after(15)));
	ASSERT_EQ(r.calls.size(), 2u);
	for (const call &c : r.calls)
		EXPECT_EQ(c.error->error_code, 9u);
}

TEST(async_context, an_error_response_reaches_its_request_as_the_error)
{
	test::fake_connection link;
	context ctx{&link};
	recorder r;
	ASSERT_TRUE(send_request(ctx, 8, r.for_request(8)));
	link.queue(v1::error_response{8, 16, "No such worker"});
	EXPECT_TRUE(ctx.poll(soon()));
	ASSERT_EQ(r.calls.size(), 1u);
	EXPECT_EQ(r.calls[0].error.value(), (v1::error_response{8, 16, "No such worker"}));
	EXPECT_EQ(r.calls[0].reply, test::encoded(v1::error_response{8, 16, "No such worker"}).get_content());
}

TEST(async_context, a_malformed_error_response_still_completes_its_request)
{
	test::fake_connection link;
	context ctx{&link};
	recorder r;
	ASSERT_TRUE(send_request(ctx, 8, r.for_request(8)));
	link.queue_raw(message_buffer{test::header(1, 24, 1, 8, 24)});
	EXPECT_TRUE(ctx.poll(soon()));
	ASSERT_EQ(r.calls.size(), 1u);
	ASSERT_TRUE(r.calls[0].error.has_value());
	EXPECT_EQ(r.calls[0].error->error_code, 6u);
	EXPECT_EQ(r.calls[0].error->message,
		  "Unable to parse malformed error_response: Failed to read from body (offset: 0)");
}

TEST(async_context, a_throwing_callback_leaves_the_table_consistent)
{
	test::fake_connection link;
	context ctx{&link};
	int thrower_calls = 0;
	recorder r;
	ASSERT_TRUE(send_request(ctx, 1, [&](auto, const auto &) {
		++thrower_calls;
		throw std::runtime_error{"callback failed"};
	}));
	ASSERT_TRUE(send_request(ctx, 2, r.for_request(2)));

	// Both expire in one poll: the one that throws does not keep the other from its call.
	EXPECT_THROW(ctx.poll(after(15)), std::runtime_error);
	EXPECT_EQ(thrower_calls, 1);
	EXPECT_EQ(r.calls.size(), 1u);

	EXPECT_FALSE(ctx.poll(after(30)));
	EXPECT_EQ(thrower_calls, 1);
	EXPECT_EQ(r.calls.size(), 1u);
}

TEST(async_context, a_send_the_connection_refuses_records_nothing)
{
	test::fake_connection link;
	link.accept_sends = false;
	context ctx{&link};
	recorder r;
	EXPECT_FALSE(send_request(ctx, 1, r.for_request(1)));
	EXPECT_FALSE(ctx.poll(after(15)));
	EXPECT_TRUE(r.calls.empty());
}

TEST(async_context, without_a_connection_requests_expire_with_code_18)
{
	context ctx{nullptr};
	recorder r;
	ASSERT_TRUE(send_request(ctx, 1, r.for_request(1)));
	EXPECT_FALSE(ctx.poll(soon()));
	ASSERT_EQ(r.calls.size(), 1u);
	EXPECT_EQ(r.calls[0].error->error_code, 18u);
	EXPECT_EQ(r.calls[0].error->id, 1u);
	EXPECT_FALSE(ctx.poll(soon()));
	EXPECT_EQ(r.calls.size(), 1u);
}

TEST(async_context, destroying_the_context_drops_pending_callbacks)
{
	test::fake_connection link;
	recorder r;
	{
		context ctx{&link};
		ASSERT_TRUE(send_request(ctx, 1, r.for_request(1)));
	}
	EXPECT_TRUE(r.calls.empty());
}

TEST(async_context, threads_sharing_a_context_each_get_their_own_reply)
{
	// The peer answers each start_workers_request at once, echoing its id.
	test::fake_connection link{[](const message_buffer &sent, test::fake_connection &self) {
		if (v1::is_a<v1::start_workers_request>(sent))
			self.queue(v1::start_workers_response{sent.get_message_id()});
	}};
	context ctx{&link};
	std::atomic<uint64_t> next_id{1};
	std::atomic<int> answered{0};
	std::vector<std::thread> threads;
	for (int t = 0; t < 4; ++t) {
		threads.emplace_back([&] {
			for (int i = 0; i < 50; ++i) {
				uint64_t const id = next_id.fetch_add(1);
				auto const reply = api::send_api_message(v1::start_workers_request{id}, ctx, 15);
				if (reply.response.has_value() && reply.response->id == id && !reply.error.has_value())
					answered.fetch_add(1);
			}
		});
	}
	for (auto &thread : threads)
		thread.join();
	EXPECT_EQ(answered.load(), 200);
}
