// Tests of the companion's worker pool, over fake workers.
#include "companion/process_flags.hpp"
#include "companion/worker/pool.hpp"
#include "companion/fake_worker.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using kova::bench::companion::worker::pool;
using kova::test::fake_worker;
using kova::test::fake_worker_log;

class pool_test : public ::testing::Test {
protected:
	void SetUp() override { kova::bench::companion::error_seen = false; }
	void TearDown() override { kova::bench::companion::error_seen = false; }

	std::unique_ptr<fake_worker> make(uint32_t id, fake_worker::fault f = fake_worker::fault::none)
	{
		return std::make_unique<fake_worker>(id, log, f);
	}

	fake_worker_log log;
};

kova_error code_of(const std::function<void()> &call, std::string *text = nullptr)
{
	try {
		call();
	} catch (const kova::exception &e) {
		if (text != nullptr)
			*text = e.what();
		return e.code();
	}
	return KOVA_SUCCESS;
}

TEST_F(pool_test, hands_out_cores_from_the_back_and_refuses_a_worker_beyond_them)
{
	pool workers{{2, 3, 4}};
	EXPECT_TRUE(workers.add_worker(make(1)));
	EXPECT_TRUE(workers.add_worker(make(2)));
	EXPECT_TRUE(workers.add_worker(make(3)));
	EXPECT_EQ(*workers.get_core_of(1), 4);
	EXPECT_EQ(*workers.get_core_of(2), 3);
	EXPECT_EQ(*workers.get_core_of(3), 2);
	EXPECT_FALSE(workers.add_worker(make(4)));
	EXPECT_EQ(log.destroyed, std::vector<uint32_t>{4});
	EXPECT_EQ(workers.get_active_worker_count(), 3u);
	EXPECT_EQ(workers.get_free_worker_slot_count(), 0u);
	EXPECT_EQ(workers.get_max_worker_count(), 3u);

	// Terminating the first keeps the others in order and frees its core for the next worker.
	workers.terminate_worker(1);
	EXPECT_FALSE(workers.get_core_of(1).has_value());
	EXPECT_TRUE(workers.add_worker(make(5)));
	EXPECT_EQ(*workers.get_core_of(5), 4);
	workers.terminate_worker(99);
	EXPECT_EQ(workers.get_active_worker_count(), 3u);

	// Destroying all returns every core in the given order: the last one comes first again.
	workers.start_workers();
	workers.terminate_all_workers();
	EXPECT_EQ(log.destroyed, (std::vector<uint32_t>{4, 1, 2, 3, 5}));
	EXPECT_EQ(workers.get_free_worker_slot_count(), 3u);
	EXPECT_TRUE(workers.add_worker(make(6)));
	EXPECT_EQ(*workers.get_core_of(6), 4);
	EXPECT_FALSE(kova::bench::companion::error_seen);
}

TEST_F(pool_test, starts_each_thread_once_and_stopping_joins_without_freeing_the_core)
{
	pool workers{{7, 8}};
	ASSERT_TRUE(workers.add_worker(make(1)));
	ASSERT_TRUE(workers.add_worker(make(2)));
	workers.start_workers();
	workers.start_workers();
	workers.start_worker(1);
	while (log.running.load() != 2)
		std::this_thread::yield();
	EXPECT_EQ(log.thread_procs.load(), 2);

	workers.stop_worker(2);
	// stop_worker returns after the join: the thread has left thread_proc.
	EXPECT_EQ(log.running.load(), 1);
	EXPECT_EQ(workers.get_active_worker_count(), 2u);
	EXPECT_EQ(workers.get_free_worker_slot_count(), 0u);
	EXPECT_TRUE(log.destroyed.empty());

	// A stopped worker is not started again.
	workers.start_workers();
	EXPECT_EQ(log.thread_procs.load(), 2);

	EXPECT_EQ(code_of([&] { workers.stop_worker(3); }), KOVA_ERROR_NOT_FOUND);
	EXPECT_EQ(code_of([&] { workers.start_worker(3); }), KOVA_ERROR_NOT_FOUND);

	workers.stop_all_workers();
	EXPECT_EQ(log.running.load(), 0);
	EXPECT_EQ(workers.get_active_worker_count(), 2u);
	workers.terminate_all_workers();
	EXPECT_EQ(log.destroyed, (std::vector<uint32_t>{1, 2}));
}

TEST_F(pool_test, destroying_the_pool_stops_and_destroys_workers_in_order)
{
	{
		pool workers{{1, 2, 3}};
		for (uint32_t id = 1; id <= 3; ++id)
			ASSERT_TRUE(workers.add_worker(make(id)));
		workers.start_workers();
		while (log.running.load() != 3)
			std::this_thread::yield();
	}
	EXPECT_EQ(log.running.load(), 0);
	EXPECT_EQ(log.destroyed, (std::vector<uint32_t>{1, 2, 3}));
}

TEST_F(pool_test, a_failing_thread_is_reported_once_and_stays_joinable)
{
	struct fault_case {
		fake_worker::fault fault;
		kova_error code;
		const char *report;
		const char *message;
	};
	for (auto const &c : {
		     fault_case{fake_worker::fault::throw_in_thread, KOVA_ERROR_IO_FAILED,
				"[worker id: 1, type: fake, core: 5] Caught kova::exception. \n\tcode: \"",
				"Worker 1 (fake, core 5) failed: fake worker lost its peer"},
		     fault_case{fake_worker::fault::throw_std_in_thread, KOVA_ERROR_INVALID_VALUE,
				"[worker id: 1, type: fake, core: 5] Unexpected exception: fake worker broke",
				"Worker 1 (fake, core 5) failed: fake worker broke"},
	     }) {
		SCOPED_TRACE(c.message);
		kova::bench::companion::error_seen = false;
		log.thread_procs = 0;
		pool workers{{5}};
		ASSERT_TRUE(workers.add_worker(make(1, c.fault)));
		::testing::internal::CaptureStdout();
		workers.start_workers();
		while (log.thread_procs.load() == 0)
			std::this_thread::yield();
		std::string text;
		EXPECT_EQ(code_of([&] { workers.stop_worker(1); }, &text), c.code);
		std::string const printed = ::testing::internal::GetCapturedStdout();
		EXPECT_EQ(printed.find(c.report), 0u) << printed;
		EXPECT_EQ(printed.find("[worker id: ", 1), std::string::npos) << printed;
		EXPECT_EQ(text, c.message);
		EXPECT_TRUE(kova::bench::companion::error_seen);
		// Reported once: the next stop and the destroy pass quietly.
		EXPECT_EQ(code_of([&] { workers.stop_worker(1); }), KOVA_SUCCESS);
		EXPECT_EQ(code_of([&] { workers.terminate_all_workers(); }), KOVA_SUCCESS);
	}
}

TEST_F(pool_test, destroy_reports_a_failure_that_no_stop_reported)
{
	pool workers{{5, 6}};
	ASSERT_TRUE(workers.add_worker(make(1)));
	ASSERT_TRUE(workers.add_worker(make(2, fake_worker::fault::throw_in_thread)));
	::testing::internal::CaptureStdout();
	workers.start_workers();
	while (log.thread_procs.load() != 2)
		std::this_thread::yield();
	std::string text;
	EXPECT_EQ(code_of([&] { workers.terminate_all_workers(); }, &text), KOVA_ERROR_IO_FAILED);
	::testing::internal::GetCapturedStdout();
	EXPECT_EQ(text, "Worker 2 (fake, core 5) failed: fake worker lost its peer");
	EXPECT_EQ(workers.get_active_worker_count(), 0u);
	EXPECT_EQ(workers.get_free_worker_slot_count(), 2u);
}

TEST_F(pool_test, a_failing_async_init_removes_the_worker_and_returns_its_core_once)
{
	pool workers{{2, 3}};
	ASSERT_TRUE(workers.add_worker(make(1)));
	std::string text;
	EXPECT_EQ(code_of([&] { workers.add_worker(make(2, fake_worker::fault::throw_in_async_init)); }, &text),
		  KOVA_ERROR_NO_MEMORY);
	EXPECT_EQ(text, "fake worker has no memory");
	EXPECT_EQ(log.destroyed, std::vector<uint32_t>{2});
	EXPECT_EQ(workers.get_active_worker_count(), 1u);
	EXPECT_EQ(workers.get_free_worker_slot_count(), 1u);
	ASSERT_TRUE(workers.add_worker(make(3)));
	EXPECT_EQ(*workers.get_core_of(3), 2);
	EXPECT_FALSE(workers.add_worker(make(4)));
}

} // namespace
