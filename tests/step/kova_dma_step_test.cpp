// Tests for src/step/kova_dma_step.cpp over the DMA stand-in.
#include "step/dma_fixture.hpp"

#include "kova_exception.hpp"
#include "step/kova_dma_step.hpp"
#include "utility/async/sequence.hpp"
#include "support/kova_throws.hpp"
#include "utility/kova_utils.hpp"

#include <kova/error.h>
#include <kova/test_control.h>

#include <memory>
#include <string>
#include <vector>

namespace kova::bench::step::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class kova_dma_step_test : public dma_fixture {
protected:
	std::unique_ptr<kova_dma_step> make_step()
	{
		return std::make_unique<kova_dma_step>(attributes, state, pe.get(), on_success, on_error, self());
	}

	object::attributes attributes = make_attributes(16, 4);
};

TEST_F(kova_dma_step_test, copies_each_job_into_its_output_and_again_after_a_reset)
{
	auto step = make_step();
	std::vector<std::string> const jobs{"first job", "second", "the third job's bytes", "4"};
	std::vector<kova_buf *> outputs;
	std::vector<kova_task *> tasks;
	for (std::size_t i = 0; i < jobs.size(); ++i) {
		outputs.push_back(output(64));
		task_set const set = step->create_task_set(input(jobs[i]), outputs.back(), output(64),
							   kova_data{.u64 = 100 + i});
		ASSERT_NE(set.task, nullptr);
		tasks.push_back(set.task);
	}

	for (int round = 0; round < 3; ++round) {
		SCOPED_TRACE(round);
		completions.clear();
		for (std::size_t i = 0; i < jobs.size(); ++i) {
			ASSERT_EQ(kova_buf_reset_data_len(outputs[i]), KOVA_SUCCESS);
			ASSERT_EQ(kova_task_submit(tasks[i]), KOVA_SUCCESS);
		}
		wait_for_completions(jobs.size());
		for (std::size_t i = 0; i < jobs.size(); ++i) {
			SCOPED_TRACE(i);
			EXPECT_TRUE(completions[i].success);
			EXPECT_EQ(completions[i].task, tasks[i]);
			EXPECT_EQ(completions[i].task_user_data, 100 + i);
			EXPECT_EQ(contents(outputs[i]), jobs[i]);
		}
	}
	step->destroy_all_tasks();
}

TEST_F(kova_dma_step_test, hands_the_next_step_the_buffers_of_its_form)
{
	for (bool const remote_input : {false, true}) {
		SCOPED_TRACE(remote_input);
		attributes.use_remote_input_buffers = remote_input;
		auto step = make_step();
		kova_buf *in = input("abc");
		kova_buf *a = output(8);
		kova_buf *b = output(8);
		task_set const set = step->create_task_set(in, a, b, kova_data{.u64 = 1});
		EXPECT_NE(set.task, nullptr);
		if (remote_input) {
			EXPECT_EQ(set.next_input, a) << "the next step reads the local copy";
			EXPECT_EQ(set.next_output, b);
			EXPECT_EQ(set.next_spare, a);
		} else {
			EXPECT_EQ(set.next_input, in);
			EXPECT_EQ(set.next_output, a);
			EXPECT_EQ(set.next_spare, b);
		}
	}
}

TEST_F(kova_dma_step_test, is_a_local_step_without_setup_or_companion)
{
	auto step = make_step();
	EXPECT_STREQ(step->get_name(), "kova_dma");
	EXPECT_EQ(step->start_async_setup(), nullptr);
	EXPECT_EQ(step->start_async_teardown(), nullptr);
	EXPECT_EQ(step->get_companion_worker_id(), 0U);
}

TEST_F(kova_dma_step_test, sizes_its_task_pool_from_the_configured_task_count)
{
	struct pool_case {
		uint32_t task_pool_size;
		uint32_t num_tasks;
	};
	for (auto const c : {pool_case{1, 1}, pool_case{2, 2}, pool_case{3, 4}, pool_case{1000, 1024}, pool_case{1024, 1024},
			     pool_case{1025, 2048}}) {
		SCOPED_TRACE(c.task_pool_size);
		attributes.task_pool_size = c.task_pool_size;
		auto step = make_step();
		EXPECT_EQ(kova_test_get_last_num_tasks(), c.num_tasks);
	}
}

TEST_F(kova_dma_step_test, a_task_count_beyond_32_bits_is_refused_not_truncated)
{
	attributes.task_pool_size = 0x80000001U;
	EXPECT_KOVA_THROW(make_step(), KOVA_ERROR_INVALID_VALUE, "Failed to set tasks conf for kova_dma instance.");
}

TEST_F(kova_dma_step_test, each_failing_construction_call_gives_its_message_and_releases_the_instance)
{
	struct failure_case {
		const char *function;
		const char *message;
		bool instance_created;
	};
	failure_case const cases[] = {
		{"kova_dma_create", "Unable to create kova_dma instance.", false},
		{"kova_dma_task_memcpy_set_conf", "Failed to set tasks conf for kova_dma instance.", true},
		{"kova_pe_connect_ctx", "Unable to connect kova_pe to kova_ctx", true},
		{"kova_ctx_start", "Failed to start kova_dma context", true},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.function);
		kova_test_reset();
		kova_test_force_result(c.function, KOVA_ERROR_DRIVER, 1);
		kova_test_trace_enable(1);
		EXPECT_KOVA_THROW(make_step(), KOVA_ERROR_DRIVER, c.message);
		char trace[4096];
		kova_test_trace_read(trace, sizeof(trace));
		std::string const calls{trace};
		EXPECT_THAT(calls, HasSubstr(c.function));
		EXPECT_EQ(calls.find("kova_ctx_stop"), std::string::npos) << "an idle context is not stopped";
		EXPECT_EQ(calls.find("kova_dma_destroy") != std::string::npos, c.instance_created);
	}
}

TEST_F(kova_dma_step_test, needs_an_open_device)
{
	runtime_state empty;
	kova::exception const error = kova::test::thrown_by([&] {
		kova_dma_step step{attributes, empty, pe.get(), on_success, on_error, self()};
	});
	EXPECT_EQ(error.code(), KOVA_ERROR_BAD_STATE);
}

TEST_F(kova_dma_step_test, rejects_empty_task_user_data_before_taking_a_task)
{
	attributes.task_pool_size = 1;
	auto step = make_step();
	kova_buf *in = input("x");
	kova_buf *out = output(4);
	EXPECT_KOVA_THROW(step->create_task_set(in, out, out, kova_data{.u64 = 0}), KOVA_ERROR_INVALID_VALUE,
			  "Invalid (empty) task user data");
	EXPECT_NE(step->create_task_set(in, out, out, kova_data{.u64 = 1}).task, nullptr) << "the one task is still free";

	EXPECT_KOVA_THROW(step->create_task_set(in, out, out, kova_data{.u64 = 2}), KOVA_ERROR_NO_MEMORY,
			  "Unable to create kova_dma_task_memcpy task");

	step->destroy_all_tasks();
	EXPECT_NE(step->create_task_set(in, out, out, kova_data{.u64 = 3}).task, nullptr) << "freed tasks are reused";
}

TEST_F(kova_dma_step_test, reports_the_device_maximum_as_its_buffer_ranges)
{
	auto step = make_step();
	io_buffer_ranges const ranges = step->get_io_buffer_ranges();
	EXPECT_EQ(ranges.input, std::make_pair(1U, 2097152U));
	EXPECT_EQ(ranges.output, std::make_pair(1U, 2097152U));

	kova_test_override_capability("kova_dma_cap_task_memcpy_get_max_buf_size", KOVA_ERROR_DRIVER, 0);
	::testing::internal::CaptureStdout();
	io_buffer_ranges const failed = step->get_io_buffer_ranges();
	std::cout.flush();
	EXPECT_EQ(::testing::internal::GetCapturedStdout(),
		  "[kova_dma_step::get_io_buffer_ranges] failed to query max buffer size: KOVA_ERROR_DRIVER\n");
	EXPECT_EQ(failed.input, std::make_pair(0U, 0U));
	EXPECT_EQ(failed.output, std::make_pair(0U, 0U));
}

TEST_F(kova_dma_step_test, destruction_drains_the_tasks_in_flight)
{
	auto step = make_step();
	kova_buf *out = output(8);
	task_set const set = step->create_task_set(input("copy"), out, out, kova_data{.u64 = 7});
	ASSERT_EQ(kova_task_submit(set.task), KOVA_SUCCESS);

	step.reset();
	ASSERT_EQ(completions.size(), 1U) << "the completion reached the callback before the task was freed";
	EXPECT_TRUE(completions[0].success);
	EXPECT_EQ(contents(out), "copy");
	EXPECT_EQ(kova_pe_progress(pe.get()), 0) << "nothing is left on the engine";
}

// A context the device still holds tasks of is left to it: its tasks are not freed and the instance
// is not destroyed (the stand-in counts no refused release), and one line names the step and the
// count. A stalled engine is not waited for; any other is, for the stop's time limit.
TEST_F(kova_dma_step_test, destruction_leaves_a_context_with_tasks_in_flight_to_the_device)
{
	struct hold_case {
		const char *name;
		bool stalled;
		std::vector<const char *> lines;
	};
	std::vector<hold_case> const cases{
		{"stalled engine", true, {"Unable to stop kova_dma ctx: 1 tasks in flight on a stalled device are left to it\n"}},
		{"stop time-out", false,
		 {"Unable to stop kova_dma ctx: timed out\n", "Unable to stop kova_dma ctx: 1 tasks in flight are left to the device\n"}},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		kova_test_reset();
		auto step = make_step();
		kova_buf *out = output(8);
		task_set const set = step->create_task_set(input("held"), out, out, kova_data{.u64 = 9});
		kova_test_hold_completions(1);
		ASSERT_EQ(kova_task_submit(set.task), KOVA_SUCCESS);
		if (c.stalled)
			utility::mark_engine_stalled(pe.get());

		kova_test_trace_enable(1);
		::testing::internal::CaptureStderr();
		step.reset();
		std::string const err = ::testing::internal::GetCapturedStderr();
		std::vector<char> trace(kova_test_trace_read(nullptr, 0) + 1);
		kova_test_trace_read(trace.data(), trace.size());
		std::string const calls{trace.data()};

		EXPECT_EQ(kova_test_get_refused_releases(), 0u) << err;
		EXPECT_THAT(calls, Not(HasSubstr("kova_dma_destroy"))) << calls;
		std::string expected;
		for (const char *line : c.lines)
			expected += line;
		EXPECT_EQ(err, expected);
		EXPECT_TRUE(completions.empty());
		EXPECT_TRUE(utility::engine_holds_left_objects(pe.get()));
		// As a worker thread does: the engine the context is connected to stays with it as well.
		utility::forget_stalled_engine(pe.get());
		utility::leave_to_device(pe.get(), pe.release());
		pe = utility::make_pe();
		kova_test_hold_completions(0);
	}
}

} // namespace
} // namespace kova::bench::step::test
