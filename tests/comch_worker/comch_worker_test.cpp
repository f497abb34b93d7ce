// The companion's comch workers: their command map, buffer carving, set-up and its failures, the
// initial submission's retry, and a consumer and producer worker pair moving real bytes.
#include "companion/process_flags.hpp"
#include "companion/worker/comch_worker.hpp"
#include "companion/worker/pool.hpp"

#include "kova_exception.hpp"
#include "support/kova_throws.hpp"
#include "utility/comch_common.hpp"
#include "utility/kova_utils.hpp"

#include <kova/buf.h>
#include <kova/comch.h>
#include <kova/dev.h>
#include <kova/task.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kova::bench::companion::worker {
namespace {

std::string unique_name(const char *what)
{
	static std::atomic<int> serial{0};
	return std::string{"kr_cw_"} + what + "_" + std::to_string(::getpid()) + "_" + std::to_string(serial++);
}

attribute_map command(const std::string &name, uint32_t size, uint32_t count)
{
	return create_comch_worker_command_to_map({size, count, name, 0, 0});
}

// Runs a worker's thread body on its own thread; what it throws is kept.
class worker_thread {
public:
	explicit worker_thread(worker &w)
		: m_thread{[this, &w] {
			  try {
				  w.thread_proc();
			  } catch (const kova::exception &e) {
				  code = e.code();
				  text = e.what();
			  }
			  done = true;
		  }}
	{
	}
	~worker_thread()
	{
		if (m_thread.joinable())
			m_thread.join();
	}
	void join() { m_thread.join(); }

	std::atomic<bool> done{false};
	kova_error code = KOVA_SUCCESS;
	std::string text;

private:
	std::thread m_thread;
};

class comch_worker_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		devices = std::make_unique<utility::devinfo_list>(utility::make_devinfo_list());
		ASSERT_GE(devices->size(), 1U);
		ASSERT_EQ(kova_dev_open(*devices->begin(), &dev), KOVA_SUCCESS);
		companion::error_seen = false;
	}
	void TearDown() override
	{
		kova_dev_close(dev);
		kova_test_reset();
		companion::error_seen = false;
	}

	std::unique_ptr<utility::devinfo_list> devices;
	kova_dev *dev = nullptr;
};

TEST(comch_worker_command, map_round_trips_the_extremes)
{
	for (uint32_t value : {0U, 4294967295U}) {
		SCOPED_TRACE(value);
		create_comch_worker_command const sent{value, value, "cc_server42", value, value};
		attribute_map const map = create_comch_worker_command_to_map(sent);
		EXPECT_EQ(map.size(), 5U);
		EXPECT_EQ(map.at("buffer_size"), std::to_string(value));
		auto const read = create_comch_worker_command_from_map(map);
		EXPECT_EQ(read.buffer_size, value);
		EXPECT_EQ(read.buffer_count, value);
		EXPECT_EQ(read.server_name, "cc_server42");
		EXPECT_EQ(read.recv_queue_size, value);
		EXPECT_EQ(read.max_msg_size, value);
	}
}

TEST(comch_worker_command, names_the_first_missing_key_in_record_order)
{
	std::vector<std::string> const keys{"buffer_size", "buffer_count", "server_name", "recv_queue_size",
					    "max_msg_size"};
	for (std::size_t first = 0; first < keys.size(); ++first) {
		SCOPED_TRACE(keys[first]);
		attribute_map map = command("cc_server1", 4096, 4);
		// The missing key and every later one: the first is named.
		for (std::size_t k = first; k < keys.size(); ++k)
			map.erase(keys[k]);
		EXPECT_KOVA_THROW(create_comch_worker_command_from_map(map), KOVA_ERROR_INVALID_VALUE,
				  "Bug: " + keys[first] + " not found in create_comch_worker_command");
	}
}

TEST(comch_worker_command, refuses_numbers_that_are_not_32_bit)
{
	for (const char *key : {"buffer_size", "buffer_count", "recv_queue_size", "max_msg_size"}) {
		for (const char *value : {"abc", "4294967296"}) {
			SCOPED_TRACE(std::string{key} + "=" + value);
			attribute_map map = command("cc_server1", 4096, 4);
			map[key] = value;
			EXPECT_KOVA_THROW(create_comch_worker_command_from_map(map), KOVA_ERROR_INVALID_VALUE,
					  std::string{"Bug: "} + key + " is not a number in create_comch_worker_command");
		}
	}
}

TEST_F(comch_worker_test, construction_refuses_bad_sizes_and_a_null_device)
{
	struct bad_case {
		uint32_t size;
		uint32_t count;
		const char *text;
	};
	for (auto const &c : {
		     bad_case{0, 4, "comch worker buffer size must not be 0"},
		     bad_case{65536, 65537, "comch worker buffers of 65536 x 65537 bytes do not fit 4294967295 bytes"},
	     }) {
		SCOPED_TRACE(c.text);
		EXPECT_KOVA_THROW(create_comch_consumer_worker(1, command(unique_name("bad"), c.size, c.count), dev, nullptr),
				  KOVA_ERROR_INVALID_VALUE, c.text);
		EXPECT_KOVA_THROW(create_comch_producer_worker(1, command(unique_name("bad"), c.size, c.count), dev, nullptr),
				  KOVA_ERROR_INVALID_VALUE, c.text);
	}
	uint32_t max_size = 0;
	ASSERT_EQ(kova_comch_consumer_cap_get_max_buf_size(kova_dev_as_devinfo(dev), &max_size), KOVA_SUCCESS);
	EXPECT_EQ(::kova::test::thrown_by([&] { create_comch_consumer_worker(1, command(unique_name("big"), max_size + 1, 1), dev, nullptr); })
			  .code(),
		  KOVA_ERROR_INVALID_VALUE);
	EXPECT_KOVA_THROW(create_comch_consumer_worker(1, command(unique_name("null"), 4096, 4), nullptr, nullptr),
			  KOVA_ERROR_INVALID_VALUE, "dev must not be null");
}

TEST_F(comch_worker_test, a_pair_carves_four_slices_and_moves_the_producers_pattern)
{
	std::string const name = unique_name("pair");
	auto consumer = create_comch_consumer_worker(1, command(name, 4096, 4), dev, nullptr);
	auto producer = create_comch_producer_worker(2, command(name, 4096, 4), dev, nullptr);
	EXPECT_STREQ(consumer->get_type(), "comch_consumer");
	EXPECT_STREQ(producer->get_type(), "comch_producer");
	consumer->start_async_init();
	producer->start_async_init();
	{
		worker_thread consumer_thread{*consumer};
		worker_thread producer_thread{*producer};
		std::this_thread::sleep_for(std::chrono::milliseconds{300});
		producer->terminate();
		consumer->terminate();
		producer_thread.join();
		consumer_thread.join();
		EXPECT_EQ(consumer_thread.code, KOVA_SUCCESS) << consumer_thread.text;
		EXPECT_EQ(producer_thread.code, KOVA_SUCCESS) << producer_thread.text;
	}
	for (worker *w : {consumer.get(), producer.get()}) {
		auto &base = static_cast<comch_worker_base &>(*w);
		ASSERT_EQ(base.get_buffers().size(), 4U);
		for (std::size_t i = 0; i < 4; ++i) {
			SCOPED_TRACE(i);
			void *data = nullptr;
			std::size_t len = 0;
			ASSERT_EQ(kova_buf_get_data(base.get_buffers()[i], &data), KOVA_SUCCESS);
			ASSERT_EQ(kova_buf_get_len(base.get_buffers()[i], &len), KOVA_SUCCESS);
			EXPECT_EQ(data, base.get_region() + i * 4096);
			EXPECT_EQ(len, 4096U);
		}
	}
	// Every slice of the consumer received the producer's fixed pattern.
	auto &received = static_cast<comch_worker_base &>(*consumer);
	std::size_t patterned = 0;
	for (std::size_t at = 0; at < 4 * 4096; ++at)
		patterned += received.get_region()[at] == std::byte{0xa5} ? 1 : 0;
	EXPECT_EQ(patterned, 4U * 4096U);
	// The consumer goes first, so that the producer need not wait for it to expire.
	consumer.reset();
	producer.reset();
}

TEST_F(comch_worker_test, buffer_count_0_submits_nothing_and_runs_until_terminated)
{
	std::string const name = unique_name("empty");
	utility::comch_endpoint peer{{name, 4096, 4, 0, 0},
				     {[](utility::comch_endpoint *, uint32_t) {}, [](utility::comch_endpoint *, uint32_t) {}},
				     dev, nullptr};
	auto consumer = create_comch_consumer_worker(3, command(name, 4096, 0), dev, nullptr);
	consumer->start_async_init();
	std::atomic<bool> stop_peer{false};
	std::thread peer_poll{[&] {
		while (!stop_peer.load())
			peer.poll();
	}};
	{
		worker_thread thread{*consumer};
		std::this_thread::sleep_for(std::chrono::milliseconds{200});
		EXPECT_FALSE(thread.done.load());
		consumer->terminate();
		thread.join();
		EXPECT_EQ(thread.code, KOVA_SUCCESS) << thread.text;
	}
	stop_peer = true;
	peer_poll.join();
	EXPECT_TRUE(static_cast<comch_worker_base &>(*consumer).get_buffers().empty());
}

std::atomic<int> again_left{0};
std::atomic<int> submit_calls{0};

kova_error again_then_submit(kova_task *task)
{
	++submit_calls;
	if (again_left.fetch_sub(1) > 0)
		return KOVA_ERROR_AGAIN;
	return kova_task_submit(task);
}

kova_error always_again(kova_task * /*task*/)
{
	++submit_calls;
	return KOVA_ERROR_AGAIN;
}

kova_error always_refused(kova_task * /*task*/)
{
	++submit_calls;
	return KOVA_ERROR_NO_MEMORY;
}

TEST_F(comch_worker_test, initial_submission_retries_only_code_5_within_its_attempts)
{
	struct submit_case {
		const char *what;
		kova_error (*submit)(kova_task *);
		int again;
		kova_error code;
		const char *text;
		int calls;
	};
	for (auto const &c : {
		     submit_case{"two refusals then accepted", again_then_submit, 2, KOVA_SUCCESS, "", 2 + 2},
		     submit_case{"always 5", always_again, 0, KOVA_ERROR_IO_FAILED, "Unable to submit initial task[0]", 5},
		     submit_case{"other code at once", always_refused, 0, KOVA_ERROR_NO_MEMORY,
				 "Unable to submit initial task[0]", 1},
	     }) {
		SCOPED_TRACE(c.what);
		again_left = c.again;
		submit_calls = 0;
		comch_worker_timing timing;
		timing.submit_attempts = 5;
		timing.submit_retry_pause = std::chrono::microseconds{100};
		timing.submit = c.submit;
		std::string const name = unique_name("submit");
		auto consumer = create_comch_consumer_worker(4, command(name, 4096, 2), dev, nullptr, timing);
		auto producer = create_comch_producer_worker(5, command(name, 4096, 2), dev, nullptr);
		consumer->start_async_init();
		producer->start_async_init();
		::testing::internal::CaptureStderr();
		worker_thread consumer_thread{*consumer};
		while (!consumer_thread.done.load() && submit_calls.load() < c.calls)
			std::this_thread::yield();
		std::this_thread::sleep_for(std::chrono::milliseconds{50});
		consumer->terminate();
		consumer_thread.join();
		std::string const err = ::testing::internal::GetCapturedStderr();
		EXPECT_EQ(consumer_thread.code, c.code) << consumer_thread.text;
		EXPECT_EQ(consumer_thread.text, c.text);
		EXPECT_EQ(submit_calls.load(), c.calls);
		EXPECT_EQ(err.find("Failed to submit initial task after 3 seconds") != std::string::npos,
			  c.code == KOVA_ERROR_IO_FAILED)
			<< err;
		producer->terminate();
		consumer.reset();
		// The producer never ran its thread: destroying it joins its set-up.
		producer.reset();
	}
}

TEST_F(comch_worker_test, set_up_failure_is_reported_once_and_the_pool_keeps_serving)
{
	struct setup_case {
		const char *what;
		std::chrono::milliseconds wait;
		kova_error code;
		const char *message;
	};
	for (auto const &c : {
		     setup_case{"no consumer before the deadline", std::chrono::milliseconds{600}, KOVA_ERROR_TIME_OUT,
				"Worker 1 (comch_producer, core 6) failed: Timed out"},
		     setup_case{"terminated while waiting", std::chrono::milliseconds{0}, KOVA_ERROR_SHUTDOWN,
				"Worker 1 (comch_producer, core 6) failed: Aborted"},
	     }) {
		SCOPED_TRACE(c.what);
		companion::error_seen = false;
		comch_worker_timing timing;
		timing.setup_limit = std::chrono::milliseconds{200};
		if (c.code == KOVA_ERROR_SHUTDOWN)
			timing.setup_limit = std::chrono::milliseconds{20'000};
		pool workers{{5, 6}};
		// A producer whose peer never connects.
		ASSERT_TRUE(workers.add_worker(
			create_comch_producer_worker(1, command(unique_name("lonely"), 4096, 2), dev, nullptr, timing)));
		::testing::internal::CaptureStdout();
		::testing::internal::CaptureStderr();
		auto const started = std::chrono::steady_clock::now();
		workers.start_workers();
		std::this_thread::sleep_for(c.wait);
		std::string text;
		kova_error code = KOVA_SUCCESS;
		try {
			workers.stop_worker(1);
		} catch (const kova::exception &e) {
			code = e.code();
			text = e.what();
		}
		auto const took = std::chrono::steady_clock::now() - started;
		::testing::internal::GetCapturedStdout();
		std::string const err = ::testing::internal::GetCapturedStderr();
		EXPECT_EQ(code, c.code);
		EXPECT_EQ(text, c.message);
		EXPECT_LT(took, std::chrono::seconds{5});
		EXPECT_NE(err.find("Async init failed: "), std::string::npos) << err;
		EXPECT_EQ(err.find("Async init failed: ", err.find("Async init failed: ") + 1), std::string::npos) << err;
		EXPECT_NO_THROW(workers.stop_worker(1));

		// Still serving: a working pair on the other core and a fresh name.
		std::string const name = unique_name("after");
		workers.terminate_worker(1);
		ASSERT_TRUE(workers.add_worker(create_comch_consumer_worker(2, command(name, 4096, 2), dev, nullptr)));
		auto producer = create_comch_producer_worker(3, command(name, 4096, 2), dev, nullptr);
		producer->start_async_init();
		workers.start_workers();
		{
			worker_thread producer_thread{*producer};
			std::this_thread::sleep_for(std::chrono::milliseconds{200});
			producer->terminate();
			producer_thread.join();
			EXPECT_EQ(producer_thread.code, KOVA_SUCCESS) << producer_thread.text;
		}
		EXPECT_NO_THROW(workers.stop_worker(2));
		EXPECT_NO_THROW(workers.terminate_all_workers());
	}
}

TEST_F(comch_worker_test, destroying_a_producer_whose_consumer_never_appears_does_not_block)
{
	auto producer = create_comch_producer_worker(6, command(unique_name("never"), 4096, 2), dev, nullptr);
	producer->start_async_init();
	std::this_thread::sleep_for(std::chrono::milliseconds{50});
	::testing::internal::CaptureStderr();
	auto const started = std::chrono::steady_clock::now();
	producer.reset();
	::testing::internal::GetCapturedStderr();
	EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds{2});
}

} // namespace
} // namespace kova::bench::companion::worker
