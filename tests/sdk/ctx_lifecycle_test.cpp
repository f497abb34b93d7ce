// Tests for stopping and destroying contexts and engines with tasks in flight.
#include "copy_fixture.hpp"

#include <utility>
#include <vector>

namespace kova::sdk_test {
namespace {

using ctx_lifecycle = copy_fixture;

kova_ctx_states state_of(kova_ctx *ctx)
{
	kova_ctx_states state = KOVA_CTX_STATE_RUNNING;
	EXPECT_EQ(kova_ctx_get_state(ctx, &state), KOVA_SUCCESS);
	return state;
}

TEST_F(ctx_lifecycle, stop_with_nothing_in_flight_is_immediate)
{
	start();
	EXPECT_EQ(kova_ctx_stop(copy_as_ctx(lib)), KOVA_SUCCESS);
	EXPECT_EQ(state_of(copy_as_ctx(lib)), KOVA_CTX_STATE_IDLE);
	EXPECT_EQ(kova_ctx_stop(copy_as_ctx(lib)), KOVA_SUCCESS) << "an idle context has nothing to stop";
}

TEST_F(ctx_lifecycle, stop_with_tasks_in_flight_answers_in_progress_until_progress_delivers_them)
{
	start();
	copy_task *flushed = make_task(input("a"), output(8), 1);
	copy_task *unflushed = make_task(input("b"), output(8), 2);
	ASSERT_EQ(kova_task_submit(copy_as_task(flushed)), KOVA_SUCCESS);
	ASSERT_EQ(kova_task_submit_ex(copy_as_task(unflushed), 0), KOVA_SUCCESS);
	bool resubmit_refused = false;
	on_complete = [&](kova_task *task) {
		resubmit_refused = kova_task_submit(task) == KOVA_ERROR_BAD_STATE;
	};

	EXPECT_EQ(kova_ctx_stop(copy_as_ctx(lib)), KOVA_ERROR_IN_PROGRESS);
	EXPECT_EQ(state_of(copy_as_ctx(lib)), KOVA_CTX_STATE_STOPPING);
	EXPECT_EQ(kova_ctx_stop(copy_as_ctx(lib)), KOVA_ERROR_IN_PROGRESS);
	copy_task *late = nullptr;
	EXPECT_EQ(copy_alloc_init(lib, input("c"), output(8), kova_data{.u64 = 3}, &late), KOVA_ERROR_BAD_STATE);

	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	EXPECT_EQ(completions.size(), 2u) << "the stop rang the doorbell for the unflushed task";
	EXPECT_TRUE(resubmit_refused) << "a stopping context takes no new work";
	EXPECT_EQ(state_of(copy_as_ctx(lib)), KOVA_CTX_STATE_IDLE);
	EXPECT_EQ(kova_ctx_stop(copy_as_ctx(lib)), KOVA_SUCCESS);
}

std::vector<std::pair<kova_ctx_states, kova_ctx_states>> seen_transitions;

void record_transition(kova_data, kova_ctx *, kova_ctx_states prev, kova_ctx_states next)
{
	seen_transitions.emplace_back(prev, next);
}

TEST_F(ctx_lifecycle, the_state_change_callback_sees_every_transition_and_is_set_while_idle)
{
	seen_transitions.clear();
	ASSERT_EQ(kova_ctx_set_state_changed_cb(copy_as_ctx(lib), record_transition), KOVA_SUCCESS);
	start();
	EXPECT_EQ(kova_ctx_set_state_changed_cb(copy_as_ctx(lib), nullptr), KOVA_ERROR_BAD_STATE);
	copy_task *task = make_task(input("a"), output(8), 1);
	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	EXPECT_EQ(kova_ctx_stop(copy_as_ctx(lib)), KOVA_ERROR_IN_PROGRESS);
	kova_pe_progress(pe.get());
	using transition = std::pair<kova_ctx_states, kova_ctx_states>;
	EXPECT_EQ(seen_transitions, (std::vector<transition>{{KOVA_CTX_STATE_IDLE, KOVA_CTX_STATE_STARTING},
							      {KOVA_CTX_STATE_STARTING, KOVA_CTX_STATE_RUNNING},
							      {KOVA_CTX_STATE_RUNNING, KOVA_CTX_STATE_STOPPING},
							      {KOVA_CTX_STATE_STOPPING, KOVA_CTX_STATE_IDLE}}));
	EXPECT_EQ(kova_ctx_set_state_changed_cb(nullptr, nullptr), KOVA_ERROR_INVALID_VALUE);
}

TEST_F(ctx_lifecycle, the_user_data_reads_back)
{
	int owner = 0;
	kova_data read{};
	ASSERT_EQ(kova_ctx_set_user_data(copy_as_ctx(lib), kova_data{.ptr = &owner}), KOVA_SUCCESS);
	ASSERT_EQ(kova_ctx_get_user_data(copy_as_ctx(lib), &read), KOVA_SUCCESS);
	EXPECT_EQ(read.ptr, &owner);
	EXPECT_EQ(kova_ctx_get_user_data(nullptr, &read), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_ctx_get_user_data(copy_as_ctx(lib), nullptr), KOVA_ERROR_INVALID_VALUE);
}

TEST_F(ctx_lifecycle, destroy_is_refused_while_tasks_are_in_flight)
{
	start();
	copy_task *task = make_task(input("a"), output(8), 1);
	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	EXPECT_EQ(copy_destroy(lib), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_pe_progress(pe.get()), 1);
	EXPECT_EQ(kova_task_free(copy_as_task(task)), KOVA_SUCCESS);
	tasks.clear();
	EXPECT_EQ(copy_destroy(lib), KOVA_SUCCESS) << "a running context without work may be destroyed";
	lib = nullptr;
}

TEST_F(ctx_lifecycle, a_destroyed_context_leaves_its_engine)
{
	start();
	ASSERT_EQ(copy_destroy(lib), KOVA_SUCCESS);
	lib = nullptr;
	EXPECT_EQ(kova_pe_destroy(pe.release()), KOVA_SUCCESS) << "no context left connected";
}

TEST_F(ctx_lifecycle, destroying_an_engine_detaches_its_contexts_and_abandons_their_tasks)
{
	start();
	copy_task *task = make_task(input("a"), output(8), 1);
	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	unsigned const stops = copy_stop_count;
	EXPECT_EQ(kova_pe_destroy(pe.release()), KOVA_ERROR_BAD_STATE);
	EXPECT_TRUE(completions.empty());
	EXPECT_EQ(state_of(copy_as_ctx(lib)), KOVA_CTX_STATE_IDLE);
	EXPECT_EQ(copy_stop_count, stops + 1) << "the detached context's resources are released once";
	size_t in_flight = 1;
	ASSERT_EQ(kova_ctx_get_num_inflight_tasks(copy_as_ctx(lib), &in_flight), KOVA_SUCCESS);
	EXPECT_EQ(in_flight, 0u);
	EXPECT_EQ(kova_task_free(copy_as_task(task)), KOVA_SUCCESS);
	tasks.clear();
	pe = new_pe();
	EXPECT_EQ(kova_pe_connect_ctx(pe.get(), copy_as_ctx(lib)), KOVA_SUCCESS) << "the context can be used again";
}

TEST_F(ctx_lifecycle, null_handles_are_invalid)
{
	kova_ctx_states state{};
	size_t in_flight = 0;
	EXPECT_EQ(kova_ctx_start(nullptr), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_ctx_stop(nullptr), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_ctx_get_state(nullptr, &state), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_ctx_get_num_inflight_tasks(nullptr, &in_flight), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_ctx_set_user_data(nullptr, kova_data{}), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_pe_connect_ctx(nullptr, copy_as_ctx(lib)), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_pe_destroy(nullptr), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_pe_progress(nullptr), 0);
	EXPECT_EQ(kova_task_get_status(nullptr), KOVA_ERROR_INVALID_VALUE);
}

} // namespace
} // namespace kova::sdk_test
