// The comch endpoint, consumer and producer and their set-up and teardown activities, with two
// clients of one server name in the test process (the stand-in starts the server).
#include "utility/comch_common.hpp"
#include "utility/comch_common_activities.hpp"

#include "companion/api/message_buffer.hpp"
#include "companion/api/message_printing.hpp"
#include "kova_exception.hpp"
#include "support/kova_throws.hpp"
#include "utility/async/sequence.hpp"
#include "utility/kova_utils.hpp"

#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kova::bench::utility {
namespace {

std::string unique_name(const char *what)
{
	static std::atomic<int> serial{0};
	return std::string{"kq_ep_"} + what + "_" + std::to_string(::getpid()) + "_" + std::to_string(serial++);
}

std::string read_trace()
{
	std::string text(kova_test_trace_read(nullptr, 0), '\0');
	kova_test_trace_read(text.data(), text.size() + 1);
	return text;
}

std::size_t count_of(const std::string &text, const std::string &line)
{
	std::size_t count = 0;
	for (std::size_t at = text.find(line + "\n"); at != std::string::npos; at = text.find(line + "\n", at + 1)) {
		if (at == 0 || text[at - 1] == '\n')
			++count;
	}
	return count;
}

bool poll_until(const std::function<bool()> &step, int limit_ms = 5000)
{
	auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds{limit_ms};
	while (!step()) {
		if (std::chrono::steady_clock::now() > deadline)
			return false;
	}
	return true;
}

void ignore(kova_task *, kova_data, kova_data) {}

// What an owner's callbacks saw.
struct consumer_ids {
	std::vector<uint32_t> announced;
	std::vector<uint32_t> expired;
	uint32_t remote = 0;
};

comch_endpoint::callbacks recording(consumer_ids &ids)
{
	return {[&ids](comch_endpoint *, uint32_t id) { ids.announced.push_back(id); ids.remote = id; },
		[&ids](comch_endpoint *, uint32_t id) {
			ids.expired.push_back(id);
			if (ids.remote == id)
				ids.remote = 0;
		}};
}

// Records what the activities tell their sequence.
struct recorded_sequence : async::sequence_callbacks {
	void select_next_activity(const std::string &name) override { next.push_back(name); }
	void notify_sequence_failure(kova_error code, std::string message) override
	{
		failures.push_back({code, std::move(message)});
	}
	void notify_sequence_success() override { ++successes; }
	std::vector<std::string> next;
	std::vector<async::error> failures;
	int successes = 0;
};

class comch_endpoint_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		devices = std::make_unique<devinfo_list>(make_devinfo_list());
		ASSERT_GE(devices->size(), 1U);
		ASSERT_EQ(kova_dev_open(*devices->begin(), &dev), KOVA_SUCCESS);
		data_pe = make_pe();
	}
	void TearDown() override
	{
		data_pe.reset();
		kova_dev_close(dev);
		kova_test_reset();
	}

	comch_endpoint::configuration config(const std::string &name) const { return {name, 4096, 4, 0, 0}; }

	std::unique_ptr<comch_endpoint> running_endpoint(const std::string &name, consumer_ids &ids)
	{
		auto endpoint = std::make_unique<comch_endpoint>(config(name), recording(ids), dev, nullptr);
		EXPECT_TRUE(poll_until([&] { endpoint->poll(); return is_context_running(endpoint->get_kova_ctx()); }));
		return endpoint;
	}

	std::unique_ptr<devinfo_list> devices;
	kova_dev *dev = nullptr;
	std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> data_pe;
	int owner_tag = 0;
	kova_data const owner{.ptr = &owner_tag};
};

TEST_F(comch_endpoint_test, discovery_is_empty_until_running_then_one_connection_without_duplicates_until_left)
{
	std::string const name = unique_name("discovery");
	consumer_ids a_ids;
	comch_endpoint a{config(name), recording(a_ids), dev, nullptr};
	EXPECT_TRUE(a.get_connections().empty()) << "not running yet";
	ASSERT_TRUE(poll_until([&] { a.poll(); return is_context_running(a.get_kova_ctx()); }));
	ASSERT_EQ(a.get_connections().size(), 1U);
	kova_comch_connection *connection = a.get_connections()[0];
	EXPECT_EQ(get_endpoint_from_conn(connection), &a);
	comch_endpoint::on_event_received(nullptr, nullptr, 0, connection);
	comch_endpoint::on_event_received(nullptr, nullptr, 0, connection);
	EXPECT_EQ(a.get_connections().size(), 1U);

	consumer_ids b_ids;
	auto b = running_endpoint(name, b_ids);
	b.reset(); // the peer leaves: the server ends the channel of the pair
	EXPECT_TRUE(poll_until([&] { a.poll(); return !is_context_running(a.get_kova_ctx()); }));
	EXPECT_TRUE(a.get_connections().empty());
}

TEST_F(comch_endpoint_test, remote_consumers_are_counted_and_an_unpaired_expiry_stays_at_zero)
{
	consumer_ids ids;
	auto a = running_endpoint(unique_name("count"), ids);
	kova_comch_connection *connection = a->get_connections()[0];
	comch_endpoint::new_consumer_cb(nullptr, connection, 11);
	comch_endpoint::new_consumer_cb(nullptr, connection, 12);
	comch_endpoint::expired_consumer_cb(nullptr, connection, 11);
	EXPECT_EQ(a->get_connected_consumer_count(), 1U);
	comch_endpoint::expired_consumer_cb(nullptr, connection, 12);
	testing::internal::CaptureStdout();
	comch_endpoint::expired_consumer_cb(nullptr, connection, 13);
	std::string const printed = testing::internal::GetCapturedStdout();
	EXPECT_EQ(a->get_connected_consumer_count(), 0U);
	EXPECT_NE(printed.find("13"), std::string::npos) << printed;
	EXPECT_EQ(ids.announced, (std::vector<uint32_t>{11, 12}));
	EXPECT_EQ(ids.expired, (std::vector<uint32_t>{11, 12, 13}));
}

TEST_F(comch_endpoint_test, errors_inside_progress_are_raised_by_the_next_poll)
{
	comch_endpoint a{config(unique_name("raise")),
			 {[](comch_endpoint *, uint32_t) { KOVA_THROW(KOVA_ERROR_NO_MEMORY, "owner refused"); },
			  [](comch_endpoint *, uint32_t) {}},
			 dev, nullptr};
	ASSERT_TRUE(poll_until([&] { a.poll(); return !a.get_connections().empty(); }));
	comch_endpoint::new_consumer_cb(nullptr, a.get_connections()[0], 5); // does not throw
	EXPECT_KOVA_THROW(a.poll(), KOVA_ERROR_NO_MEMORY, "owner refused");
	EXPECT_NO_THROW(a.poll());

	testing::internal::CaptureStderr();
	comch_endpoint::on_task_send_error(nullptr, kova_data{}, kova_data{.ptr = &a});
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "on_task_send_error failed\n");
	EXPECT_THROW(a.poll(), kova::exception) << "the failed send is reported, the process goes on";
}

struct construction_case {
	const char *forced;      // the SDK call that fails
	const char *text;
	bool client_made;
	bool engine_made;
};

class comch_endpoint_construction : public comch_endpoint_test,
				    public ::testing::WithParamInterface<construction_case> {};

TEST_P(comch_endpoint_construction, a_failing_step_throws_and_leaves_no_client_or_engine)
{
	construction_case const &c = GetParam();
	comch_endpoint::configuration cfg = config(unique_name("construct"));
	cfg.max_msg_size = 1024;
	cfg.recv_queue_size = 16;
	consumer_ids ids;
	kova_test_trace_enable(1);
	kova_test_force_result(c.forced, KOVA_ERROR_DRIVER, 1);
	EXPECT_KOVA_THROW(comch_endpoint(cfg, recording(ids), dev, nullptr), KOVA_ERROR_DRIVER, c.text);
	std::string const trace = read_trace();
	EXPECT_EQ(count_of(trace, "kova_comch_client_destroy"), c.client_made ? 1U : 0U) << trace;
	EXPECT_EQ(count_of(trace, "kova_pe_destroy"), c.engine_made ? 1U : 0U) << trace;
}

INSTANTIATE_TEST_SUITE_P(
	comch_endpoint_test, comch_endpoint_construction,
	::testing::Values(
		construction_case{"kova_comch_client_create", "Unable to create comch client connection", false, false},
		construction_case{"kova_pe_create", "Unable to create kova progress engine", true, false},
		construction_case{"kova_comch_client_task_send_set_conf", "Unable to set comch send task conf", true, true},
		construction_case{"kova_comch_client_event_msg_recv_register", "Unable to set msg recv event callback", true,
				  true},
		construction_case{"kova_comch_client_event_consumer_register", "Unable to set consumer event callback",
				  true, true},
		construction_case{"kova_comch_client_set_max_msg_size", "Unable to set max msg size", true, true},
		construction_case{"kova_comch_client_set_recv_queue_size", "Unable to set recv queue size", true, true},
		construction_case{"kova_ctx_set_state_changed_cb", "Unable to set ctx state change event callback", true,
				  true},
		construction_case{"kova_pe_connect_ctx", "Unable to connect pe to endpoint ctx", true, true},
		construction_case{"kova_ctx_start", "Unable to start endpoint ctx", true, true}),
	[](const ::testing::TestParamInfo<construction_case> &info) { return std::string{info.param.forced}; });

TEST_F(comch_endpoint_test, arguments_are_checked_before_anything_is_built)
{
	consumer_ids ids;
	kova_test_trace_enable(1);
	EXPECT_KOVA_THROW(comch_endpoint(config(""), recording(ids), dev, nullptr), KOVA_ERROR_INVALID_VALUE,
			  "Empty server name is invalid");
	EXPECT_KOVA_THROW(comch_endpoint(config("kq_ep_x"), recording(ids), nullptr, nullptr), KOVA_ERROR_INVALID_VALUE,
			  "device is required");
	EXPECT_KOVA_THROW(comch_endpoint(config("kq_ep_x"), {}, dev, nullptr), KOVA_ERROR_INVALID_VALUE,
			  "Callbacks must be specified");
	std::string const trace = read_trace();
	EXPECT_EQ(count_of(trace, "kova_comch_client_create"), count_of(trace, "kova_comch_client_destroy")) << trace;
	EXPECT_EQ(trace.find("kova_comch_client_set_max_msg_size"), std::string::npos) << "0 keeps the SDK's default";
	EXPECT_EQ(trace.find("kova_comch_client_set_recv_queue_size"), std::string::npos);
}

struct consumer_construction_case {
	const char *forced;
	const char *text;
	bool consumer_made;
	bool producer = false; // the producer's construction instead of the consumer's
};

class comch_consumer_construction : public comch_endpoint_test,
				    public ::testing::WithParamInterface<consumer_construction_case> {};

TEST_P(comch_consumer_construction, a_failing_step_throws_and_leaves_no_consumer_or_producer)
{
	consumer_ids ids;
	auto a = running_endpoint(unique_name("consumer"), ids);
	consumer_construction_case const &c = GetParam();
	kova_test_trace_enable(1);
	kova_test_force_result(c.forced, KOVA_ERROR_DRIVER, 1);
	if (c.producer) {
		EXPECT_KOVA_THROW(comch_producer({4, 0, 64}, {ignore, ignore}, owner, data_pe.get(), a->get_connections()[0]),
				  KOVA_ERROR_DRIVER, c.text);
		EXPECT_EQ(count_of(read_trace(), "kova_comch_producer_destroy"), c.consumer_made ? 1U : 0U);
		return;
	}
	EXPECT_KOVA_THROW(comch_consumer({4, 0, 64}, {ignore, ignore}, owner, data_pe.get(), a->get_connections()[0],
					 nullptr),
			  KOVA_ERROR_DRIVER, c.text);
	EXPECT_EQ(count_of(read_trace(), "kova_comch_consumer_destroy"), c.consumer_made ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(
	comch_endpoint_test, comch_consumer_construction,
	::testing::Values(consumer_construction_case{"kova_comch_consumer_create", "Unable to create consumer", false},
			  consumer_construction_case{"kova_comch_consumer_task_post_recv_set_conf",
						     "Unable to set consumer send task conf", true},
			  consumer_construction_case{"kova_pe_connect_ctx", "Unable to connect pe to consumer", true},
			  consumer_construction_case{"kova_ctx_start", "Unable to start consumer", true},
			  consumer_construction_case{"kova_comch_producer_create", "Unable to create producer", false, true},
			  consumer_construction_case{"kova_comch_producer_task_send_set_conf",
						     "Unable to set producer send task conf", true, true},
			  consumer_construction_case{"kova_pe_connect_ctx", "Unable to connect pe to producer", true, true},
			  consumer_construction_case{"kova_ctx_start", "Unable to start producer", true, true}),
	[](const ::testing::TestParamInfo<consumer_construction_case> &info) {
		return std::string{info.param.producer ? "producer_" : "consumer_"} + info.param.forced;
	});

TEST_F(comch_endpoint_test, consumer_and_producer_check_their_arguments)
{
	consumer_ids ids;
	auto a = running_endpoint(unique_name("args"), ids);
	kova_comch_connection *connection = a->get_connections()[0];
	EXPECT_KOVA_THROW(comch_consumer({1, 0, 0}, {ignore, ignore}, kova_data{}, data_pe.get(), connection, nullptr),
			  KOVA_ERROR_INVALID_VALUE, "ctx_user_data must not be null");
	EXPECT_KOVA_THROW(comch_consumer({1, 0, 0}, {ignore, ignore}, owner, nullptr, connection, nullptr),
			  KOVA_ERROR_INVALID_VALUE, "ext_pe must not be null");
	EXPECT_KOVA_THROW(comch_consumer({1, 0, 0}, {ignore, ignore}, owner, data_pe.get(), nullptr, nullptr),
			  KOVA_ERROR_INVALID_VALUE, "ext_connection must not be null");
	EXPECT_KOVA_THROW(comch_producer({1, 0, 0}, {ignore, ignore}, kova_data{}, data_pe.get(), connection),
			  KOVA_ERROR_INVALID_VALUE, "ctx_user_data must not be null");
	EXPECT_KOVA_THROW(comch_producer({1, 0, 0}, {ignore, ignore}, owner, nullptr, connection),
			  KOVA_ERROR_INVALID_VALUE, "ext_pe must not be null");
	EXPECT_KOVA_THROW(comch_producer({1, 0, 0}, {ignore, ignore}, owner, data_pe.get(), nullptr),
			  KOVA_ERROR_INVALID_VALUE, "ext_connection must not be null");
}

TEST_F(comch_endpoint_test, tasks_in_flight_stay_listed_until_the_stopped_consumer_delivered_them)
{
	consumer_ids ids;
	auto a = running_endpoint(unique_name("tasks"), ids);
	auto consumer = std::make_unique<comch_consumer>(comch_consumer::configuration{2, 0, 64},
							 comch_consumer::callbacks{ignore, ignore}, owner, data_pe.get(),
							 a->get_connections()[0], nullptr);
	ASSERT_TRUE(poll_until([&] { a->poll(); kova_pe_progress(data_pe.get()); return is_context_running(consumer->get_kova_ctx()); }));
	std::vector<uint8_t> region(128);
	kova_mmap *mmap = nullptr;
	ASSERT_EQ(kova_mmap_create(&mmap), KOVA_SUCCESS);
	kova_mmap_add_dev(mmap, dev);
	kova_mmap_set_memrange(mmap, region.data(), region.size());
	ASSERT_EQ(kova_mmap_start(mmap), KOVA_SUCCESS);
	auto inventory = make_inventory(2);
	kova_buf *first = get_buffer(inventory.get(), mmap, reinterpret_cast<char *>(region.data()), 64);
	kova_buf *second = get_buffer(inventory.get(), mmap, reinterpret_cast<char *>(region.data()) + 64, 64);
	kova_task *posted = kova_comch_consumer_task_post_recv_as_task(consumer->create_task(first, owner));
	consumer->create_task(second, owner);
	ASSERT_EQ(kova_task_submit(posted), KOVA_SUCCESS);
	EXPECT_EQ(kova_task_free(posted), KOVA_ERROR_BAD_STATE) << "in flight";
	consumer->destroy_all_tasks();
	uint32_t configured = 0, allocated = 0;
	kova_test_ctx_get_num_tasks(consumer->get_kova_ctx(), &configured, &allocated);
	EXPECT_EQ(allocated, 1U) << "the idle task is freed, the posted one stays listed";
	consumer.reset(); // stops, flushes the posted task and frees it
	kova_buf_dec_refcount(first, nullptr);
	kova_buf_dec_refcount(second, nullptr);
	inventory.reset();
	kova_mmap_destroy(mmap);
}

// Set-up chains.

class comch_activity_test : public comch_endpoint_test {
protected:
	comch_async_context context_with(recorded_sequence &sequence)
	{
		comch_async_context context;
		context.sequence = &sequence;
		context.pe = data_pe.get();
		context.remote_consumer_id = &remote;
		return context;
	}
	uint32_t remote = 0;
};

TEST_F(comch_activity_test, chains_default_to_the_connection_wait_and_to_success)
{
	recorded_sequence sequence;
	comch_async_context context = context_with(sequence);
	consumer_ids ids;
	context.endpoint = running_endpoint(unique_name("chain"), ids);

	wait_for_endpoint_context_running running{&context};
	running.start();
	EXPECT_TRUE(running.progress(sequence));
	EXPECT_EQ(sequence.next, (std::vector<std::string>{"wait_for_endpoint_connection"}));

	create_consumer_activity consumer{&context, {4, 0, 64}, {ignore, ignore}, owner, nullptr};
	consumer.start();
	EXPECT_EQ(context.consumer_ctx, context.consumer->get_kova_ctx());
	EXPECT_TRUE(poll_until([&] { return consumer.progress(sequence); }));
	EXPECT_EQ(sequence.successes, 1);
	EXPECT_TRUE(sequence.failures.empty());

	destroy_local_worker_activity teardown{context.endpoint.get(), std::move(context.consumer), nullptr};
	teardown.start();
	EXPECT_TRUE(teardown.progress(sequence)) << "no producer: done at once";
	EXPECT_EQ(sequence.successes, 2);
}

TEST_F(comch_activity_test, a_consumer_needs_exactly_one_connection)
{
	recorded_sequence sequence;
	comch_async_context context = context_with(sequence);
	consumer_ids ids;
	create_consumer_activity without{&context, "next", {4, 0, 64}, {ignore, ignore}, owner, nullptr};
	EXPECT_KOVA_THROW(without.start(), KOVA_ERROR_UNEXPECTED, "Cannot create consumer without a kova_comch connection");

	std::string const name = unique_name("two");
	context.endpoint = running_endpoint(name, ids);
	consumer_ids other_ids;
	auto other = running_endpoint(name, other_ids);
	// The other client's connection, reported to this endpoint, makes two.
	ASSERT_EQ(context.endpoint->get_connections().size(), 1U);
	kova_ctx *other_ctx = other->get_kova_ctx();
	kova_ctx_set_user_data(other_ctx, kova_data{.ptr = context.endpoint.get()});
	comch_endpoint::on_event_received(nullptr, nullptr, 0, other->get_connections()[0]);
	kova_ctx_set_user_data(other_ctx, kova_data{.ptr = other.get()});
	ASSERT_EQ(context.endpoint->get_connections().size(), 2U);
	create_consumer_activity two{&context, "next", {4, 0, 64}, {ignore, ignore}, owner, nullptr};
	EXPECT_KOVA_THROW(two.start(), KOVA_ERROR_UNEXPECTED, "Cannot create consumer without a kova_comch connection");
	create_producer_activity producer{&context, "next", {4, 0, 64}, {ignore, ignore}, owner};
	EXPECT_KOVA_THROW(producer.start(), KOVA_ERROR_UNEXPECTED, "Cannot create producer without a kova_comch connection");
	EXPECT_EQ(context.consumer, nullptr);
}

TEST_F(comch_activity_test, a_producer_finishes_within_one_poll_after_the_peers_consumer_starts)
{
	std::string const name = unique_name("producer");
	recorded_sequence sequence;
	comch_async_context context = context_with(sequence);
	consumer_ids ids;
	context.endpoint = std::make_unique<comch_endpoint>(
		config(name), comch_endpoint::callbacks{[this](comch_endpoint *, uint32_t id) { remote = id; },
							 [this](comch_endpoint *, uint32_t id) {
								 if (remote == id)
									 remote = 0;
							 }},
		dev, nullptr);
	ASSERT_TRUE(poll_until([&] { context.endpoint->poll(); return !context.endpoint->get_connections().empty(); }));
	create_producer_activity producer{&context, "finalize", {4, 0, 64}, {ignore, ignore}, owner};
	producer.start();
	for (int i = 0; i < 100; ++i)
		EXPECT_FALSE(producer.progress(sequence)) << "no consumer announced yet";

	consumer_ids peer_ids;
	auto peer = running_endpoint(name, peer_ids);
	auto peer_pe = make_pe();
	comch_consumer consumer{{4, 0, 64}, {ignore, ignore}, owner, peer_pe.get(), peer->get_connections()[0], nullptr};
	ASSERT_TRUE(poll_until([&] { kova_pe_progress(peer_pe.get()); return is_context_running(consumer.get_kova_ctx()); }));
	EXPECT_TRUE(producer.progress(sequence));
	EXPECT_EQ(sequence.next, (std::vector<std::string>{"finalize"}));
	EXPECT_NE(remote, 0U);
	context.producer.reset();
}

TEST_F(comch_activity_test, an_api_message_while_waiting_for_the_connection_fails_the_sequence_with_22)
{
	async::sequence sequence{30};
	comch_async_context context;
	context.sequence = &sequence;
	context.pe = data_pe.get();
	sequence.register_activity("wait_for_endpoint_connection",
				   std::make_unique<wait_for_endpoint_connection>(&context, "next"));
	sequence.start("wait_for_endpoint_connection");
	companion::api::message_buffer const message;
	sequence.on_api_message(message);
	EXPECT_EQ(sequence.poll(), async::poll_result::in_progress);
	poll_until([&] { return sequence.poll() != async::poll_result::in_progress; });
	EXPECT_EQ(sequence.poll(), async::poll_result::has_failed);
	ASSERT_EQ(sequence.get_errors().size(), 1U);
	EXPECT_EQ(sequence.get_errors()[0].code, KOVA_ERROR_UNEXPECTED);
	EXPECT_EQ(sequence.get_errors()[0].message,
		  "Failed during: wait_for_endpoint_connection. message: Unexpected API message: " +
			  companion::api::describe_message(message));
}

TEST_F(comch_activity_test, the_endpoint_teardown_ends_promptly_when_the_peer_leaves_and_at_the_bound_otherwise)
{
	std::string const name = unique_name("teardown");
	consumer_ids ids, peer_ids;
	auto endpoint = running_endpoint(name, ids);
	auto peer = running_endpoint(name, peer_ids);
	ASSERT_EQ(endpoint->get_connections().size(), 1U);
	recorded_sequence sequence;
	{
		destroy_comch_endpoint_activity teardown{std::move(endpoint)};
		teardown.start();
		EXPECT_FALSE(teardown.progress(sequence));
		peer.reset();
		auto const began = std::chrono::steady_clock::now();
		EXPECT_TRUE(poll_until([&] { return teardown.progress(sequence); }, 3000));
		EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds{2});
		EXPECT_EQ(sequence.successes, 1);
	}

	std::string const lonely = unique_name("lonely");
	auto stays = running_endpoint(lonely, ids);
	auto never_leaves = running_endpoint(lonely, peer_ids);
	destroy_comch_endpoint_activity teardown{std::move(stays), "after"};
	teardown.start();
	auto const began = std::chrono::steady_clock::now();
	testing::internal::CaptureStdout();
	bool const done = poll_until([&] { never_leaves->poll(); return teardown.progress(sequence); }, 8000);
	std::string const printed = testing::internal::GetCapturedStdout();
	auto const took = std::chrono::steady_clock::now() - began;
	EXPECT_TRUE(done);
	EXPECT_GE(took, std::chrono::milliseconds{4900});
	EXPECT_LT(took, std::chrono::seconds{7});
	EXPECT_NE(printed.find("did not release"), std::string::npos) << printed;
	EXPECT_EQ(sequence.next, (std::vector<std::string>{"after"}));
}

} // namespace
} // namespace kova::bench::utility
