// Tests of impl/thread_data: real worker threads over the stand-in SDK.
#include "impl/thread_data.hpp"
#include "utility/configuration_utils.hpp"

#include "worker/worker_harness.hpp"

#include <kova/buf.h>
#include <kova/error.h>
#include <kova/test_control.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

namespace kova::bench::worker_test {
namespace {

using configuration::benchmark_mode;
using ::testing::HasSubstr;
using ::testing::Not;

uint64_t histogram_total(const thread_stats &stats)
{
	uint64_t total = 0;
	for (std::size_t cell = step_stats::histogram_first_bucket_cell; cell != step_stats::histogram_cell_count; ++cell)
		total += stats.step.latency_histogram[cell];
	return total;
}

std::string failure_report(kova_error code, const std::string &message)
{
	return std::string{"\tcode: \""} + kova_error_get_name(code) + "\"\n\tmessage: \"" + message + "\"\n";
}

class thread_data_test : public worker_harness {};

TEST_F(thread_data_test, one_step_dma_pipeline_counts_ingress_and_egress_and_restarts_its_jobs)
{
	auto const info = pipeline({"recorded:kova_dma"}, 4, 64);
	auto worker = make_worker(info);

	// Each job's one wrapper is its first and last step and leads back to itself.
	auto const &recorder = *static_cast<recording_step *>(created_steps.at(0));
	ASSERT_EQ(recorder.user_data().size(), 4u);
	for (void *user_data : recorder.user_data()) {
		auto const *wrapper = static_cast<impl::task_wrapper *>(user_data);
		EXPECT_TRUE(wrapper->is_first);
		EXPECT_TRUE(wrapper->is_last);
		EXPECT_EQ(wrapper->next, wrapper);
		EXPECT_NE(wrapper->task, nullptr);
	}

	run_result const result = run(*worker, benchmark_mode::throughput, job_limit(100));
	EXPECT_FALSE(result.critical);
	EXPECT_EQ(result.running_count, 0);
	EXPECT_THAT(result.out, HasSubstr("Worker thread[0](core: 0) [kova_dma] started...\n"));
	EXPECT_EQ(result.stats.step.enqueued_jobs, 100u);
	EXPECT_EQ(result.stats.step.dequeued_jobs, 100u);
	EXPECT_EQ(result.stats.step.ingress_bytes, 100u * 64);
	EXPECT_EQ(result.stats.step.egress_bytes, 100u * 64);
	EXPECT_GT(result.stats.pe_progress_hits, 0u);
	EXPECT_GE(result.stats.pe_progress_calls, result.stats.pe_progress_hits);
	EXPECT_GT(result.stats.duration.count(), 0);

	kova_test_counters counters{};
	kova_test_get_counters(&counters);
	EXPECT_EQ(counters.submissions, 100u);
	EXPECT_EQ(counters.completions, 100u);
	EXPECT_EQ(counters.error_completions, 0u);
}

TEST_F(thread_data_test, after_a_dma_run_the_output_buffers_hold_the_jobs_input)
{
	// Two copies in a row: each writes the same output from the same input.
	for (auto const &steps : {std::vector<std::string>{"recorded:kova_dma"},
				  std::vector<std::string>{"kova_dma", "recorded:kova_dma"}}) {
		SCOPED_TRACE(steps.size());
		created_steps.clear();
		auto const info = pipeline(steps, 3, 1000);
		auto worker = make_worker(info);
		run_result const result = run(*worker, benchmark_mode::throughput, job_limit(7));
		ASSERT_EQ(result.stats.step.dequeued_jobs, 7u);

		auto const &outputs = static_cast<recording_step *>(created_steps.back())->outputs();
		ASSERT_EQ(outputs.size(), 3u);
		for (std::size_t job = 0; job != outputs.size(); ++job) {
			SCOPED_TRACE(job);
			void *data = nullptr;
			std::size_t length = 0;
			ASSERT_EQ(kova_buf_get_data(outputs[job], &data), KOVA_SUCCESS);
			ASSERT_EQ(kova_buf_get_data_len(outputs[job], &length), KOVA_SUCCESS);
			ASSERT_EQ(length, job_data[job].size());
			EXPECT_EQ(std::string(static_cast<char *>(data), length),
				  std::string(job_data[job].begin(), job_data[job].end()));
		}
	}
}

TEST_F(thread_data_test, fragmented_buffers_are_counted_whole_and_emptied_whole_before_each_pass)
{
	// Input gathered from 3 fragments, output scattered over 2: every pass must count all the
	// fragments' bytes and empty every output fragment, or the next copy finds no room.
	for (auto const &steps : {std::vector<std::string>{"kova_dma"}, std::vector<std::string>{"kova_dma", "kova_dma"}}) {
		SCOPED_TRACE(steps.size());
		auto info = pipeline(steps, 3, 100);
		info.gather = {3, utility::sg_split_type::count};
		info.scatter = {2, utility::sg_split_type::count};
		auto worker = make_worker(info);
		run_result const result = run(*worker, benchmark_mode::throughput, job_limit(20));
		EXPECT_FALSE(result.critical);
		EXPECT_EQ(result.stats.step.dequeued_jobs, 20u);
		EXPECT_EQ(result.stats.step.ingress_bytes, 20u * 100);
		EXPECT_EQ(result.stats.step.egress_bytes, 20u * 100);
	}
}

TEST_F(thread_data_test, stop_at_the_gate_ends_the_thread_without_banner_and_with_reset_counters)
{
	auto const info = pipeline({"kova_dma"});
	auto worker = make_worker(info);
	run_result const first = run(*worker, benchmark_mode::throughput, job_limit(20));
	ASSERT_EQ(first.stats.step.dequeued_jobs, 20u);

	run_result const stopped = run(*worker, benchmark_mode::throughput, job_limit(20), true);
	EXPECT_THAT(stopped.out, Not(HasSubstr("started...")));
	EXPECT_EQ(stopped.stats.step.enqueued_jobs, 0u);
	EXPECT_EQ(stopped.stats.step.dequeued_jobs, 0u);
	EXPECT_EQ(stopped.stats.step.ingress_bytes, 0u);
	EXPECT_EQ(stopped.stats.duration.count(), 0);
	EXPECT_FALSE(stopped.critical);
	EXPECT_EQ(stopped.running_count, 0);
}

// Which loop each mode and first limit selects, and the refusals.
TEST_F(thread_data_test, mode_and_run_limit_select_the_loop)
{
	struct run_case {
		const char *name;
		uint8_t mode;
		configuration::run_limits limits;
		const char *refusal; // null: the run completes
	};
	configuration::run_limits none;
	configuration::run_limits time_and_jobs = time_limit(0);
	time_and_jobs.max_jobs = 5;
	configuration::run_limits jobs_and_bytes = job_limit(6);
	jobs_and_bytes.max_bytes = 64;
	std::vector<run_case> const cases{
		{"throughput, time", 0, time_limit(0), nullptr},
		{"throughput, jobs", 0, job_limit(50), nullptr},
		{"throughput, bytes", 0, byte_limit(1000), nullptr},
		{"throughput, jobs before bytes", 0, jobs_and_bytes, nullptr},
		{"throughput, none", 0, none, "No run limit set for throughput mode"},
		{"bulk latency, time", 1, time_limit(0), nullptr},
		{"bulk latency, jobs", 1, job_limit(10), nullptr},
		{"bulk latency, bytes", 1, byte_limit(1000), nullptr},
		{"bulk latency, none", 1, none, "No run limit set for bulk latency mode"},
		{"precision latency, jobs", 2, job_limit(20), nullptr},
		{"precision latency, time and jobs", 2, time_and_jobs, nullptr},
		{"precision latency, time", 2, time_limit(1), "No run limit set for precision latency mode"},
		{"precision latency, bytes", 2, byte_limit(64), "No run limit set for precision latency mode"},
		{"max bandwidth", 3, job_limit(5), "max bandwidth mode is currently disabled"},
		{"unknown mode", 9, job_limit(5), "Unsupported benchmark mode"},
	};
	auto const info = pipeline({"kova_dma"}, 4, 64);
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		control->critical.exchange(0);
		auto worker = make_worker(info);
		run_result const result = run(*worker, static_cast<benchmark_mode>(c.mode), c.limits);
		thread_stats const &stats = result.stats;
		EXPECT_EQ(result.running_count, 0);
		if (c.refusal != nullptr) {
			EXPECT_TRUE(result.critical);
			EXPECT_THAT(result.out, HasSubstr("started..."));
			EXPECT_THAT(result.out, HasSubstr(failure_report(KOVA_ERROR_NOT_SUPPORTED, c.refusal)));
			EXPECT_EQ(stats.step.enqueued_jobs, 0u);
			continue;
		}
		EXPECT_FALSE(result.critical) << result.out;
		EXPECT_EQ(stats.step.enqueued_jobs, stats.step.dequeued_jobs);
		EXPECT_GT(stats.step.dequeued_jobs, 0u);
		std::string const name = c.name;
		if (name == "throughput, jobs") {
			EXPECT_EQ(stats.step.dequeued_jobs, 50u);
		}
		if (name == "throughput, jobs before bytes") {
			EXPECT_EQ(stats.step.dequeued_jobs, 6u);
		}
		if (name == "throughput, bytes" || name == "bulk latency, bytes") {
			EXPECT_GE(stats.step.ingress_bytes, 1000u);
		}
		if (c.mode == 1) {
			// Whole bulks of 4 jobs, every job recorded with its bulk's latency.
			EXPECT_EQ(stats.step.dequeued_jobs % 4, 0u);
			EXPECT_EQ(histogram_total(stats), stats.step.dequeued_jobs);
		}
		if (name == "bulk latency, jobs") {
			EXPECT_EQ(stats.step.dequeued_jobs, 12u);
		}
		if (c.mode == 2) {
			EXPECT_EQ(stats.step.latency_samples.size(), stats.step.dequeued_jobs);
		}
		if (name == "precision latency, time and jobs") {
			EXPECT_EQ(stats.step.dequeued_jobs, 5u);
		}
	}
}

TEST_F(thread_data_test, job_limit_with_many_completions_per_progress_call_is_met_exactly)
{
	// 64 jobs complete in each progress call; restarts stop as soon as 1000 have been started.
	auto const info = pipeline({"kova_dma"}, 64, 32);
	run_result const result = run_pipeline(info, benchmark_mode::throughput, job_limit(1000));
	EXPECT_FALSE(result.critical);
	EXPECT_EQ(result.stats.step.enqueued_jobs, 1000u);
	EXPECT_EQ(result.stats.step.dequeued_jobs, 1000u);
	kova_test_counters counters{};
	kova_test_get_counters(&counters);
	EXPECT_EQ(counters.completions, 1000u);
	EXPECT_LE(counters.productive_progress_calls, (1000u + 63) / 64);
}

TEST_F(thread_data_test, a_job_limit_below_the_job_count_submits_only_that_many_jobs)
{
	auto const info = pipeline({"kova_dma"}, 8, 32);
	run_result const result = run_pipeline(info, benchmark_mode::throughput, job_limit(3));
	EXPECT_EQ(result.stats.step.enqueued_jobs, 3u);
	EXPECT_EQ(result.stats.step.dequeued_jobs, 3u);
}

TEST_F(thread_data_test, time_limit_ends_with_every_started_job_finished)
{
	auto const info = pipeline({"kova_dma", "kova_dma"}, 16, 64);
	run_result const result = run_pipeline(info, benchmark_mode::throughput, time_limit(1));
	EXPECT_FALSE(result.critical);
	EXPECT_GT(result.stats.step.dequeued_jobs, 16u);
	EXPECT_EQ(result.stats.step.enqueued_jobs, result.stats.step.dequeued_jobs);
	EXPECT_EQ(result.stats.step.egress_bytes, result.stats.step.dequeued_jobs * 64);
	EXPECT_GE(result.stats.duration, std::chrono::seconds{1});
}

TEST_F(thread_data_test, precision_latency_takes_exactly_one_sample_per_job)
{
	auto const info = pipeline({"kova_dma"}, 3, 64);
	run_result const result = run_pipeline(info, benchmark_mode::precision_latency, job_limit(25));
	EXPECT_FALSE(result.critical);
	EXPECT_EQ(result.stats.step.dequeued_jobs, 25u);
	ASSERT_EQ(result.stats.step.latency_samples.size(), 25u);
	for (uint64_t sample : result.stats.step.latency_samples)
		EXPECT_GT(sample, 0u);
	// The jobs take turns: each was copied about as often.
	kova_test_counters counters{};
	kova_test_get_counters(&counters);
	EXPECT_EQ(counters.completions, 25u);
}

// Each latency is timed from its own start: in a job-limited run the latencies of the run add up
// to no more than the thread's measured run time, and against a device whose every completion
// takes a known time the reported median sits in that time's bucket.
TEST_F(thread_data_test, precision_latency_times_each_job_from_its_own_start)
{
	constexpr uint64_t delay_ns = 200'000;
	auto const info = pipeline({"kova_dma"}, 3, 64);
	kova_test_delay_completions(delay_ns);
	run_result const result = run_pipeline(info, benchmark_mode::precision_latency, job_limit(41));
	kova_test_delay_completions(0);
	ASSERT_FALSE(result.critical) << result.out;
	std::vector<uint64_t> samples = result.stats.step.latency_samples;
	ASSERT_EQ(samples.size(), 41u);

	uint64_t const total = std::accumulate(samples.begin(), samples.end(), uint64_t{0});
	EXPECT_LE(total, static_cast<uint64_t>(result.stats.duration.count()));
	std::sort(samples.begin(), samples.end());
	EXPECT_GE(samples.front(), delay_ns);
	uint64_t const median = samples[samples.size() / 2];
	EXPECT_GE(median, delay_ns);
	EXPECT_LT(median, 2 * delay_ns);
}

TEST_F(thread_data_test, bulk_latency_times_each_bulk_from_its_own_start)
{
	// Bulks of 2 jobs, each completion held 150 us: a bulk takes 300 us, bucket 4 of 100 us
	// buckets (300 to 400 us).
	constexpr uint64_t delay_ns = 150'000;
	constexpr uint64_t jobs_per_bulk = 2;
	constexpr uint64_t bulks = 30;
	auto info = pipeline({"kova_dma"}, jobs_per_bulk, 64);
	info.latency_lower_bound_ns = 0;
	info.latency_bucket_width_ns = 100'000;
	kova_test_delay_completions(delay_ns);
	run_result const result =
		run_pipeline(info, benchmark_mode::bulk_latency, job_limit(bulks * jobs_per_bulk));
	kova_test_delay_completions(0);
	ASSERT_FALSE(result.critical) << result.out;
	auto const &histogram = result.stats.step.latency_histogram;
	ASSERT_EQ(histogram_total(result.stats), bulks * jobs_per_bulk);

	// No bulk is shorter than its bucket's lower bound.
	uint64_t lower_bounds = 0;
	uint64_t near_expected_bucket = 0;
	uint64_t in_lower_buckets = 0;
	for (std::size_t bucket = 0; bucket != step_stats::latency_bucket_count; ++bucket) {
		uint64_t const jobs = histogram[step_stats::histogram_first_bucket_cell + bucket];
		uint64_t const bucket_start = bucket == 0 ? 0 : (bucket - 1) * info.latency_bucket_width_ns;
		lower_bounds += jobs / jobs_per_bulk * bucket_start;
		// 300 us up to twice that: a loaded machine (or a sanitizer) delays the completions a little,
		// while bulks timed from the run's start would reach 15 bulks (4.5 ms) at the median.
		if (bucket >= 4 && bucket <= 7)
			near_expected_bucket += jobs;
		if (bucket < 4)
			in_lower_buckets += jobs;
	}
	EXPECT_LE(lower_bounds, static_cast<uint64_t>(result.stats.duration.count()));
	EXPECT_EQ(in_lower_buckets, 0u);
	// The median job lies near the expected bucket.
	EXPECT_GT(near_expected_bucket * 2, bulks * jobs_per_bulk);
}

TEST_F(thread_data_test, counters_can_be_copied_while_the_thread_runs)
{
	constexpr uint64_t jobs = 20000;
	auto const info = pipeline({"kova_dma"}, 4, 64);
	auto worker = make_worker(info);
	uint64_t copies = 0;
	run_result const result = run(*worker, benchmark_mode::precision_latency, job_limit(jobs), false, [&] {
		uint64_t last_dequeued = 0;
		std::size_t last_samples = 0;
		while (control->running_count.load() != 0) {
			thread_stats const copy = worker->get_stats();
			EXPECT_GE(copy.step.dequeued_jobs, last_dequeued);
			EXPECT_GE(copy.step.latency_samples.size(), last_samples);
			EXPECT_LE(copy.step.latency_samples.size(), jobs);
			last_dequeued = copy.step.dequeued_jobs;
			last_samples = copy.step.latency_samples.size();
			++copies;
		}
	});
	EXPECT_GT(copies, 0u);
	EXPECT_EQ(result.stats.step.latency_samples.size(), jobs);
}

// A stop request while the run goes on (the benchmark's own failure) ends every loop at its next
// clock check: quietly, with the jobs in flight finished, long before the run limit.
TEST_F(thread_data_test, a_stop_request_during_the_run_ends_every_loop_early)
{
	struct stop_case {
		const char *name;
		std::vector<std::string> steps;
		benchmark_mode mode;
		configuration::run_limits limits;
	};
	uint64_t const endless = UINT64_MAX / 2;
	std::vector<stop_case> const cases{
		{"throughput, time", {"kova_dma"}, benchmark_mode::throughput, time_limit(60)},
		{"throughput, jobs", {"kova_dma"}, benchmark_mode::throughput, job_limit(endless)},
		{"throughput, bytes", {"kova_dma"}, benchmark_mode::throughput, byte_limit(endless)},
		{"bulk latency, time", {"kova_dma"}, benchmark_mode::bulk_latency, time_limit(60)},
		{"bulk latency, jobs", {"kova_dma"}, benchmark_mode::bulk_latency, job_limit(endless)},
		{"precision latency", {"kova_dma"}, benchmark_mode::precision_latency, job_limit(4'000'000)},
		{"gpu, time", {"kova_tessel::nop"}, benchmark_mode::throughput, time_limit(60)},
		{"gpu, jobs", {"kova_tessel::nop"}, benchmark_mode::throughput, job_limit(endless)},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		kova_test_reset();
		control->critical.exchange(0);
		auto const info = pipeline(c.steps);
		auto worker = make_worker(info);
		run_result const result = run(*worker, c.mode, c.limits, false, [&] {
			while (!worker->get_run_start_time().has_value())
				std::this_thread::sleep_for(std::chrono::milliseconds{1});
			std::this_thread::sleep_for(std::chrono::milliseconds{100});
			control->stop.exchange(1);
		});
		EXPECT_LT(result.wall, std::chrono::seconds{10});
		EXPECT_FALSE(result.critical) << result.out;
		EXPECT_THAT(result.out, Not(HasSubstr("Caught")));
		EXPECT_EQ(result.running_count, 0);
		EXPECT_GT(result.stats.step.dequeued_jobs, 0u);
		EXPECT_GE(result.stats.duration, std::chrono::milliseconds{100});
		if (c.steps.front() == "kova_dma") {
			EXPECT_EQ(result.stats.step.enqueued_jobs, result.stats.step.dequeued_jobs);
		}
	}
}

TEST_F(thread_data_test, precision_latency_refuses_a_sample_count_that_cannot_be_stored)
{
	auto const info = pipeline({"kova_dma"});
	run_result const result = run_pipeline(info, benchmark_mode::precision_latency, job_limit(UINT64_MAX));
	EXPECT_TRUE(result.critical);
	EXPECT_THAT(result.out, HasSubstr(failure_report(
					KOVA_ERROR_NO_MEMORY, "Unable to reserve memory for 18446744073709551615 latency samples")));
	EXPECT_EQ(result.stats.step.enqueued_jobs, 0u);
}

TEST_F(thread_data_test, bulk_latency_refuses_a_bucket_width_of_zero)
{
	auto info = pipeline({"kova_dma"});
	info.latency_bucket_width_ns = 0;
	run_result const result = run_pipeline(info, benchmark_mode::bulk_latency, job_limit(8));
	EXPECT_TRUE(result.critical);
	EXPECT_THAT(result.out, HasSubstr(failure_report(KOVA_ERROR_INVALID_VALUE,
							 "Bulk latency mode needs a latency bucket width above 0")));
}

TEST_F(thread_data_test, a_failed_task_in_the_measured_run_fails_the_thread_after_the_run)
{
	kova_test_inject_completion_status(nullptr, KOVA_ERROR_IO_FAILED, 1);
	auto const info = pipeline({"kova_dma"}, 4, 64);
	run_result const result = run_pipeline(info, benchmark_mode::throughput, job_limit(40));

	EXPECT_TRUE(result.critical);
	EXPECT_EQ(result.err, "Unrecoverable error(KOVA_ERROR_IO_FAILED) when retrieving kova_task result\n");
	// The first failure does not end the job: the run still reaches its limit.
	EXPECT_EQ(result.stats.step.dequeued_jobs, 40u);
	EXPECT_EQ(result.stats.step.enqueued_jobs, 40u);
	EXPECT_THAT(result.out, Not(HasSubstr("Caught")));
}

TEST_F(thread_data_test, tasks_that_keep_failing_end_the_run_without_waiting_for_a_stall)
{
	kova_test_inject_completion_status(nullptr, KOVA_ERROR_IO_FAILED, 1000000);
	auto const info = pipeline({"kova_dma"}, 4, 64);
	auto worker = make_worker(info);
	worker->set_run_timing({std::chrono::seconds{20}, impl::default_event_wait_ms});
	run_result const result = run(*worker, benchmark_mode::throughput, job_limit(1000));

	EXPECT_TRUE(result.critical);
	EXPECT_THAT(result.out, Not(HasSubstr("Stuck")));
	EXPECT_EQ(result.stats.step.enqueued_jobs, result.stats.step.dequeued_jobs);
	EXPECT_LT(result.wall, std::chrono::seconds{20});
}

TEST_F(thread_data_test, a_failed_task_in_the_warm_up_ends_the_thread)
{
	kova_test_inject_completion_status(nullptr, KOVA_ERROR_IO_FAILED, 1);
	auto info = pipeline({"kova_dma"}, 4, 64);
	info.warm_up_job_count = 10;
	run_result const result = run_pipeline(info, benchmark_mode::throughput, job_limit(40));

	EXPECT_TRUE(result.critical);
	EXPECT_TRUE(result.stop);
	EXPECT_THAT(result.out, HasSubstr("Worker thread[0] Executing 10 warm-up tasks using 4 unique tasks\n"));
	EXPECT_THAT(result.out, HasSubstr(failure_report(KOVA_ERROR_IO_FAILED, "Failures detected in warmup tasks")));
	EXPECT_EQ(result.running_count, 0);
}

TEST_F(thread_data_test, warm_up_runs_its_jobs_then_the_counters_start_again)
{
	struct warm_up_case {
		uint32_t warm_up;
		uint32_t unique;
	};
	for (auto const c : {warm_up_case{10, 4}, warm_up_case{3, 3}}) {
		SCOPED_TRACE(c.warm_up);
		kova_test_reset();
		auto info = pipeline({"kova_dma"}, 4, 64);
		info.warm_up_job_count = c.warm_up;
		run_result const result = run_pipeline(info, benchmark_mode::throughput, job_limit(12));
		EXPECT_FALSE(result.critical);
		EXPECT_THAT(result.out, HasSubstr("Executing " + std::to_string(c.warm_up) + " warm-up tasks using " +
						  std::to_string(c.unique) + " unique tasks\n"));
		EXPECT_EQ(result.stats.step.dequeued_jobs, 12u);
		kova_test_counters counters{};
		kova_test_get_counters(&counters);
		EXPECT_EQ(counters.completions, c.warm_up + 12u);
	}
}

TEST_F(thread_data_test, a_warm_up_job_without_resources_is_not_waited_for)
{
	kova_test_inject_submit_result(nullptr, KOVA_TEST_TRY_SUBMIT, KOVA_ERROR_NO_MEMORY, 1);
	auto info = pipeline({"kova_dma"}, 4, 64);
	info.warm_up_job_count = 4;
	auto worker = make_worker(info);
	worker->set_run_timing({std::chrono::seconds{20}, impl::default_event_wait_ms});
	run_result const result = run(*worker, benchmark_mode::throughput, job_limit(8));
	EXPECT_FALSE(result.critical) << result.out;
	EXPECT_EQ(result.stats.step.dequeued_jobs, 8u);
	kova_test_counters counters{};
	kova_test_get_counters(&counters);
	EXPECT_EQ(counters.completions, 3u + 8u);
}

TEST_F(thread_data_test, submissions_answered_with_try_again_are_repeated)
{
	kova_test_inject_submit_result(nullptr, KOVA_TEST_ANY_SUBMIT, KOVA_ERROR_AGAIN, 5);
	auto const info = pipeline({"kova_dma"}, 2, 64);
	run_result const result = run_pipeline(info, benchmark_mode::throughput, job_limit(10));
	EXPECT_FALSE(result.critical);
	EXPECT_EQ(result.stats.step.dequeued_jobs, 10u);
}

TEST_F(thread_data_test, a_resubmission_that_fails_ends_the_thread)
{
	// The warm-up submits with try_submit and restarts with submit: the first restart fails.
	kova_test_inject_submit_result(nullptr, KOVA_TEST_SUBMIT, KOVA_ERROR_BAD_STATE, 1);
	auto info = pipeline({"kova_dma"}, 1, 64);
	info.warm_up_job_count = 3;
	auto worker = make_worker(info);
	worker->set_run_timing({std::chrono::milliseconds{300}, impl::default_event_wait_ms});
	run_result const result = run(*worker, benchmark_mode::throughput, job_limit(10));
	EXPECT_TRUE(result.critical);
	EXPECT_THAT(result.out, HasSubstr(failure_report(KOVA_ERROR_BAD_STATE,
							 "Failed to re-submit task: KOVA_ERROR_BAD_STATE")));
}

TEST_F(thread_data_test, a_stalled_device_gives_the_stuck_error_after_the_stall_limit)
{
	struct stall_case {
		const char *name;
		uint32_t warm_up;
		uint8_t mode;
		configuration::run_limits limits;
		const char *message;
	};
	std::vector<stall_case> const cases{
		{"throughput", 0, 0, job_limit(100), "WT [0] Stuck after 30 seconds. Enqueue count: 4, dequeue count: 0"},
		{"bulk latency", 0, 1, job_limit(100), "WT [0] Stuck after 30 seconds. Enqueue count: 4, dequeue count: 0"},
		{"precision latency", 0, 2, job_limit(100),
		 "WT [0] Stuck after 30 seconds. Enqueue count: 1, dequeue count: 0"},
		{"warm-up", 10, 0, job_limit(100),
		 "WT [0] Stuck in warmup after 30 seconds. 4 enqueue actions and 10 dequeue actions remain unprocessed. "},
	};
	auto info = pipeline({"kova_dma"}, 4, 64);
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		kova_test_reset();
		control->critical.exchange(0);
		info.warm_up_job_count = c.warm_up;
		auto worker = make_worker(info);
		worker->set_run_timing({std::chrono::milliseconds{200}, impl::default_event_wait_ms});
		kova_test_hold_completions(1);
		run_result const result = run(*worker, static_cast<benchmark_mode>(c.mode), c.limits);
		kova_test_hold_completions(0);
		EXPECT_TRUE(result.critical);
		EXPECT_THAT(result.out, HasSubstr(failure_report(KOVA_ERROR_TIME_OUT, c.message)));
		EXPECT_GE(result.wall, std::chrono::milliseconds{200});
	}
}

// A device that stalled is not waited for again: the thread ends at the stall report, and the
// steps' teardown leaves the tasks the device kept to it instead of waiting for them.
TEST_F(thread_data_test, after_a_stall_the_thread_and_its_teardown_do_not_wait_for_the_device)
{
	struct stall_case {
		const char *name;
		uint8_t mode;
		uint32_t in_flight;
	};
	std::vector<stall_case> const cases{{"throughput", 0, 4}, {"precision latency", 2, 1}};
	auto const info = pipeline({"kova_dma"}, 4, 64);
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		kova_test_reset();
		control->critical.exchange(0);
		auto worker = make_worker(info);
		worker->set_run_timing({std::chrono::seconds{1}, impl::default_event_wait_ms});
		kova_test_hold_completions(1);
		run_result const result = run(*worker, static_cast<benchmark_mode>(c.mode), job_limit(100));
		EXPECT_TRUE(result.critical);
		EXPECT_GE(result.wall, std::chrono::seconds{1});
		EXPECT_LT(result.wall, std::chrono::milliseconds{1900}) << "a second stall limit was spent draining";

		::testing::internal::CaptureStderr();
		auto const start = std::chrono::steady_clock::now();
		worker.reset();
		auto const teardown = std::chrono::steady_clock::now() - start;
		std::string const err = ::testing::internal::GetCapturedStderr();
		kova_test_hold_completions(0);
		EXPECT_LT(teardown, std::chrono::seconds{4}) << "the teardown waited for the stalled device";
		EXPECT_THAT(err, HasSubstr("Unable to stop kova_dma ctx: " + std::to_string(c.in_flight) +
					   " tasks in flight on a stalled device are left to it"));
	}
}

std::size_t count_lines(const std::string &text, const std::string &line)
{
	std::size_t n = 0;
	for (auto at = text.find(line + "\n"); at != std::string::npos; at = text.find(line + "\n", at + 1)) {
		if (at == 0 || text[at - 1] == '\n')
			++n;
	}
	return n;
}

// After a stall only what the device gave back is destroyed: a context it still holds tasks of is
// neither stopped again, nor are its tasks freed, nor is it or the engine it is connected to
// destroyed. The stand-in counts every free or destroy it has to refuse; none may reach it.
TEST_F(thread_data_test, after_a_stall_nothing_the_device_still_holds_is_freed_or_destroyed)
{
	struct teardown_case {
		const char *name;
		std::vector<std::string> steps;
		uint8_t mode;
		bool stall;
		const char *report; // the line naming the step and its tasks in flight, or null
		std::size_t instances_destroyed;
		std::size_t engines_destroyed;
	};
	std::vector<teardown_case> const cases{
		{"no stall", {"kova_dma", "kova_dma"}, 0, false, nullptr, 2, 1},
		{"throughput", {"kova_dma"}, 0, true, "Unable to stop kova_dma ctx: 4 tasks in flight on a stalled device are left to it", 0, 0},
		{"precision latency", {"kova_dma"}, 2, true, "Unable to stop kova_dma ctx: 1 tasks in flight on a stalled device are left to it", 0, 0},
		// The jobs wait on the first step: the second gave all its tasks back and goes.
		{"second step idle", {"kova_dma", "kova_dma"}, 0, true, "Unable to stop kova_dma ctx: 4 tasks in flight on a stalled device are left to it", 1, 0},
		{"sha", {"kova_sha"}, 0, true, "Unable to stop kova_sha ctx: 4 tasks in flight on a stalled device are left to it", 0, 0},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		kova_test_reset();
		control->critical.exchange(0);
		auto info = pipeline(c.steps, 4, 64);
		for (auto &step : info.steps)
			step.attributes.attribute_map[utility::fully_qualified_name(utility::attribute::kova_sha_algorithm)] = "sha256";
		auto worker = make_worker(info);
		worker->set_run_timing({std::chrono::seconds{1}, impl::default_event_wait_ms});
		kova_test_hold_completions(c.stall ? 1 : 0);
		run_result const result = run(*worker, static_cast<benchmark_mode>(c.mode), job_limit(100));
		EXPECT_EQ(result.critical, c.stall);

		kova_test_trace_enable(1);
		::testing::internal::CaptureStderr();
		worker.reset();
		std::string const err = ::testing::internal::GetCapturedStderr();
		kova_test_hold_completions(0);
		std::vector<char> trace(kova_test_trace_read(nullptr, 0) + 1);
		kova_test_trace_read(trace.data(), trace.size());
		std::string const calls{trace.data()};

		EXPECT_EQ(kova_test_get_refused_releases(), 0u) << err;
		std::string const destroy = c.steps[0] == "kova_sha" ? "kova_sha_destroy" : "kova_dma_destroy";
		EXPECT_EQ(count_lines(calls, destroy), c.instances_destroyed) << calls;
		EXPECT_EQ(count_lines(calls, "kova_pe_destroy"), c.engines_destroyed) << calls;
		if (c.report != nullptr)
			EXPECT_EQ(count_lines(err, c.report), 1u) << err;
		else
			EXPECT_THAT(err, Not(HasSubstr("in flight"))) << err;
	}
}

TEST_F(thread_data_test, blocking_mode_does_not_sleep_while_a_completion_is_pending)
{
	// Were any turn to wait for its time-out, the run would last at least that long: also the
	// turns after the time is up, when the last jobs finish.
	for (auto const &limits : {job_limit(30), time_limit(0)}) {
		SCOPED_TRACE(limits.max_jobs.has_value() ? "job limit" : "time limit");
		auto info = pipeline({"kova_dma"}, 2, 64);
		info.blocking_mode = true;
		auto worker = make_worker(info);
		worker->set_run_timing({impl::default_stall_limit, 5000});
		run_result const result = run(*worker, benchmark_mode::throughput, limits);
		EXPECT_FALSE(result.critical);
		EXPECT_GT(result.stats.step.dequeued_jobs, 0u);
		EXPECT_EQ(result.stats.step.enqueued_jobs, result.stats.step.dequeued_jobs);
		EXPECT_LT(result.wall, std::chrono::milliseconds{5000});
	}
}

TEST_F(thread_data_test, batched_submission_flushes_once_per_batch_and_meets_every_limit)
{
	struct batch_case {
		const char *name;
		uint8_t batch_mode;
		uint32_t batch_size;
		uint32_t jobs;
		configuration::run_limits limits;
	};
	std::vector<batch_case> const cases{
		{"job limit, batch of 4 over 6 jobs", 1, 4, 6, job_limit(101)},
		{"job limit, minimal reports", 2, 4, 8, job_limit(64)},
		{"job limit below the job count", 1, 4, 8, job_limit(3)},
		{"byte limit", 1, 4, 6, byte_limit(64 * 50)},
		{"byte limit, batch larger than the job count", 1, 16, 6, byte_limit(64 * 50)},
		{"time limit", 1, 3, 8, time_limit(0)},
		{"batch size 0", 1, 0, 4, job_limit(40)},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		kova_test_reset();
		control->critical.exchange(0);
		auto info = pipeline({"kova_dma"}, c.jobs, 64);
		info.batch_mode = static_cast<configuration::batch_mode>(c.batch_mode);
		info.batch_size = c.batch_size;
		auto worker = make_worker(info);
		worker->set_run_timing({std::chrono::seconds{5}, impl::default_event_wait_ms});
		run_result const result = run(*worker, benchmark_mode::throughput, c.limits);
		EXPECT_FALSE(result.critical) << result.out;
		EXPECT_EQ(result.stats.step.enqueued_jobs, result.stats.step.dequeued_jobs);
		if (c.limits.max_jobs.has_value()) {
			EXPECT_EQ(result.stats.step.dequeued_jobs, *c.limits.max_jobs);
		}
		if (c.limits.max_bytes.has_value()) {
			EXPECT_GE(result.stats.step.ingress_bytes, *c.limits.max_bytes);
		}

		kova_test_counters counters{};
		kova_test_get_counters(&counters);
		EXPECT_EQ(counters.submissions, result.stats.step.enqueued_jobs);
		uint32_t const batch = std::max<uint32_t>(1, std::min(c.batch_size, c.jobs));
		// At most one doorbell per full batch, plus the batches closed early.
		EXPECT_LE(counters.flushes, counters.submissions / batch + counters.submissions % batch + 2);
		if (batch > 1) {
			EXPECT_LT(counters.flushes, counters.submissions);
		}
	}
}

TEST_F(thread_data_test, a_step_without_tasks_cannot_run_in_a_cpu_pipeline)
{
	for (auto const &steps : {std::vector<std::string>{"kova_dma", "kova_tessel::eth_bidir"},
				  std::vector<std::string>{"kova_dma", "kova_tessel::nop"}}) {
		SCOPED_TRACE(steps.back());
		auto const info = pipeline(steps);
		auto worker = std::make_unique<impl::thread_data>(0, 0, 0, info, control, state, &create_test_step);
		auto const e = thrown_by([&] { worker->prepare_tasks(info, state); });
		EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_EQ(std::string{e.what()}, "Step " + steps.back() + " cannot run in a CPU pipeline");
	}
}

TEST_F(thread_data_test, a_task_pool_smaller_than_the_job_count_is_named_as_the_cause)
{
	auto info = pipeline({"kova_dma"}, 4, 64);
	for (auto &step : info.steps)
		step.attributes.task_pool_size = 2;
	info.task_pool_size = 2;
	auto worker = std::make_unique<impl::thread_data>(0, 0, 0, info, control, state, &create_test_step);
	auto const e = thrown_by([&] { worker->prepare_tasks(info, state); });
	EXPECT_EQ(e.code(), KOVA_ERROR_NO_MEMORY);
	EXPECT_EQ(std::string{e.what()},
		  "Unable to create kova_dma_task_memcpy task (task pool size 2 is smaller than the job count 4)");
	EXPECT_STREQ(e.function(), "create_task_set");
}

TEST_F(thread_data_test, construction_refuses_empty_pipelines_and_a_thread_index_out_of_range)
{
	auto const no_steps = pipeline({});
	auto const e = thrown_by([&] { impl::thread_data{0, 0, 0, no_steps, control, state, &create_test_step}; });
	EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(std::string{e.what()}, "Pipeline has no steps");
	auto const no_jobs = pipeline({"kova_dma"}, 0);
	auto const e2 = thrown_by([&] { impl::thread_data{0, 0, 0, no_jobs, control, state, &create_test_step}; });
	EXPECT_EQ(e2.code(), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(std::string{e2.what()}, "Pipeline has no jobs");

	auto const info = pipeline({"kova_dma"});
	auto const out_of_range =
		thrown_by([&] { impl::thread_data{65535, 0, 0, info, control, state, &create_test_step}; });
	EXPECT_EQ(out_of_range.code(), KOVA_ERROR_INVALID_VALUE);
	EXPECT_NO_THROW((impl::thread_data{65534, 0, 0, info, control, state, &create_test_step}));
}

TEST_F(thread_data_test, critical_failure_sets_stop_then_critical)
{
	auto const info = pipeline({"kova_dma"});
	auto worker = make_worker(info);
	worker->set_critical_benchmark_failure();
	EXPECT_EQ(control->stop.load(), 1);
	EXPECT_EQ(control->critical.load(), 1);
}

// A GPU-led pipeline: only its first step runs, between start() and stop().
TEST_F(thread_data_test, gpu_pipelines_run_only_throughput)
{
	struct gpu_case {
		const char *name;
		uint8_t mode;
		configuration::run_limits limits;
		const char *refusal;
	};
	std::vector<gpu_case> const cases{
		{"jobs", 0, job_limit(100), nullptr},
		{"bytes", 0, byte_limit(6400), nullptr},
		{"time", 0, time_limit(0), nullptr},
		{"none", 0, {}, "No run limit set for throughput mode"},
		{"bulk latency", 1, job_limit(10), "bulk latency not available for Tessel"},
		{"precision latency", 2, job_limit(10), "precision latency not available for Tessel"},
		{"max bandwidth", 3, job_limit(10), "max bandwidth mode is currently disabled"},
	};
	auto info = pipeline({"kova_tessel::nop"});
	info.warm_up_job_count = 16;
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		control->critical.exchange(0);
		auto worker = make_worker(info);
		run_result const result = run(*worker, static_cast<benchmark_mode>(c.mode), c.limits);
		EXPECT_THAT(result.out, HasSubstr("[kova_tessel::nop] started...\n"));
		EXPECT_THAT(result.out, HasSubstr("Worker thread[0] Executing 16 warm-up tasks\n"));
		if (c.refusal != nullptr) {
			EXPECT_TRUE(result.critical);
			EXPECT_THAT(result.out, HasSubstr(failure_report(KOVA_ERROR_NOT_SUPPORTED, c.refusal)));
			continue;
		}
		EXPECT_FALSE(result.critical) << result.out;
		EXPECT_EQ(static_cast<fake_gpu_step *>(created_steps.back())->stops(), 1u);
		if (c.limits.max_jobs.has_value()) {
			EXPECT_GE(result.stats.step.dequeued_jobs, *c.limits.max_jobs);
		}
		if (c.limits.max_bytes.has_value()) {
			EXPECT_GE(result.stats.step.ingress_bytes, *c.limits.max_bytes);
		}
	}
}

TEST_F(thread_data_test, a_stalled_gpu_step_is_stopped_before_the_stuck_error)
{
	auto const info = pipeline({"kova_tessel::nop"});
	auto worker = make_worker(info);
	worker->set_run_timing({std::chrono::milliseconds{200}, impl::default_event_wait_ms});
	fake_gpu_step::stalled = true;
	run_result const result = run(*worker, benchmark_mode::throughput, job_limit(10));
	EXPECT_TRUE(result.critical);
	EXPECT_THAT(result.out, HasSubstr(failure_report(
					KOVA_ERROR_TIME_OUT, "WT [0] Stuck after 30 seconds. Enqueue count: 0, dequeue count: 0")));
	EXPECT_EQ(static_cast<fake_gpu_step *>(created_steps.back())->stops(), 1u);
}

} // namespace
} // namespace kova::bench::worker_test
