// Launching one permutation: buffer sizes, remote regions, worker states, the steps' asynchronous
// setup, tasks, and worker threads pinned to their cores and released together.
#include "benchmark.hpp"

#include "companion/api/request_or_throw.hpp"
#include "impl/async_poll_loop.hpp"
#include "impl/pipeline_description.hpp"
#include "impl/pipeline_trial.hpp"
#include "impl/thread_affinity.hpp"
#include "kova_exception.hpp"
#include "utility/configuration_utils.hpp"

#include <kova/error.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>

namespace kova::bench {
namespace {

namespace api = companion::api;
namespace v1 = companion::api::v1;
constexpr auto trial_poll_interval = std::chrono::milliseconds{1};

} // namespace

void benchmark::announce(const char *what) const
{
	if (m_permutations.size() <= 1)
		std::printf("%s...\n", what);
	else
		std::printf("%s permutation %u of %lu...\n", what, m_permutation_idx + 1,
			    static_cast<unsigned long>(m_permutations.size()));
	std::fflush(stdout);
}

void benchmark::launch_permutation()
{
	m_permutation_released = false;
	announce("Preparing");
	m_next_stats_report_time =
		std::chrono::steady_clock::now() + std::chrono::milliseconds{m_fixed.rt_stats_interval};

	std::vector<uint32_t> const core_list = make_core_list();
	if (m_permutation_idx != 0) {
		m_data_provider.reset();
		m_data_provider = make_data_provider();
	}

	auto &permutation = m_permutations.at(m_permutation_idx);
	uint32_t job_output_buffer_size = permutation.job_output_buffer_size;
	auto const &first_pipeline = m_fixed.pipelines.front();
	if (job_output_buffer_size == 0 && !first_pipeline.steps.empty() &&
	    utility::is_tessel_step_type(first_pipeline.steps.front().name)) {
		for (auto const &candidate : m_permutations) {
			if (candidate.uniform_job_size.has_value())
				job_output_buffer_size = std::max(job_output_buffer_size, *candidate.uniform_job_size);
		}
		permutation.job_output_buffer_size = job_output_buffer_size;
	}

	std::vector<utility::pipeline_info> pipelines =
		job_output_buffer_size != 0 ? build_pipelines(job_output_buffer_size) : run_pipeline_trial();

	prepare_remote_mmaps(pipelines, static_cast<uint32_t>(core_list.size()));
	create_thread_data(pipelines, core_list);
	run_async_setup();
	for (std::size_t i = 0; i != m_thread_data.size(); ++i)
		m_thread_data[i]->prepare_tasks(pipelines[i % pipelines.size()], m_runtime_state);
	start_remote_workers();

	announce("Executing");
	if (m_fixed.record_cpu_usage)
		m_stats_engine->start_cpu_usage_recording(core_list);

	m_control_block->start_gate.exchange(1);
	m_control_block->stop.exchange(0);
	start_threads();

	m_permutation_start_time = std::chrono::steady_clock::now();
	m_control_block->start_gate.exchange(0);
	m_permutation_released = true;
}

std::vector<uint32_t> benchmark::make_core_list() const
{
	auto const &permutation = m_permutations.at(m_permutation_idx);
	auto const &cores = m_fixed.core_set.cores;
	std::size_t const core_count = std::min<std::size_t>(permutation.core_count, cores.size());
	uint64_t const thread_count = uint64_t{core_count} * permutation.threads_per_core;
	if (thread_count > impl::max_worker_threads)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Too many worker threads: " + std::to_string(thread_count) +
							     ", at most " + std::to_string(impl::max_worker_threads) +
							     " are supported");

	std::vector<uint32_t> core_list;
	core_list.reserve(thread_count);
	for (std::size_t core = 0; core != core_count; ++core)
		core_list.insert(core_list.end(), permutation.threads_per_core, cores[core]);
	return core_list;
}

std::vector<utility::pipeline_info> benchmark::build_pipelines(uint32_t job_output_buffer_size) const
{
	auto const &permutation = m_permutations.at(m_permutation_idx);
	std::vector<utility::pipeline_info::job_info> jobs;
	for (auto const &job : m_data_provider->get_job_prototypes().jobs)
		jobs.push_back(utility::pipeline_info::job_info{job.data(), job.size(), job_output_buffer_size});
	uint32_t const job_input_size = jobs.empty() ? 0 : static_cast<uint32_t>(jobs.back().size);

	kova::optional<uint32_t> mtu_size;
	if (permutation.mtu_size.has_value())
		mtu_size.assign(static_cast<uint32_t>(*permutation.mtu_size));

	std::vector<utility::pipeline_info> pipelines;
	for (auto const &pipeline : m_fixed.pipelines) {
		utility::pipeline_info info = impl::make_pipeline_info(m_fixed, pipeline);
		info.jobs = jobs;
		for (auto const &step : pipeline.steps) {
			step::object::attributes attributes = impl::make_step_attributes(m_fixed, permutation, step);
			attributes.task_pool_size = permutation.task_pool_size;
			attributes.job_output_buffer_size = job_output_buffer_size;
			attributes.job_count = static_cast<uint32_t>(jobs.size());
			attributes.job_input_size = job_input_size;
			attributes.mtu_size = mtu_size;
			attributes.sq_depth = permutation.send_queue_size;
			attributes.rq_depth = permutation.receive_queue_size;
			attributes.use_remote_input_buffers = pipeline.use_remote_input_buffers;
			attributes.use_remote_output_buffers = pipeline.use_remote_output_buffers;
			info.steps.push_back(utility::pipeline_info::step_definition{step.name, std::move(attributes)});
		}
		info.gather = permutation.gather_value;
		info.scatter = permutation.scatter_value;
		info.mtu_size = mtu_size;
		info.sq_depth = permutation.send_queue_size;
		info.rq_depth = permutation.receive_queue_size;
		info.task_pool_size = permutation.task_pool_size;
		pipelines.push_back(std::move(info));
	}
	return pipelines;
}

std::vector<utility::pipeline_info> benchmark::run_pipeline_trial()
{
	auto const &permutation = m_permutations.at(m_permutation_idx);
	impl::pipeline_trial const trial{m_fixed, permutation, m_runtime_state, m_data_provider.get()};
	while (trial.progress_trial())
		std::this_thread::sleep_for(trial_poll_interval);
	// Sizes from a trial that failed cannot be trusted.
	if (const kova::exception *error = trial.get_error())
		throw *error;
	return trial.get_computed_configs(permutation);
}

// The companion's regions of the previous permutation go; each pipeline gets one output region
// per thread that runs it, sized for its own jobs, and every thread one input region.
void benchmark::prepare_remote_mmaps(const std::vector<utility::pipeline_info> &pipelines, uint32_t thread_count)
{
	bool const any_input = std::any_of(pipelines.begin(), pipelines.end(),
					   [](const auto &pipeline) { return pipeline.use_remote_input_buffers; });
	bool const any_output = std::any_of(pipelines.begin(), pipelines.end(),
					    [](const auto &pipeline) { return pipeline.use_remote_output_buffers; });
	m_output_mmap_offsets.assign(pipelines.size(), 0);
	if (!any_input && !any_output)
		return;

	if (m_remote_mmaps_created) {
		auto *context = m_runtime_state.get_companion_connection_async();
		if (context != nullptr) {
			api::request_or_throw(v1::destroy_remote_mmaps_request{m_runtime_state.get_next_api_message_seq_num()},
					      *context, m_companion_limits.request.count(), "Failed to destroy remote mmaps: ",
					      api::reply_text::bare);
		}
		m_remote_mmaps_created = false;
	}
	m_runtime_state.set_input_remote_mmap_definitions({});
	m_runtime_state.set_output_remote_mmap_definitions({});

	std::size_t const pipeline_count = pipelines.size();
	for (std::size_t p = 0; p != pipeline_count; ++p) {
		auto const &pipeline = pipelines[p];
		m_output_mmap_offsets[p] = m_runtime_state.get_output_remote_mmap_definitions().size();
		if (!pipeline.use_remote_output_buffers)
			continue;
		uint64_t size = 0;
		for (auto const &job : pipeline.jobs)
			size += 2 * uint64_t{job.output_size};
		if (size > std::numeric_limits<uint32_t>::max())
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Remote memory region size exceeds 4 GiB");
		uint32_t const count = thread_count / pipeline_count + (p < thread_count % pipeline_count ? 1 : 0);
		if (count == 0)
			continue;
		m_remote_mmaps_created = true;
		m_runtime_state.add_output_remote_mmap_definitions(
			create_remote_output_mmaps(count, static_cast<uint32_t>(size)));
	}
	if (any_input && thread_count != 0) {
		m_remote_mmaps_created = true;
		m_runtime_state.set_input_remote_mmap_definitions(create_remote_input_mmaps(thread_count));
	}
}

void benchmark::create_thread_data(std::vector<utility::pipeline_info> &pipelines, const std::vector<uint32_t> &core_list)
{
	std::size_t const pipeline_count = pipelines.size();
	auto const &output_definitions = m_runtime_state.get_output_remote_mmap_definitions();
	m_thread_data.reserve(core_list.size());
	for (uint32_t i = 0; i != core_list.size(); ++i) {
		uint32_t const p = static_cast<uint32_t>(i % pipeline_count);
		auto &pipeline = pipelines[p];
		pipeline.input_remote_mmap_definition =
			pipeline.use_remote_input_buffers ? &m_runtime_state.get_input_remote_mmap_definition(i) : nullptr;
		pipeline.output_remote_mmap_definition = nullptr;
		if (pipeline.use_remote_output_buffers) {
			std::size_t const index = m_output_mmap_offsets[p] + i / pipeline_count;
			if (index >= output_definitions.size())
				KOVA_THROW(KOVA_ERROR_BAD_STATE,
					   "Tried to use an output remote mmap but no output mmaps have been created");
			pipeline.output_remote_mmap_definition = &output_definitions[index];
		}
		m_thread_data.push_back(std::make_unique<impl::thread_data>(i, core_list[i], p, pipeline, m_control_block,
									    m_runtime_state));
	}
}

void benchmark::run_async_setup()
{
	// The previous permutation's end left the stop flag set; only a stop asked for during this
	// set-up aborts it.
	m_control_block->stop.exchange(0);
	impl::async_batch batch;
	batch.purpose = impl::async_batch::kind::setup;
	batch.companion = m_runtime_state.get_companion_connection_async();
	batch.should_abort = [this] { return m_control_block->stop.load() != 0; };
	batch.on_failure = [this] { m_control_block->critical.exchange(1); };
	impl::run_async_batch(batch, [this](impl::async_poller &poller) {
		for (auto &state : m_thread_data)
			state->start_async_setup(poller);
	});
}

void benchmark::start_remote_workers()
{
	bool const needed = std::any_of(m_thread_data.begin(), m_thread_data.end(),
					[](const auto &state) { return state->has_remote_workers(); });
	if (!needed)
		return;
	auto *context = m_runtime_state.get_companion_connection_async();
	if (context == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_CONNECTED, "Unable to start remote processes without a companion connection");
	api::request_or_throw(v1::start_workers_request{m_runtime_state.get_next_api_message_seq_num()}, *context,
			      m_companion_limits.request.count(), "Failed to start remote processes: ");
}

void benchmark::start_threads()
{
	auto const mode = m_fixed.benchmark_mode;
	auto const limits = m_fixed.run_limits;
	try {
		for (auto &state : m_thread_data) {
			impl::thread_data *const worker = state.get();
			// Counted before it starts, so that a thread ending at once never takes the count below 0.
			m_control_block->running_count.fetch_add(1);
			try {
				m_threads.emplace_back([worker, mode, limits] { worker->thread_proc(mode, limits); });
			} catch (...) {
				m_control_block->running_count.fetch_sub(1);
				throw;
			}
			impl::set_thread_affinity(m_threads.back(), worker->get_core_idx());
		}
	} catch (...) {
		// The threads started so far leave the gate on the stop request and are joined; the
		// failure to start is what the caller learns.
		try {
			stop_and_join_threads();
		} catch (...) {
		}
		throw;
	}
}

} // namespace kova::bench
