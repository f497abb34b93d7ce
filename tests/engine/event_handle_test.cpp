// Unit tests for src/impl/event_handle_posix.cpp
#include "impl/event_handle.hpp"

#include "kova_exception.hpp"
#include "sdk/copy_fixture.hpp"
#include "support/kova_throws.hpp"

#include <chrono>

namespace {

using kova::sdk_test::copy_as_task;
using kova::sdk_test::copy_task;
using clock_type = std::chrono::steady_clock;

using event_handle = kova::sdk_test::copy_fixture;

TEST_F(event_handle, returns_at_once_when_a_completion_is_waiting)
{
	start();
	auto handle = kova::bench::impl::make_event_handle(pe.get());
	copy_task *task = make_task(input("abc"), output(8), 1);
	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);

	auto const before = clock_type::now();
	EXPECT_TRUE(handle->arm_and_wait(10000));
	EXPECT_LT(clock_type::now() - before, std::chrono::seconds{5}) << "waited for the time-out";
	EXPECT_EQ(drain(), 1);
	EXPECT_EQ(completions.size(), 1u);

	// The signal was cleared: with nothing left in flight the next wait times out.
	EXPECT_FALSE(handle->arm_and_wait(0));
}

TEST_F(event_handle, waits_the_whole_time_out_with_nothing_in_flight)
{
	start();
	auto handle = kova::bench::impl::make_event_handle(pe.get());
	auto const before = clock_type::now();
	EXPECT_FALSE(handle->arm_and_wait(200));
	EXPECT_GE(clock_type::now() - before, std::chrono::milliseconds{190});
}

TEST(event_handle_creation, engine_failure_carries_the_sdk_code)
{
	EXPECT_KOVA_THROW(kova::bench::impl::make_event_handle(nullptr), KOVA_ERROR_INVALID_VALUE,
			  "kova_pe_get_notification_handle failed");
}

} // namespace
