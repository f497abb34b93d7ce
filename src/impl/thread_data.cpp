// Construction, preparation and the thread procedure of a worker thread.
#include "impl/thread_data.hpp"

#include "impl/async_poller.hpp"
#include "impl/event_handle.hpp"
#include "impl/relaxed_counter.hpp"
#include "impl/task_pool.hpp"
#include "impl/thread_data_cold.hpp"
#include "kova_delegated_deleter.hpp"
#include "kova_exception.hpp"
#include "runtime_state.hpp"
#include "step/factory.hpp"
#include "stats/permutation_stats.hpp"
#include "utility/configuration_utils.hpp"
#include "utility/kova_utils.hpp"

#include <kova/error.h>
#include <kova/pe.h>
#include <kova/version.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace kova::bench::impl {
namespace {

void sleep_at_gate() noexcept
{
	timespec request{0, start_gate_sleep.count()};
	timespec remaining{};
	while (nanosleep(&request, &remaining) != 0 && errno == EINTR)
		request = remaining;
}

kova_dev *first_device(runtime_state &state)
{
	auto const devices = state.get_devices();
	if (devices.empty())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to create worker thread, no devices are opened");
	return devices.front();
}

const utility::pipeline_info &checked(const utility::pipeline_info &info, uint32_t thread_index)
{
	if (thread_index >= max_worker_threads)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Thread index " + std::to_string(thread_index) +
							     " is out of range, at most " +
							     std::to_string(max_worker_threads) +
							     " worker threads are supported");
	if (info.steps.empty())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Pipeline has no steps");
	if (info.jobs.empty())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Pipeline has no jobs");
	return info;
}

} // namespace

thread_data::thread_data(uint32_t thread_index, uint32_t core_id, uint32_t pipeline_index,
			 const utility::pipeline_info &info, std::shared_ptr<shared_thread_control_block> control_block,
			 runtime_state &state)
	: thread_data{thread_index, core_id, pipeline_index, info, std::move(control_block), state,
		      &step::factory::create_step}
{
}

thread_data::thread_data(uint32_t thread_index, uint32_t core_id, uint32_t pipeline_index,
			 const utility::pipeline_info &info, std::shared_ptr<shared_thread_control_block> control_block,
			 runtime_state &state, step_creator create_step)
	: m_cold{std::make_unique<cold>(thread_index, core_id, pipeline_index, checked(info, thread_index),
					std::move(control_block), first_device(state))}
{
	cold &c = *m_cold;

	c.steps.reserve(info.steps.size());
	for (auto const &definition : info.steps)
		c.steps.push_back(create_step(definition.name, definition.attributes, state, c.pe.get(),
					      &thread_data::process_result, &thread_data::process_error,
					      kova_data{.ptr = this}));
	for (auto &step : c.steps)
		step->set_mmaps(c.pool.get_input_mmap(), c.pool.get_output_mmap());
	if (info.blocking_mode)
		c.event = make_event_handle(c.pe.get());
	c.gpu_pipeline = utility::is_tessel_step_type(c.steps.front()->get_name());

	m_pe = c.pe.get();
	m_stats = &c.stats;
	m_first_wrappers = c.first_wrappers.data();
	m_event_handle = c.event.get();
	m_job_count = static_cast<uint32_t>(c.first_wrappers.size());
	// A batch never waits for more submissions than there are jobs to make them.
	m_batch_size = std::max<uint32_t>(1, std::min(c.batch_size, m_job_count));
	m_batch_mode = c.batch_mode;
	switch (c.batch_mode) {
	case configuration::batch_mode::batch_submit:
		m_batch_submit_flags = KOVA_TASK_SUBMIT_FLAG_NONE;
		m_flush_submit_flags = KOVA_TASK_SUBMIT_FLAG_FLUSH;
		break;
	case configuration::batch_mode::batch_submit_minimal_reports:
		m_batch_submit_flags = KOVA_TASK_SUBMIT_FLAG_OPTIMIZE_REPORTS;
		m_flush_submit_flags = KOVA_TASK_SUBMIT_FLAG_OPTIMIZE_REPORTS | KOVA_TASK_SUBMIT_FLAG_FLUSH;
		break;
	default:
		m_batch_submit_flags = KOVA_TASK_SUBMIT_FLAG_FLUSH;
		m_flush_submit_flags = KOVA_TASK_SUBMIT_FLAG_FLUSH;
		break;
	}
	update_run_flags_cache();
}

thread_data::~thread_data()
{
	// Steps drain their contexts when destroyed: jobs still in flight may move on to the steps
	// after them, but none starts again.
	m_run_flags = (m_run_flags & ~keep_submitting) | tearing_down;
}

bool thread_data::add_step_sequences(async_poller &poller, step_sequence_starter start)
{
	bool any = false;
	for (auto &step : m_cold->steps) {
		if (auto sequence = (*step.*start)()) {
			poller.add(std::move(sequence));
			any = true;
		}
	}
	return any;
}

bool thread_data::start_async_setup(async_poller &poller)
{
	m_run_flags &= ~tearing_down;
	return add_step_sequences(poller, &step::object::start_async_setup);
}

bool thread_data::start_async_teardown(async_poller &poller)
{
	m_run_flags |= tearing_down;
	return add_step_sequences(poller, &step::object::start_async_teardown);
}

void thread_data::prepare_tasks(const utility::pipeline_info &info, runtime_state & /*state*/)
{
	cold &c = *m_cold;
	std::vector<task_wrapper *> first = c.pool.create_tasks(info, c.steps);

	// Only a GPU step at the head of its pipeline runs without tasks; anywhere else a step
	// without a task would stop its jobs for good.
	if (!c.gpu_pipeline && !first.empty()) {
		task_wrapper const *wrapper = first.front();
		for (auto const &step : c.steps) {
			if (wrapper->task == nullptr)
				KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
					   std::string{"Step "} + step->get_name() + " cannot run in a CPU pipeline");
			wrapper = wrapper->next;
		}
	}

	c.first_wrappers = std::move(first);
	m_first_wrappers = c.first_wrappers.data();
	m_job_count = static_cast<uint32_t>(c.first_wrappers.size());
	m_batch_size = std::max<uint32_t>(1, std::min(c.batch_size, m_job_count));
	c.tasks_prepared = true;
}

bool thread_data::has_remote_workers() const
{
	return std::any_of(m_cold->steps.begin(), m_cold->steps.end(),
			   [](auto const &step) { return step->get_companion_worker_id() != 0; });
}

uint32_t thread_data::get_pipeline_id() const
{
	return m_cold->pipeline_index;
}

uint32_t thread_data::get_core_idx() const
{
	return m_cold->stats.core_id;
}

void thread_data::set_critical_benchmark_failure() noexcept
{
	shared_thread_control_block &block = *m_cold->control_block;
	static_cast<void>(block.stop.exchange(1));
	static_cast<void>(block.critical.exchange(1));
}

void thread_data::update_run_flags_cache() noexcept
{
	shared_thread_control_block const &block = *m_cold->control_block;
	uint32_t flags = m_run_flags & ~(hold | stop_requested);
	if (block.start_gate.load() != 0)
		flags |= hold;
	if (block.stop.load() != 0)
		flags |= stop_requested;
	m_run_flags = flags;
}

void thread_data::set_run_timing(const run_timing &timing) noexcept
{
	m_stall_limit_ns = timing.stall_limit.count();
	m_event_wait_ms = timing.event_wait_ms;
}

void thread_data::reset_stats()
{
	step_stats &counters = m_cold->stats.step;
	relaxed_write<uint64_t>(counters.enqueued_jobs, 0);
	relaxed_write<uint64_t>(counters.dequeued_jobs, 0);
	relaxed_write<uint64_t>(counters.ingress_bytes, 0);
	relaxed_write<uint64_t>(counters.egress_bytes, 0);
	// Readers stop looking at the samples before they go.
	m_published_sample_count.store(0, std::memory_order_release);
	m_published_samples.store(nullptr, std::memory_order_release);
	counters.latency_samples.clear();
	for (std::size_t cell = step_stats::histogram_first_bucket_cell; cell != step_stats::histogram_cell_count; ++cell)
		relaxed_write<uint64_t>(counters.latency_histogram[cell], 0);
	relaxed_write(m_cold->stats.duration, std::chrono::nanoseconds{0});
	for (auto &step : m_cold->steps)
		step->reset_stats();
}

thread_stats thread_data::get_stats() const
{
	thread_stats const &source = m_cold->stats;
	thread_stats copy;
	copy.thread_index = source.thread_index;
	copy.core_id = source.core_id;
	copy.pipeline_index = source.pipeline_index;
	copy.max_output_buffer_size = source.max_output_buffer_size;
	copy.step.enqueued_jobs = relaxed_read(source.step.enqueued_jobs);
	copy.step.dequeued_jobs = relaxed_read(source.step.dequeued_jobs);
	copy.step.ingress_bytes = relaxed_read(source.step.ingress_bytes);
	copy.step.egress_bytes = relaxed_read(source.step.egress_bytes);
	for (std::size_t cell = 0; cell != step_stats::histogram_cell_count; ++cell)
		copy.step.latency_histogram[cell] = relaxed_read(source.step.latency_histogram[cell]);
	if (const uint64_t *samples = m_published_samples.load(std::memory_order_acquire)) {
		uint64_t const count = m_published_sample_count.load(std::memory_order_acquire);
		copy.step.latency_samples.assign(samples, samples + count);
	}
	copy.pe_progress_calls = relaxed_read(source.pe_progress_calls);
	copy.pe_progress_hits = relaxed_read(source.pe_progress_hits);
	copy.duration = relaxed_read(source.duration);
	return copy;
}

kova::optional<std::chrono::steady_clock::time_point> thread_data::get_run_start_time() const noexcept
{
	int64_t const start_ns = m_published_start_time_ns.load(std::memory_order_acquire);
	if (start_ns == 0)
		return {};
	return std::chrono::steady_clock::time_point{std::chrono::nanoseconds{start_ns}};
}

void thread_data::thread_proc(configuration::benchmark_mode mode, const configuration::run_limits &limits) noexcept
{
	cold &c = *m_cold;
	try {
		if (c.gpu_pipeline)
			thread_proc_rhun_impl(mode, limits);
		else
			thread_proc_impl(mode, limits);
	} catch (const run_stopped &) {
		store_duration();
		drain_after_failure();
	} catch (const kova::exception &e) {
		std::printf("[thread %u] Caught kova::exception.\n\tcode: \"%s\"\n\tmessage: \"%s\"\n\tsource location: "
			    "\"%s:%s:%u\n\tkova_cver: \"%s\"\n\tkova_rver: \"%s\"\n",
			    c.thread_index, kova_error_get_name(e.code()), e.what(), e.file(), e.function(), e.line(),
			    KOVA_VERSION_STRING, kova_version_runtime());
		std::fflush(stdout);
		set_critical_benchmark_failure();
		drain_after_failure();
	} catch (...) {
		std::printf("[thread %u] Caught caught unexpected exception.\n", c.thread_index);
		std::fflush(stdout);
		set_critical_benchmark_failure();
		drain_after_failure();
	}
	c.control_block->running_count.fetch_sub(1);
}

bool thread_data::wait_at_start_gate()
{
	update_run_flags_cache();
	while ((m_run_flags & hold) != 0) {
		if ((m_run_flags & stop_requested) != 0)
			return false;
		sleep_at_gate();
		update_run_flags_cache();
	}
	return (m_run_flags & stop_requested) == 0;
}

void thread_data::print_start_banner() const
{
	std::string names;
	for (auto const &step : m_cold->steps) {
		if (!names.empty())
			names += ">>";
		names += step->get_name();
	}
	std::printf("Worker thread[%u](core: %u) [%s] started...\n", m_cold->thread_index, m_cold->core_id,
		    names.c_str());
}

void thread_data::store_duration() noexcept
{
	relaxed_write(m_cold->stats.duration, std::chrono::nanoseconds{now_ns() - m_start_time_ns});
}

void thread_data::thread_proc_impl(configuration::benchmark_mode mode, const configuration::run_limits &limits)
{
	cold &c = *m_cold;
	if (!c.tasks_prepared)
		KOVA_THROW(KOVA_ERROR_BAD_STATE, "Worker thread started before its tasks were prepared");

	reset_stats();
	update_run_flags_cache();
	for (auto &step : c.steps)
		step->start();

	if (!wait_at_start_gate())
		return;
	print_start_banner();

	if (c.warm_up_job_count != 0) {
		do_warmup();
		reset_stats();
	}

	update_run_flags_cache();
	if ((m_run_flags & stop_requested) != 0)
		return;
	if ((m_run_flags & task_failed) != 0) {
		set_critical_benchmark_failure();
		return;
	}

	m_start_time_ns = now_ns();
	m_published_start_time_ns.store(m_start_time_ns, std::memory_order_release);
	switch (mode) {
	case configuration::benchmark_mode::throughput:
		if (limits.max_execution_time.has_value())
			run_throughput_time_limited(*limits.max_execution_time);
		else if (limits.max_jobs.has_value())
			run_throughput_job_count_limited(*limits.max_jobs);
		else if (limits.max_bytes.has_value())
			run_throughput_ingress_limited(*limits.max_bytes);
		else
			KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "No run limit set for throughput mode");
		break;
	case configuration::benchmark_mode::bulk_latency:
		if (limits.max_execution_time.has_value())
			run_bulk_latency_time_limited(*limits.max_execution_time);
		else if (limits.max_jobs.has_value())
			run_bulk_latency_job_count_limited(*limits.max_jobs);
		else if (limits.max_bytes.has_value())
			run_bulk_latency_ingress_limited(*limits.max_bytes);
		else
			KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "No run limit set for bulk latency mode");
		break;
	case configuration::benchmark_mode::precision_latency:
		if (limits.max_jobs.has_value())
			run_precision_latency(*limits.max_jobs);
		else
			KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "No run limit set for precision latency mode");
		break;
	case configuration::benchmark_mode::max_bandwidth:
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "max bandwidth mode is currently disabled");
	default:
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "Unsupported benchmark mode");
	}

	store_duration();
	for (auto &step : c.steps)
		step->stop();

	// A task that failed during the run makes its results worthless: the permutation fails.
	if ((m_run_flags & task_failed) != 0)
		set_critical_benchmark_failure();
}

void thread_data::thread_proc_rhun_impl(configuration::benchmark_mode mode, const configuration::run_limits &limits)
{
	cold &c = *m_cold;
	step::object &first = *c.steps.front();

	reset_stats();
	if (!wait_at_start_gate())
		return;
	print_start_banner();
	first.start();

	if (c.warm_up_job_count != 0) {
		do_warmup_rhun();
		reset_stats();
	}

	update_run_flags_cache();
	if ((m_run_flags & stop_requested) != 0)
		return;

	m_start_time_ns = now_ns();
	m_published_start_time_ns.store(m_start_time_ns, std::memory_order_release);
	switch (mode) {
	case configuration::benchmark_mode::throughput:
		if (limits.max_execution_time.has_value())
			run_throughput_time_limited_rhun(*limits.max_execution_time);
		else if (limits.max_jobs.has_value())
			run_throughput_job_count_limited_rhun(*limits.max_jobs);
		else if (limits.max_bytes.has_value())
			run_throughput_ingress_limited_rhun(*limits.max_bytes);
		else
			KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "No run limit set for throughput mode");
		store_duration();
		first.stop();
		break;
	case configuration::benchmark_mode::bulk_latency:
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "bulk latency not available for Tessel");
	case configuration::benchmark_mode::precision_latency:
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "precision latency not available for Tessel");
	case configuration::benchmark_mode::max_bandwidth:
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "max bandwidth mode is currently disabled");
	default:
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "Unsupported benchmark mode");
	}
}

void thread_data::drain_after_failure() noexcept
{
	cold &c = *m_cold;
	// A device that has shown it is stuck is not waited for again.
	if (c.gpu_pipeline || !c.tasks_prepared || (m_run_flags & device_stalled) != 0)
		return;
	m_run_flags = (m_run_flags & ~keep_submitting) | tearing_down;

	step_stats const &counters = c.stats.step;
	int64_t deadline = now_ns() + m_stall_limit_ns;
	while (counters.dequeued_jobs < counters.enqueued_jobs) {
		bool progressed = false;
		try {
			progressed = kova_pe_progress(m_pe) != 0;
		} catch (...) {
			return;
		}
		int64_t const now = now_ns();
		if (progressed)
			deadline = now + m_stall_limit_ns;
		else if (now > deadline)
			return;
	}
}

} // namespace kova::bench::impl
