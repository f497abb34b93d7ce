// A worker thread's cost per job: a one-step DMA pipeline over the stand-in run to a job limit, the
// time being the worker's own measured run. Compare with sdk_common_bench, the stand-in's floor.
#include "configuration.hpp"
#include "impl/shared_thread_control_block.hpp"
#include "impl/thread_data.hpp"
#include "runtime_state.hpp"
#include "stats/permutation_stats.hpp"
#include "utility/pipeline_info.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

using namespace kova::bench;

constexpr uint64_t jobs_per_run = 200000;

void worker_throughput(benchmark::State &state)
{
	uint32_t const job_count = static_cast<uint32_t>(state.range(0));
	auto const batch = static_cast<configuration::batch_mode>(state.range(1));
	std::vector<char> bytes(64, 'x');

	utility::pipeline_info info;
	for (uint32_t job = 0; job != job_count; ++job)
		info.jobs.push_back({bytes.data(), bytes.size(), static_cast<uint32_t>(bytes.size())});
	utility::pipeline_info::step_definition dma;
	dma.name = "kova_dma";
	dma.attributes.task_pool_size = job_count;
	dma.attributes.job_count = job_count;
	info.steps.push_back(dma);
	info.batch_mode = batch;
	info.batch_size = 8;

	runtime_state runtime;
	runtime.open_device_and_representor("03:00.0", {});
	auto control = std::make_shared<impl::shared_thread_control_block>();
	configuration::run_limits limits;
	limits.max_jobs = jobs_per_run;

	// The worker's banner goes to /dev/null while measuring.
	std::fflush(stdout);
	int const saved_stdout = ::dup(STDOUT_FILENO);
	int const null = ::open("/dev/null", O_WRONLY);
	::dup2(null, STDOUT_FILENO);
	for (auto _ : state) {
		impl::thread_data worker{0, 0, 0, info, control, runtime};
		worker.prepare_tasks(info, runtime);
		control->running_count.fetch_add(1);
		worker.thread_proc(configuration::benchmark_mode::throughput, limits);
		thread_stats const stats = worker.get_stats();
		if (stats.step.dequeued_jobs != jobs_per_run) {
			state.SkipWithError("the run did not reach its job limit");
			break;
		}
		state.SetIterationTime(std::chrono::duration<double>(stats.duration).count());
	}
	std::fflush(stdout);
	::dup2(saved_stdout, STDOUT_FILENO);
	::close(saved_stdout);
	::close(null);
	state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * jobs_per_run));
}

BENCHMARK(worker_throughput)
	->ArgsProduct({{1, 64}, {0, 1}})
	->ArgNames({"jobs", "batch_mode"})
	->UseManualTime()
	->Unit(benchmark::kMillisecond);

} // namespace
