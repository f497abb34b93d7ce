// Unit tests for src/impl/pipeline_trial.cpp and its thread state, over the stand-in libraries.
#include "config/cli_args.hpp"
#include "data_provider/random_data_provider.hpp"
#include "impl/pipeline_trial.hpp"
#include "runtime_state.hpp"

#include <kova/error.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kova::bench::test {
namespace {

using impl::pipeline_trial;

class pipeline_trial_test : public ::testing::Test {
protected:
	pipeline_trial_test()
	{
		kova_test_reset();
		state.open_device_and_representor("03:00.0", {});
	}
	~pipeline_trial_test() override { kova_test_reset(); }

	// The configuration of the arguments (a device, one core and a run limit are added) and a
	// random data provider of `job_count` jobs of `job_size` bytes.
	void configure(std::vector<std::string> args, uint32_t job_count = 4, uint32_t job_size = 16384)
	{
		args.insert(args.end(), {"--device", "03:00.0", "--core-list", "0", "--run-limit-seconds", "1"});
		config = configuration_from(args);
		data_provider::attributes attributes;
		attributes.job_count = job_count;
		attributes.uniform_job_size = job_size;
		provider = std::make_unique<random_data_provider>(attributes, 7);
	}

	// Runs the trial of a permutation to its end.
	std::unique_ptr<pipeline_trial> run(std::size_t permutation = 0)
	{
		auto trial = std::make_unique<pipeline_trial>(config.fixed, config.permutations.at(permutation), state,
							      provider.get());
		auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{30};
		while (trial->progress_trial()) {
			if (std::chrono::steady_clock::now() > deadline) {
				ADD_FAILURE() << "trial did not end";
				break;
			}
			std::this_thread::sleep_for(std::chrono::milliseconds{1});
		}
		return trial;
	}

	static uint64_t submissions()
	{
		kova_test_counters counters{};
		kova_test_get_counters(&counters);
		return counters.submissions;
	}

	configuration_collection config;
	runtime_state state;
	std::unique_ptr<data_provider> provider;
};

TEST_F(pipeline_trial_test, steps_that_do_not_transform_record_the_job_size_without_running)
{
	configure({"--pipeline-steps", "kova_dma", "--task-pool-size", "64", "--sweep", "core-count,1,2,+1"}, 3, 5000);
	auto const trial = run();
	EXPECT_EQ(trial->get_error(), nullptr);
	EXPECT_EQ(submissions(), 0u);

	auto const pipelines = trial->get_computed_configs(config.permutations[0]);
	ASSERT_EQ(pipelines.size(), 1u);
	auto const &pipeline = pipelines[0];
	ASSERT_EQ(pipeline.jobs.size(), 3u);
	for (auto const &job : pipeline.jobs) {
		EXPECT_EQ(job.size, 5000u);
		EXPECT_EQ(job.output_size, 5000u);
	}
	EXPECT_EQ(pipeline.task_pool_size, 64u);
	ASSERT_EQ(pipeline.steps.size(), 1u);
	EXPECT_EQ(pipeline.steps[0].attributes.task_pool_size, 64u);
	EXPECT_EQ(pipeline.steps[0].attributes.job_output_buffer_size, 5000u);
	EXPECT_EQ(pipeline.steps[0].attributes.job_count, 3u);
	EXPECT_EQ(pipeline.input_remote_mmap_definition, nullptr);
}

TEST_F(pipeline_trial_test, transforming_steps_record_the_largest_size_a_job_reaches)
{
	configure({"--pipeline-steps", "kova_compress::compress,kova_compress::decompress", "-a",
		   "kova_compress.algorithm=deflate"},
		  2, 65536);
	auto const trial = run();
	ASSERT_EQ(trial->get_error(), nullptr) << trial->get_error()->what();
	EXPECT_EQ(submissions(), 4u);

	auto const pipelines = trial->get_computed_configs(config.permutations[0]);
	uint32_t largest = 0;
	for (auto const &job : pipelines.at(0).jobs) {
		// Random data does not compress: the compressed form is the larger.
		EXPECT_GT(job.output_size, 65536u);
		largest = std::max(largest, job.output_size);
	}
	for (auto const &step : pipelines[0].steps)
		EXPECT_EQ(step.attributes.job_output_buffer_size, largest);
}

TEST_F(pipeline_trial_test, a_digest_is_smaller_than_its_job_and_the_buffers_cover_the_job)
{
	configure({"--pipeline-steps", "kova_sha", "-a", "kova_sha.algorithm=sha256"}, 2, 4096);
	auto const trial = run();
	ASSERT_EQ(trial->get_error(), nullptr) << trial->get_error()->what();
	auto const pipelines = trial->get_computed_configs(config.permutations[0]);
	for (auto const &job : pipelines.at(0).jobs)
		EXPECT_EQ(job.output_size, 32u);
	EXPECT_EQ(pipelines[0].steps.at(0).attributes.job_output_buffer_size, 4096u);
}

TEST_F(pipeline_trial_test, each_pipeline_is_measured_on_its_own_thread)
{
	configure({"--pipeline-steps", "kova_dma", "--pipeline-steps", "kova_sha", "-a", "kova_sha.algorithm=sha256"}, 2,
		  8192);
	auto const trial = run();
	ASSERT_EQ(trial->get_error(), nullptr) << trial->get_error()->what();
	auto const pipelines = trial->get_computed_configs(config.permutations[0]);
	ASSERT_EQ(pipelines.size(), 2u);
	EXPECT_EQ(pipelines[0].jobs.at(0).output_size, 8192u);
	EXPECT_EQ(pipelines[1].jobs.at(0).output_size, 32u);
	EXPECT_EQ(pipelines[0].steps.at(0).name, "kova_dma");
	EXPECT_EQ(pipelines[1].steps.at(0).name, "kova_sha");
}

TEST_F(pipeline_trial_test, step_attributes_merge_fixed_then_permutation_values)
{
	configure({"--pipeline-steps", "kova_dma", "-a", "kova_sha.algorithm=sha256", "--sweep",
		   "zoption.mmo.log_qp_depth,4,5,+1"});
	for (std::size_t permutation : {0u, 1u}) {
		SCOPED_TRACE(permutation);
		auto const trial = run(permutation);
		auto const pipelines = trial->get_computed_configs(config.permutations[permutation]);
		auto const &map = pipelines.at(0).steps.at(0).attributes.attribute_map;
		EXPECT_EQ(map.at("kova_sha.algorithm"), "sha256");
		EXPECT_EQ(map.at("zoption.mmo.log_qp_depth"), std::to_string(4 + permutation));
	}
}

TEST_F(pipeline_trial_test, failures_are_kept_for_the_launch_and_never_end_the_process)
{
	struct failure_case {
		const char *name;
		void (*inject)();
		kova_error code;
		const char *message;
		const char *printed;
	};
	std::vector<failure_case> const cases{
		{"failed task", [] { kova_test_inject_completion_status(nullptr, KOVA_ERROR_DRIVER, 1); }, KOVA_ERROR_DRIVER,
		 "Pipeline trial task of kova_sha failed",
		 "Unrecoverable error(KOVA_ERROR_DRIVER) when retrieving kova_task result\n"},
		{"refused submission",
		 [] { kova_test_inject_submit_result(nullptr, KOVA_TEST_TRY_SUBMIT, KOVA_ERROR_NO_MEMORY, 1); },
		 KOVA_ERROR_NO_MEMORY, "Unable to submit trial task", ""},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		configure({"--pipeline-steps", "kova_sha", "-a", "kova_sha.algorithm=sha256"}, 2, 4096);
		c.inject();
		::testing::internal::CaptureStderr();
		auto const trial = run();
		std::string const printed = ::testing::internal::GetCapturedStderr();
		const kova::exception *error = trial->get_error();
		ASSERT_NE(error, nullptr);
		EXPECT_EQ(error->code(), c.code);
		EXPECT_STREQ(error->what(), c.message);
		EXPECT_NE(printed.find(c.printed), std::string::npos) << printed;
	}
}

TEST_F(pipeline_trial_test, a_submission_the_device_defers_is_retried)
{
	configure({"--pipeline-steps", "kova_sha", "-a", "kova_sha.algorithm=sha256"}, 2, 4096);
	kova_test_inject_submit_result(nullptr, KOVA_TEST_TRY_SUBMIT, KOVA_ERROR_AGAIN, 3);
	auto const trial = run();
	EXPECT_EQ(trial->get_error(), nullptr);
	EXPECT_EQ(trial->get_computed_configs(config.permutations[0]).at(0).jobs.at(1).output_size, 32u);
}

TEST_F(pipeline_trial_test, a_pipeline_that_cannot_be_built_stops_the_threads_already_started)
{
	configure({"--pipeline-steps", "kova_dma", "--pipeline-steps", "kova_sha"}, 2, 4096);
	// The second pipeline's step cannot be made: kova_sha has no algorithm.
	EXPECT_THROW(
		{
			pipeline_trial const trial(config.fixed, config.permutations[0], state, provider.get());
		},
		kova::exception);
}

TEST_F(pipeline_trial_test, a_job_larger_than_the_step_accepts_fails_the_trial)
{
	configure({"--pipeline-steps", "kova_compress::compress", "-a", "kova_compress.algorithm=deflate"}, 1,
		  3 * 1024 * 1024);
	auto const trial = run();
	ASSERT_NE(trial->get_error(), nullptr);
	EXPECT_STREQ(trial->get_error()->what(), "Unable to submit trial task");
}

} // namespace
} // namespace kova::bench::test
