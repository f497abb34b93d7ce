// The GPU base step through the nop step: geometry, counters, start and stop.
#include "step_gpu/gpu_step_fixture.hpp"

#include "stats/permutation_stats.hpp"
#include "step/kova_tessel_step.hpp"
#include "support/kova_throws.hpp"
#include "utility/async/sequence.hpp"

#include <kova/test_gpu.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace kova::bench::gpu_test {
namespace {

using step::kova_tessel_nop_step;

kova_tessel_nop_step &as_nop(step::object &step)
{
	return dynamic_cast<kova_tessel_nop_step &>(step);
}

// Waits until the step reports jobs, up to a second.
uint64_t jobs_after_a_while(step::object &step)
{
	thread_stats stats;
	auto const limit = std::chrono::steady_clock::now() + std::chrono::seconds{1};
	do {
		step.gather_stats(stats);
	} while (stats.step.dequeued_jobs == 0 && std::chrono::steady_clock::now() < limit);
	return stats.step.dequeued_jobs;
}

TEST_F(gpu_step_test, nop_geometry_from_the_attributes)
{
	struct row {
		std::unordered_map<std::string, std::string> map;
		uint32_t blocks;
		uint32_t threads_per_block;
	};
	for (row const &r : {row{{}, 1, 32}, row{{{"kova_tessel.num-blocks", "8x"}}, 8, 32},
			     row{{{"kova_tessel.threads-per-block", "64"}, {"kova_tessel.num-blocks", "2"}}, 2, 64}}) {
		auto step = make("kova_tessel::nop", attributes(r.map));
		auto const &params = as_nop(*step).kernel_params();
		EXPECT_EQ(params.blocks, r.blocks);
		EXPECT_EQ(params.threads_per_block, r.threads_per_block);
		EXPECT_NE(params.stop_flag, nullptr);
		EXPECT_NE(params.counters, nullptr);
	}
}

TEST_F(gpu_step_test, nop_refuses_bad_geometry_with_6)
{
	struct row {
		std::unordered_map<std::string, std::string> map;
		const char *message;
	};
	const char *blocks_message = "Unable to parse number of blocks, invalid format.";
	const char *threads_message = "Unable to parse number of threads per block, invalid format.";
	for (row const &r : {row{{{"kova_tessel.num-blocks", "abc"}}, blocks_message},
			     row{{{"kova_tessel.num-blocks", "0"}}, blocks_message},
			     row{{{"kova_tessel.threads-per-block", "x1"}}, threads_message},
			     row{{{"kova_tessel.threads-per-block", "0"}}, threads_message}}) {
		EXPECT_KOVA_THROW(make("kova_tessel::nop", attributes(r.map)), KOVA_ERROR_INVALID_VALUE, r.message);
	}
	// More GPU threads than 32 bits count.
	auto const e = kova::test::thrown_by([&] {
		make("kova_tessel::nop",
		     attributes({{"kova_tessel.num-blocks", "65536"}, {"kova_tessel.threads-per-block", "65536"}}));
	});
	EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
}

TEST_F(gpu_step_test, nop_needs_no_companion_and_has_no_buffers)
{
	auto step = make("kova_tessel::nop", attributes());
	EXPECT_STREQ(step->get_name(), "kova_tessel::nop");
	EXPECT_EQ(step->start_async_setup(), nullptr);
	EXPECT_EQ(step->start_async_teardown(), nullptr);
	EXPECT_EQ(step->get_companion_worker_id(), 0U);
	auto const ranges = step->get_io_buffer_ranges();
	EXPECT_EQ(ranges.input, std::make_pair(0U, 0U));
	EXPECT_EQ(ranges.output, std::make_pair(0U, 0U));
	auto const set = step->create_task_set(nullptr, nullptr, nullptr, kova_data{.u64 = 1});
	EXPECT_EQ(set.task, nullptr);
	EXPECT_EQ(set.next_input, nullptr);
}

TEST_F(gpu_step_test, nop_counts_while_started_and_nothing_runs_after_stop)
{
	kova_test_gpu_record_params(1);
	auto step = make("kova_tessel::nop", attributes({{"kova_tessel.num-blocks", "2"}}));
	thread_stats stats;
	stats.step.egress_bytes = 77;
	step->reset_stats();
	step->gather_stats(stats);
	EXPECT_EQ(stats.step.dequeued_jobs, 0U);
	EXPECT_EQ(stats.step.ingress_bytes, 0U);

	step->start();
	// The launcher got the step's block byte for byte.
	unsigned char recorded[64] = {};
	ASSERT_EQ(kova_test_gpu_recorded_params("kova_bench_rhun_start_nop_kernel", recorded, sizeof(recorded)),
		  sizeof(utility::nop_kernel_params));
	EXPECT_EQ(std::memcmp(recorded, &as_nop(*step).kernel_params(), sizeof(utility::nop_kernel_params)), 0);
	EXPECT_GT(jobs_after_a_while(*step), 0U);
	// A second kernel on the same counters is refused.
	EXPECT_KOVA_THROW(step->start(), KOVA_ERROR_BAD_STATE, "A kernel of the step is running: stop it first");

	// Warm-up work does not leak into the measurement.
	step->reset_stats();
	step->stop();
	EXPECT_FALSE(as_nop(*step).kernel_running());
	EXPECT_EQ(kova_test_gpu_running_kernels(), 0U);
	step->gather_stats(stats);
	uint64_t const after_stop = stats.step.dequeued_jobs;
	std::this_thread::sleep_for(std::chrono::milliseconds{5});
	step->gather_stats(stats);
	EXPECT_EQ(stats.step.dequeued_jobs, after_stop);
	EXPECT_EQ(stats.step.enqueued_jobs, after_stop);
	EXPECT_EQ(stats.step.egress_bytes, 77U);
	// Stopping again keeps the flag raised.
	step->stop();
	EXPECT_NE(*as_nop(*step).stop_byte(), 0);

	// A new run after the stop.
	step->reset_stats();
	step->start();
	EXPECT_GT(jobs_after_a_while(*step), 0U);
	step.reset();
	EXPECT_EQ(kova_test_gpu_running_kernels(), 0U);
	kova_test_gpu_record_params(0);
}

TEST_F(gpu_step_test, stop_before_any_start_raises_the_flag_only)
{
	auto step = make("kova_tessel::nop", attributes());
	EXPECT_EQ(*as_nop(*step).stop_byte(), 0);
	step->stop();
	EXPECT_EQ(*as_nop(*step).stop_byte(), 1);
	step->stop();
	EXPECT_EQ(*as_nop(*step).stop_byte(), 1);
}

TEST(gpu_step_without_gpu, the_gpu_steps_need_a_gpu)
{
	runtime_state state;
	state.open_device_and_representor("03:00.0", {});
	auto pe = utility::make_pe();
	step::object::attributes value;
	EXPECT_KOVA_THROW(step::factory::create_step("kova_tessel::nop", value, state, pe.get(), on_task, on_task,
						     kova_data{.u64 = 0}),
			  KOVA_ERROR_INVALID_VALUE, "No GPU is open: the GPU steps need --gpu");
}

TEST(gpu_device, only_the_emulated_gpu_opens)
{
	runtime_state state;
	state.open_device_and_representor("03:00.0", {});
	auto const e = kova::test::thrown_by([&] { state.open_gpu_device("81:00.0"); });
	EXPECT_EQ(e.code(), KOVA_ERROR_NOT_FOUND);
	state.open_gpu_device("65:00.0");
	EXPECT_NE(state.get_gpu_device(), nullptr);
}

} // namespace
} // namespace kova::bench::gpu_test
