// Tests for the stand-in's test-control interface.
#include "copy_fixture.hpp"

#include <kova/dev.h>
#include <kova/test_control.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kova::sdk_test {
namespace {

using test_control = copy_fixture;

std::string read_trace()
{
	std::string text(kova_test_trace_read(nullptr, 0), '\0');
	kova_test_trace_read(text.data(), text.size() + 1);
	return text;
}

TEST_F(test_control, injected_completion_status_fails_the_next_completions_without_running_them)
{
	start();
	copy_task *task = make_task(input("a"), output(8), 1);
	kova_test_inject_completion_status(copy_as_ctx(lib), KOVA_ERROR_IO_FAILED, 2);
	for (int round = 0; round < 3; ++round) {
		ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
		ASSERT_EQ(kova_pe_progress(pe.get()), 1);
	}
	ASSERT_EQ(completions.size(), 3u);
	EXPECT_FALSE(completions[0].success_callback);
	EXPECT_EQ(completions[0].status, KOVA_ERROR_IO_FAILED);
	EXPECT_FALSE(completions[1].success_callback);
	EXPECT_TRUE(completions[2].success_callback);
	EXPECT_EQ(task->executions, 1u);
	kova_test_counters counters{};
	ASSERT_EQ(kova_test_pe_get_counters(pe.get(), &counters), KOVA_SUCCESS);
	EXPECT_EQ(counters.error_completions, 2u);
}

TEST_F(test_control, an_injection_for_another_context_leaves_this_one_alone)
{
	start();
	copy_task *task = make_task(input("a"), output(8), 1);
	int other = 0;
	kova_test_inject_completion_status(reinterpret_cast<const kova_ctx *>(&other), KOVA_ERROR_IO_FAILED, 1);
	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	ASSERT_EQ(kova_pe_progress(pe.get()), 1);
	EXPECT_TRUE(completions.at(0).success_callback);
}

TEST_F(test_control, injected_submission_results_apply_to_the_chosen_calls_only)
{
	start();
	copy_task *task = make_task(input("a"), output(8), 1);
	kova_test_inject_submit_result(nullptr, KOVA_TEST_TRY_SUBMIT, KOVA_ERROR_AGAIN, 1);
	kova_test_inject_submit_result(nullptr, KOVA_TEST_TRY_SUBMIT, KOVA_ERROR_NO_MEMORY, 1);

	EXPECT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS) << "plain submissions are not affected";
	ASSERT_EQ(kova_pe_progress(pe.get()), 1);
	EXPECT_EQ(kova_task_try_submit(copy_as_task(task)), KOVA_ERROR_AGAIN);
	EXPECT_EQ(kova_task_try_submit(copy_as_task(task)), KOVA_ERROR_NO_MEMORY);
	EXPECT_EQ(kova_pe_progress(pe.get()), 0) << "a refused submission accepts nothing";
	EXPECT_EQ(kova_task_try_submit(copy_as_task(task)), KOVA_SUCCESS);
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
}

TEST_F(test_control, held_completions_stall_the_engine_until_released)
{
	start();
	copy_task *task = make_task(input("a"), output(8), 1);
	kova_test_hold_completions(1);
	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	for (int i = 0; i < 10; ++i)
		EXPECT_EQ(kova_pe_progress(pe.get()), 0);
	EXPECT_TRUE(completions.empty());
	kova_test_hold_completions(0);
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
}

TEST_F(test_control, delayed_completions_take_at_least_the_delay_per_task_until_cleared)
{
	start();
	copy_task *first = make_task(input("a"), output(8), 1);
	copy_task *second = make_task(input("b"), output(8), 2);
	kova_test_delay_completions(2'000'000);
	ASSERT_EQ(kova_task_submit(copy_as_task(first)), KOVA_SUCCESS);
	ASSERT_EQ(kova_task_submit(copy_as_task(second)), KOVA_SUCCESS);
	auto const start_time = std::chrono::steady_clock::now();
	ASSERT_EQ(kova_pe_progress(pe.get()), 1);
	auto const delayed = std::chrono::steady_clock::now() - start_time;
	EXPECT_EQ(completions.size(), 2u);
	EXPECT_GE(delayed, std::chrono::milliseconds{4}) << "each delivered task waits the delay";

	kova_test_delay_completions(0);
	ASSERT_EQ(kova_task_submit(copy_as_task(first)), KOVA_SUCCESS);
	ASSERT_EQ(kova_pe_progress(pe.get()), 1);
	EXPECT_EQ(completions.size(), 3u);
	kova_test_delay_completions(500'000'000);
	kova_test_reset();
	ASSERT_EQ(kova_task_submit(copy_as_task(first)), KOVA_SUCCESS);
	auto const after_reset = std::chrono::steady_clock::now();
	ASSERT_EQ(kova_pe_progress(pe.get()), 1);
	EXPECT_LT(std::chrono::steady_clock::now() - after_reset, std::chrono::milliseconds{500})
		<< "a reset clears the delay";
}

// Each free or destroy of something the device still uses is refused and counted once; releasing
// what it gave back, or freeing a task twice, is not such a refusal.
TEST_F(test_control, refused_releases_count_what_was_still_in_use)
{
	start();
	copy_task *task = make_task(input("a"), output(8), 1);
	copy_task *idle = make_task(input("b"), output(8), 2);
	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	struct step {
		const char *name;
		std::function<kova_error()> release;
		kova_error result;
		uint64_t refused_after;
	};
	std::vector<step> const steps{
		{"free of the task in flight", [&] { return kova_task_free(copy_as_task(task)); }, KOVA_ERROR_BAD_STATE, 1},
		{"free of an idle task", [&] { return kova_task_free(copy_as_task(idle)); }, KOVA_SUCCESS, 1},
		{"second free of that task", [&] { return kova_task_free(copy_as_task(idle)); }, KOVA_ERROR_BAD_STATE, 1},
		{"destroy of the context", [&] { return copy_destroy(lib); }, KOVA_ERROR_BAD_STATE, 2},
		{"destroy of its engine", [&] { return kova_pe_destroy(pe.release()); }, KOVA_ERROR_BAD_STATE, 3},
		// The engine's destroy abandoned the task: it is given back.
		{"free of the abandoned task", [&] { return kova_task_free(copy_as_task(task)); }, KOVA_SUCCESS, 3},
	};
	EXPECT_EQ(kova_test_get_refused_releases(), 0u);
	for (auto const &s : steps) {
		SCOPED_TRACE(s.name);
		EXPECT_EQ(s.release(), s.result);
		EXPECT_EQ(kova_test_get_refused_releases(), s.refused_after);
	}
	tasks.clear();
	pe = new_pe();
	kova_test_reset();
	EXPECT_EQ(kova_test_get_refused_releases(), 0u) << "a reset clears the count";
}

TEST_F(test_control, process_counters_sum_every_engine_since_the_reset)
{
	start();
	copy_task *task = make_task(input("a"), output(8), 1);
	ASSERT_EQ(kova_task_submit_ex(copy_as_task(task), 0), KOVA_SUCCESS);
	ASSERT_EQ(kova_ctx_stop(copy_as_ctx(lib)), KOVA_ERROR_IN_PROGRESS);
	ASSERT_EQ(kova_pe_progress(pe.get()), 1);
	ASSERT_EQ(kova_pe_progress(pe.get()), 0);
	{
		pe_owner short_lived = new_pe();
		kova_pe_progress(short_lived.get());
	}
	kova_test_counters counters{};
	kova_test_get_counters(&counters);
	EXPECT_EQ(counters.submissions, 1u);
	EXPECT_EQ(counters.flushes, 1u);
	EXPECT_EQ(counters.completions, 1u);
	EXPECT_EQ(counters.progress_calls, 3u);
	EXPECT_EQ(counters.productive_progress_calls, 1u);

	kova_test_reset();
	kova_test_get_counters(&counters);
	EXPECT_EQ(counters.submissions, 0u);
	EXPECT_EQ(counters.progress_calls, 0u);
}

TEST_F(test_control, forced_results_and_the_trace)
{
	kova_test_trace_enable(1);
	kova_test_force_result("kova_mmap_start", KOVA_ERROR_DRIVER, 1);
	kova_mmap *map = nullptr;
	ASSERT_EQ(kova_mmap_create(&map), KOVA_SUCCESS);
	ASSERT_EQ(kova_mmap_set_permissions(map, 39), KOVA_SUCCESS);
	ASSERT_EQ(kova_mmap_set_memrange(map, memory.data(), 64), KOVA_SUCCESS);
	EXPECT_EQ(kova_mmap_start(map), KOVA_ERROR_DRIVER);
	EXPECT_EQ(kova_mmap_start(map), KOVA_SUCCESS) << "forced once only";
	ASSERT_EQ(kova_mmap_destroy(map), KOVA_SUCCESS);
	std::string const expected = "kova_mmap_create\nkova_mmap_set_permissions(39)\nkova_mmap_set_memrange(64)\n"
				     "kova_mmap_start\nkova_mmap_start\nkova_mmap_destroy\n";
	EXPECT_EQ(read_trace(), expected);
	kova_test_trace_enable(0);
	ASSERT_EQ(kova_mmap_create(&map), KOVA_SUCCESS);
	ASSERT_EQ(kova_mmap_destroy(map), KOVA_SUCCESS);
	EXPECT_EQ(read_trace(), expected) << "not recorded while disabled";
}

TEST_F(test_control, capability_overrides_answer_for_the_query)
{
	kova_devinfo **list = nullptr;
	uint32_t count = 0;
	ASSERT_EQ(kova_devinfo_create_list(&list, &count), KOVA_SUCCESS);
	ASSERT_GE(count, 1u);
	uint8_t supported = 0;
	ASSERT_EQ(kova_devinfo_rep_cap_is_filter_net_supported(list[0], &supported), KOVA_SUCCESS);
	EXPECT_EQ(supported, 1);

	kova_test_override_capability("kova_devinfo_rep_cap_is_filter_net_supported", KOVA_SUCCESS, 0);
	ASSERT_EQ(kova_devinfo_rep_cap_is_filter_net_supported(list[0], &supported), KOVA_SUCCESS);
	EXPECT_EQ(supported, 0);
	kova_dev *dev = nullptr;
	ASSERT_EQ(kova_dev_open(list[0], &dev), KOVA_SUCCESS);
	kova_devinfo_rep **reps = nullptr;
	uint32_t num_reps = 0;
	EXPECT_EQ(kova_devinfo_rep_create_list(dev, KOVA_DEVINFO_REP_FILTER_NET, &reps, &num_reps),
		  KOVA_ERROR_NOT_SUPPORTED);

	kova_test_override_capability("kova_devinfo_rep_cap_is_filter_net_supported", KOVA_ERROR_IO_FAILED, 0);
	EXPECT_EQ(kova_devinfo_rep_cap_is_filter_net_supported(list[0], &supported), KOVA_ERROR_IO_FAILED);

	kova_test_reset();
	ASSERT_EQ(kova_devinfo_rep_cap_is_filter_net_supported(list[0], &supported), KOVA_SUCCESS);
	EXPECT_EQ(supported, 1);
	EXPECT_EQ(kova_dev_close(dev), KOVA_SUCCESS);
	EXPECT_EQ(kova_devinfo_destroy_list(list), KOVA_SUCCESS);
}

} // namespace
} // namespace kova::sdk_test
