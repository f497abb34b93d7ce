// Tests for the stand-in's execution model: submission, the doorbell rule, delivery inside
// kova_pe_progress with its snapshot rule, and the task output rule.
#include "copy_fixture.hpp"

#include <kova/test_control.h>

namespace kova::sdk_test {
namespace {

using execution_model = copy_fixture;

TEST_F(execution_model, a_flushed_task_runs_in_a_later_progress_call_and_reports_through_its_callback)
{
	start();
	kova_buf *dst = output(16);
	copy_task *task = make_task(input("hello"), dst, 42);

	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	EXPECT_EQ(contents(dst), "") << "nothing runs inside the submission";
	EXPECT_TRUE(completions.empty());

	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	ASSERT_EQ(completions.size(), 1u);
	EXPECT_EQ(completions[0].task, copy_as_task(task));
	EXPECT_EQ(completions[0].task_user_data, 42u);
	EXPECT_EQ(completions[0].ctx_user_data, this);
	EXPECT_TRUE(completions[0].success_callback);
	EXPECT_EQ(completions[0].status, KOVA_SUCCESS);
	EXPECT_EQ(completions[0].in_flight_at_callback, 0u) << "taken out of flight before the callback";
	EXPECT_EQ(contents(dst), "hello");
	EXPECT_EQ(kova_pe_progress(pe.get()), 0);
}

TEST_F(execution_model, a_callback_resubmits_its_own_task_which_runs_in_the_next_call)
{
	start();
	kova_buf *dst = output(64);
	copy_task *task = make_task(input("ab"), dst, 1);
	int remaining = 3;
	on_complete = [&](kova_task *done) {
		if (--remaining > 0) {
			ASSERT_EQ(kova_task_submit(done), KOVA_SUCCESS);
		}
	};

	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	EXPECT_EQ(task->executions, 1u) << "the resubmission waits for the next call";
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	EXPECT_EQ(kova_pe_progress(pe.get()), 0);
	EXPECT_EQ(task->executions, 3u);
	EXPECT_EQ(contents(dst), "ababab") << "the task appends";
}

TEST_F(execution_model, one_call_delivers_every_task_flushed_when_it_began_and_no_later_one)
{
	start();
	std::vector<copy_task *> batch;
	for (uint64_t i = 0; i < 5; ++i)
		batch.push_back(make_task(input("x"), output(64), i));
	// Every completion submits the next task of a second batch.
	std::vector<copy_task *> second;
	for (uint64_t i = 0; i < 5; ++i)
		second.push_back(make_task(input("y"), output(64), 100 + i));
	size_t next_second = 0;
	on_complete = [&](kova_task *) {
		if (next_second < second.size()) {
			ASSERT_EQ(kova_task_submit(copy_as_task(second[next_second++])), KOVA_SUCCESS);
		}
	};

	for (copy_task *task : batch)
		ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	ASSERT_EQ(completions.size(), 5u);
	for (uint64_t i = 0; i < 5; ++i) {
		SCOPED_TRACE(i);
		EXPECT_EQ(completions[i].task_user_data, i) << "oldest first";
	}
	for (copy_task *task : second)
		EXPECT_EQ(task->executions, 0u);

	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	ASSERT_EQ(completions.size(), 10u);
	EXPECT_EQ(completions[9].task_user_data, 104u);
}

TEST_F(execution_model, tasks_of_several_contexts_complete_in_flush_order)
{
	start();
	copy_instance *other = copy_create();
	ASSERT_EQ(kova_ctx_set_user_data(copy_as_ctx(other), kova_data{.ptr = this}), KOVA_SUCCESS);
	ASSERT_EQ(copy_set_conf(other, on_success, on_error, 4), KOVA_SUCCESS);
	ASSERT_EQ(kova_pe_connect_ctx(pe.get(), copy_as_ctx(other)), KOVA_SUCCESS);
	ASSERT_EQ(kova_ctx_start(copy_as_ctx(other)), KOVA_SUCCESS);
	copy_task *theirs = nullptr;
	ASSERT_EQ(copy_alloc_init(other, input("b"), output(8), kova_data{.u64 = 2}, &theirs), KOVA_SUCCESS);

	copy_task *first = make_task(input("a"), output(8), 1);
	copy_task *third = make_task(input("c"), output(8), 3);
	ASSERT_EQ(kova_task_submit(copy_as_task(first)), KOVA_SUCCESS);
	ASSERT_EQ(kova_task_submit(copy_as_task(theirs)), KOVA_SUCCESS);
	ASSERT_EQ(kova_task_submit(copy_as_task(third)), KOVA_SUCCESS);
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	ASSERT_EQ(completions.size(), 3u);
	EXPECT_EQ(completions[0].task_user_data, 1u);
	EXPECT_EQ(completions[1].task_user_data, 2u);
	EXPECT_EQ(completions[2].task_user_data, 3u);

	ASSERT_EQ(kova_task_free(copy_as_task(theirs)), KOVA_SUCCESS);
	ASSERT_EQ(kova_ctx_stop(copy_as_ctx(other)), KOVA_SUCCESS);
	ASSERT_EQ(copy_destroy(other), KOVA_SUCCESS);
}

TEST_F(execution_model, an_unflushed_submission_waits_for_a_flushed_one_on_the_same_context)
{
	start();
	copy_task *held = make_task(input("1"), output(8), 1);
	copy_task *also_held = make_task(input("2"), output(8), 2);
	copy_task *flushing = make_task(input("3"), output(8), 3);

	ASSERT_EQ(kova_task_submit_ex(copy_as_task(held), KOVA_TASK_SUBMIT_FLAG_NONE), KOVA_SUCCESS);
	ASSERT_EQ(kova_task_submit_ex(copy_as_task(also_held), KOVA_TASK_SUBMIT_FLAG_OPTIMIZE_REPORTS), KOVA_SUCCESS);
	EXPECT_EQ(kova_pe_progress(pe.get()), 0) << "no doorbell yet";
	size_t in_flight = 0;
	ASSERT_EQ(kova_ctx_get_num_inflight_tasks(copy_as_ctx(lib), &in_flight), KOVA_SUCCESS);
	EXPECT_EQ(in_flight, 2u) << "accepted tasks count as in flight";

	ASSERT_EQ(kova_task_submit_ex(copy_as_task(flushing),
				      KOVA_TASK_SUBMIT_FLAG_FLUSH | KOVA_TASK_SUBMIT_FLAG_OPTIMIZE_REPORTS),
		  KOVA_SUCCESS);
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	ASSERT_EQ(completions.size(), 3u) << "minimal reports still deliver one callback per task";
	EXPECT_EQ(completions[0].task_user_data, 1u);
	EXPECT_EQ(completions[1].task_user_data, 2u);
	EXPECT_EQ(completions[2].task_user_data, 3u);

	kova_test_counters counters{};
	ASSERT_EQ(kova_test_ctx_get_counters(copy_as_ctx(lib), &counters), KOVA_SUCCESS);
	EXPECT_EQ(counters.submissions, 3u);
	EXPECT_EQ(counters.flushes, 1u);
}

TEST_F(execution_model, a_flush_on_another_context_does_not_ring_this_one)
{
	start();
	copy_instance *other = copy_create();
	ASSERT_EQ(kova_ctx_set_user_data(copy_as_ctx(other), kova_data{.ptr = this}), KOVA_SUCCESS);
	ASSERT_EQ(copy_set_conf(other, on_success, on_error, 1), KOVA_SUCCESS);
	ASSERT_EQ(kova_pe_connect_ctx(pe.get(), copy_as_ctx(other)), KOVA_SUCCESS);
	ASSERT_EQ(kova_ctx_start(copy_as_ctx(other)), KOVA_SUCCESS);
	copy_task *theirs = nullptr;
	ASSERT_EQ(copy_alloc_init(other, input("b"), output(8), kova_data{.u64 = 2}, &theirs), KOVA_SUCCESS);
	copy_task *held = make_task(input("a"), output(8), 1);

	ASSERT_EQ(kova_task_submit_ex(copy_as_task(held), 0), KOVA_SUCCESS);
	ASSERT_EQ(kova_task_submit(copy_as_task(theirs)), KOVA_SUCCESS);
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	ASSERT_EQ(completions.size(), 1u);
	EXPECT_EQ(completions[0].task_user_data, 2u);
	EXPECT_EQ(held->executions, 0u);

	ASSERT_EQ(kova_task_free(copy_as_task(theirs)), KOVA_SUCCESS);
	ASSERT_EQ(kova_ctx_stop(copy_as_ctx(other)), KOVA_SUCCESS);
	ASSERT_EQ(copy_destroy(other), KOVA_SUCCESS);
}

TEST_F(execution_model, submission_refusals)
{
	lib->copy.max_source_len = 4;
	start(2);
	copy_task *task = make_task(input("abcd"), output(8), 1);
	copy_task *too_big = make_task(input("abcde"), output(8), 2);

	EXPECT_EQ(kova_task_submit(nullptr), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_task_submit(copy_as_task(too_big)), KOVA_ERROR_INVALID_VALUE) << "sources beyond the maximum";
	EXPECT_EQ(kova_task_submit_ex(copy_as_task(task), 4), KOVA_ERROR_INVALID_VALUE) << "unknown flag";
	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	EXPECT_EQ(kova_task_submit(copy_as_task(task)), KOVA_ERROR_BAD_STATE) << "already in flight";
	EXPECT_EQ(kova_task_try_submit(copy_as_task(task)), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_task_free(copy_as_task(task)), KOVA_ERROR_BAD_STATE) << "in flight";
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	ASSERT_EQ(completions.size(), 1u);

	ASSERT_EQ(kova_task_free(copy_as_task(task)), KOVA_SUCCESS);
	EXPECT_EQ(kova_task_free(copy_as_task(task)), KOVA_ERROR_BAD_STATE) << "already free";
	EXPECT_EQ(kova_task_submit(copy_as_task(task)), KOVA_ERROR_BAD_STATE) << "freed";
	tasks.erase(tasks.begin());
}

TEST_F(execution_model, the_pool_holds_the_configured_number_of_tasks)
{
	start(2);
	make_task(input("a"), output(8), 1);
	make_task(input("b"), output(8), 2);
	copy_task *extra = nullptr;
	EXPECT_EQ(copy_alloc_init(lib, input("c"), output(8), kova_data{.u64 = 3}, &extra), KOVA_ERROR_NO_MEMORY);

	ASSERT_EQ(kova_task_free(copy_as_task(tasks.back())), KOVA_SUCCESS);
	tasks.pop_back();
	EXPECT_EQ(copy_alloc_init(lib, input("c"), output(8), kova_data{.u64 = 3}, &extra), KOVA_SUCCESS);
	tasks.push_back(extra);
	uint32_t configured = 0;
	uint32_t allocated = 0;
	ASSERT_EQ(kova_test_ctx_get_num_tasks(copy_as_ctx(lib), &configured, &allocated), KOVA_SUCCESS);
	EXPECT_EQ(configured, 2u);
	EXPECT_EQ(allocated, 2u);
	EXPECT_EQ(kova_test_get_last_num_tasks(), 2u);
}

TEST_F(execution_model, a_destination_without_room_completes_the_task_with_an_error_and_writes_nothing)
{
	start();
	kova_buf *dst = output(4);
	copy_task *task = make_task(input("abcde"), dst, 7);
	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	ASSERT_EQ(completions.size(), 1u);
	EXPECT_FALSE(completions[0].success_callback);
	EXPECT_EQ(completions[0].status, KOVA_ERROR_NO_MEMORY);
	EXPECT_EQ(contents(dst), "");
}

TEST_F(execution_model, a_task_reads_every_source_element_and_fills_each_destination_element_in_turn)
{
	start();
	kova_buf *src = input("abc");
	ASSERT_EQ(kova_buf_chain_list(src, input("defg")), KOVA_SUCCESS);
	ASSERT_EQ(kova_buf_chain_list(src, input("hi")), KOVA_SUCCESS);
	kova_buf *dst = output(4);
	kova_buf *second = output(3);
	kova_buf *third = output(10);
	ASSERT_EQ(kova_buf_chain_list(dst, second), KOVA_SUCCESS);
	ASSERT_EQ(kova_buf_chain_list(dst, third), KOVA_SUCCESS);

	copy_task *task = make_task(src, dst, 1);
	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	ASSERT_EQ(completions.size(), 1u);
	EXPECT_EQ(completions[0].status, KOVA_SUCCESS);
	size_t lengths[3] = {};
	kova_buf_get_data_len(dst, &lengths[0]);
	kova_buf_get_data_len(second, &lengths[1]);
	kova_buf_get_data_len(third, &lengths[2]);
	EXPECT_EQ(lengths[0], 4u);
	EXPECT_EQ(lengths[1], 3u);
	EXPECT_EQ(lengths[2], 2u);
	EXPECT_EQ(contents(dst), "abcdefghi");
}

TEST_F(execution_model, context_and_kind_preconditions)
{
	copy_task *task = nullptr;
	EXPECT_EQ(kova_ctx_start(copy_as_ctx(lib)), KOVA_ERROR_BAD_STATE) << "not connected";
	ASSERT_EQ(kova_pe_connect_ctx(pe.get(), copy_as_ctx(lib)), KOVA_SUCCESS);
	EXPECT_EQ(kova_pe_connect_ctx(pe.get(), copy_as_ctx(lib)), KOVA_ERROR_BAD_STATE) << "connected twice";
	EXPECT_EQ(kova_ctx_start(copy_as_ctx(lib)), KOVA_ERROR_BAD_STATE) << "no task kind configured";
	EXPECT_EQ(copy_set_conf(lib, on_success, on_error, 0), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(copy_set_conf(lib, nullptr, on_error, 1), KOVA_ERROR_INVALID_VALUE);
	ASSERT_EQ(copy_set_conf(lib, on_success, on_error, 4), KOVA_SUCCESS);
	EXPECT_EQ(copy_alloc_init(lib, input("a"), output(2), kova_data{.u64 = 1}, &task), KOVA_ERROR_BAD_STATE)
		<< "not running";
	ASSERT_EQ(kova_ctx_start(copy_as_ctx(lib)), KOVA_SUCCESS);
	EXPECT_EQ(kova_ctx_start(copy_as_ctx(lib)), KOVA_ERROR_BAD_STATE) << "already running";
	EXPECT_EQ(copy_set_conf(lib, on_success, on_error, 8), KOVA_ERROR_BAD_STATE) << "configured while running";
	kova_ctx_states state = KOVA_CTX_STATE_IDLE;
	ASSERT_EQ(kova_ctx_get_state(copy_as_ctx(lib), &state), KOVA_SUCCESS);
	EXPECT_EQ(state, KOVA_CTX_STATE_RUNNING);
}

} // namespace
} // namespace kova::sdk_test
