// Tests for the engine's notification handle (blocking mode).
#include "copy_fixture.hpp"

#include <kova/test_control.h>

#include <poll.h>

namespace kova::sdk_test {
namespace {

using notification = copy_fixture;

bool readable(kova_pe *pe)
{
	int fd = -1;
	EXPECT_EQ(kova_pe_get_notification_handle(pe, &fd), KOVA_SUCCESS);
	pollfd entry{fd, POLLIN, 0};
	return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}

TEST_F(notification, arming_with_a_flushed_task_waiting_signals_at_once)
{
	start();
	copy_task *task = make_task(input("a"), output(8), 1);
	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	EXPECT_FALSE(readable(pe.get())) << "not armed";
	ASSERT_EQ(kova_pe_request_notification(pe.get()), KOVA_SUCCESS);
	EXPECT_TRUE(readable(pe.get()));
	ASSERT_EQ(kova_pe_clear_notification(pe.get(), 0), KOVA_SUCCESS);
	EXPECT_FALSE(readable(pe.get())) << "cleared";
}

TEST_F(notification, an_armed_engine_is_woken_by_the_next_flushed_submission_only)
{
	start();
	copy_task *held = make_task(input("a"), output(8), 1);
	copy_task *flushing = make_task(input("b"), output(8), 2);
	ASSERT_EQ(kova_pe_request_notification(pe.get()), KOVA_SUCCESS);
	EXPECT_FALSE(readable(pe.get())) << "nothing to report";
	ASSERT_EQ(kova_task_submit_ex(copy_as_task(held), 0), KOVA_SUCCESS);
	EXPECT_FALSE(readable(pe.get())) << "an unflushed task is not available";
	ASSERT_EQ(kova_task_submit(copy_as_task(flushing)), KOVA_SUCCESS);
	EXPECT_TRUE(readable(pe.get()));
	ASSERT_EQ(kova_pe_clear_notification(pe.get(), 0), KOVA_SUCCESS);
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	EXPECT_EQ(completions.size(), 2u);
}

TEST_F(notification, clearing_an_unsignalled_handle_is_harmless)
{
	EXPECT_EQ(kova_pe_clear_notification(pe.get(), 0), KOVA_SUCCESS);
	EXPECT_FALSE(readable(pe.get()));
}

TEST_F(notification, a_stalled_device_does_not_signal)
{
	start();
	copy_task *task = make_task(input("a"), output(8), 1);
	kova_test_hold_completions(1);
	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	ASSERT_EQ(kova_pe_request_notification(pe.get()), KOVA_SUCCESS);
	EXPECT_FALSE(readable(pe.get()));
	EXPECT_EQ(kova_pe_progress(pe.get()), 0);
	kova_test_hold_completions(0);
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
}

} // namespace
} // namespace kova::sdk_test
