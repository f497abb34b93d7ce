// The warm-up and the measured run loops of a worker thread whose pipeline runs SDK tasks.
//
// The loops submit each job's first task, drive the progress engine and decide when the run is
// over; the completion callbacks move the jobs on and restart them while `keep_submitting` is set
// (and stop restarting at the run's job target or byte limit). The clock is read once per
// turns_per_clock_read turns; a loop whose engine makes no progress for the stall limit reports
// itself stuck.
#include "impl/event_handle.hpp"
#include "impl/relaxed_counter.hpp"
#include "impl/thread_data.hpp"
#include "impl/thread_data_cold.hpp"
#include "kova_exception.hpp"
#include "stats/permutation_stats.hpp"
#include "utility/kova_utils.hpp"

#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

namespace kova::bench::impl {
namespace {

[[noreturn]] __attribute__((noinline, cold)) void throw_submit_failure(kova_error err, const char *what, uint64_t job)
{
	KOVA_THROW(err, std::string{what} + "[" + std::to_string(job) + "]");
}

// Plain submission of a job's first task; KOVA_ERROR_AGAIN tries again at once.
void submit_plain(task_wrapper *wrapper, const char *failure, uint64_t job)
{
	kova_error const err = submit_wrapped_task(*wrapper, kova_task_submit);
	if (err != KOVA_SUCCESS) [[unlikely]]
		throw_submit_failure(err, failure, job);
}

} // namespace

bool thread_data::drive_engine(bool drain, uint32_t &turns)
{
	// After a wait that timed out the clock is read on this turn: a stalled engine in blocking
	// mode is then noticed after the stall limit, not a thousand waits later.
	if (m_event_handle != nullptr && !m_event_handle->arm_and_wait(m_event_wait_ms))
		turns = 1;
	bool progressed = false;
	// A drain that never finds the engine idle (jobs restarted from the callbacks) still ends
	// after this many calls, and the clock is read on this turn: stop requests are seen.
	uint32_t calls_left = turns_per_clock_read;
	do {
		bool const made_progress = kova_pe_progress(m_pe) != 0;
		relaxed_add(m_stats->pe_progress_calls, 1);
		if (!made_progress)
			break;
		relaxed_add(m_stats->pe_progress_hits, 1);
		progressed = true;
		if (--calls_left == 0) {
			turns = 1;
			break;
		}
	} while (drain);
	return progressed;
}

bool thread_data::stop_requested_now() const noexcept
{
	return m_cold->control_block->stop.load(std::memory_order_relaxed) != 0;
}

void thread_data::watch_for_stall(bool progressed, int64_t now, int64_t &stall_deadline_ns)
{
	if (stop_requested_now()) [[unlikely]]
		throw run_stopped{};
	if (progressed)
		stall_deadline_ns = now + m_stall_limit_ns;
	else if (now > stall_deadline_ns)
		throw_stalled();
}

void thread_data::mark_stalled()
{
	m_run_flags |= device_stalled;
	utility::mark_engine_stalled(m_pe);
}

void thread_data::throw_stalled()
{
	mark_stalled();
	KOVA_THROW(KOVA_ERROR_TIME_OUT, "WT [" + std::to_string(m_cold->thread_index) + "] Stuck after " + stall_limit_text() + ". Enqueue count: " +
						std::to_string(m_stats->step.enqueued_jobs) +
						", dequeue count: " + std::to_string(m_stats->step.dequeued_jobs));
}

void thread_data::submit_initial_jobs(uint32_t count, bool batched)
{
	m_batch_fill = 0;
	m_unflushed = 0;
	uint64_t &enqueued = m_stats->step.enqueued_jobs;
	for (uint32_t job = 0; job != count; ++job) {
		task_wrapper *wrapper = m_first_wrappers[job];
		if (!batched) {
			submit_plain(wrapper, "Unable to submit initial task", job);
			relaxed_add(enqueued, 1);
			continue;
		}
		++m_batch_fill;
		bool const flush = m_batch_fill >= m_batch_size || job + 1 == count;
		uint32_t const flags = flush ? m_flush_submit_flags : m_batch_submit_flags;
		kova_error const err = submit_wrapped_task(
			*wrapper, [flags](kova_task *task) { return kova_task_submit_ex(task, flags); });
		if (err != KOVA_SUCCESS)
			throw_submit_failure(err, "Unable to submit initial task", job);
		if (flush)
			m_batch_fill = 0;
		relaxed_add(enqueued, 1);
	}
}

void thread_data::do_warmup()
{
	uint32_t const warm_up_jobs = m_cold->warm_up_job_count;
	uint32_t const unique_jobs = std::min(warm_up_jobs, m_job_count);
	m_in_warmup = true;
	std::printf("Worker thread[%u] Executing %u warm-up tasks using %u unique tasks\n", m_cold->thread_index, warm_up_jobs,
		    unique_jobs);

	m_restart_target = warm_up_jobs;
	m_byte_limit = 0;
	if (m_job_count < warm_up_jobs)
		m_run_flags |= keep_submitting;
	else
		m_run_flags &= ~keep_submitting;

	step_stats &counters = m_stats->step;
	for (uint32_t job = 0; job != unique_jobs; ++job) {
		task_wrapper *wrapper = m_first_wrappers[job];
		kova_error const err = submit_wrapped_task(*wrapper, kova_task_try_submit);
		if (err == KOVA_SUCCESS)
			relaxed_add(counters.enqueued_jobs, 1);
		else if (err != KOVA_ERROR_NO_MEMORY)
			throw_submit_failure(err, "Unable to submit warmup task", job);
		// KOVA_ERROR_NO_MEMORY: the job is left out of the warm-up and not waited for.
	}
	if (counters.enqueued_jobs == 0)
		m_run_flags &= ~keep_submitting;

	int64_t deadline = now_ns() + m_stall_limit_ns;
	uint32_t turns = turns_per_clock_read;
	bool progressed = false;
	for (;;) {
		progressed |= kova_pe_progress(m_pe) != 0;
		if ((m_run_flags & task_failed) != 0)
			KOVA_THROW(KOVA_ERROR_IO_FAILED, "Failures detected in warmup tasks");
		if ((m_run_flags & keep_submitting) == 0 && counters.dequeued_jobs >= counters.enqueued_jobs)
			break;
		if (--turns != 0)
			continue;
		turns = turns_per_clock_read;
		int64_t const now = now_ns();
		if (progressed) {
			deadline = now + m_stall_limit_ns;
		} else if (now > deadline) {
			mark_stalled();
			KOVA_THROW(KOVA_ERROR_TIME_OUT,
				   "WT [" + std::to_string(m_cold->thread_index) + "] Stuck in warmup after " + stall_limit_text() + ". " +
					   std::to_string(counters.enqueued_jobs - counters.dequeued_jobs) +
					   " enqueue actions and " +
					   std::to_string(uint64_t{warm_up_jobs} - counters.dequeued_jobs) +
					   " dequeue actions remain unprocessed. ");
		}
		progressed = false;
	}

	m_in_warmup = false;
}

void thread_data::run_throughput_time_limited(std::chrono::seconds duration)
{
	int64_t const start = now_ns();
	int64_t const end = start + std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
	int64_t stall_deadline = start + m_stall_limit_ns;
	m_restart_target = UINT64_MAX;
	m_byte_limit = 0;
	m_run_flags |= keep_submitting;
	submit_initial_jobs(m_job_count, m_batch_mode != configuration::batch_mode::none);

	step_stats const &counters = m_stats->step;
	uint32_t turns = turns_per_clock_read;
	bool progressed = false;
	for (;;) {
		// Once the time is up, the last job to finish ends the run (in blocking mode an idle
		// turn would wait for nothing).
		if ((m_run_flags & keep_submitting) == 0 && counters.dequeued_jobs >= counters.enqueued_jobs)
			return;
		progressed |= drive_engine(false, turns);
		if (--turns != 0)
			continue;
		turns = turns_per_clock_read;
		int64_t const now = now_ns();
		if (now >= end)
			m_run_flags &= ~keep_submitting;
		// A failed thread whose jobs have all ended has nothing left to run.
		if ((m_run_flags & task_failed) != 0 && counters.dequeued_jobs >= counters.enqueued_jobs)
			return;
		watch_for_stall(progressed, now, stall_deadline);
		progressed = false;
	}
}

void thread_data::run_throughput_job_count_limited(uint64_t job_count)
{
	uint32_t const initial = static_cast<uint32_t>(std::min<uint64_t>(job_count, m_job_count));
	m_restart_target = job_count;
	m_byte_limit = 0;
	if (m_job_count < job_count)
		m_run_flags |= keep_submitting;
	else
		m_run_flags &= ~keep_submitting;
	submit_initial_jobs(initial, m_batch_mode != configuration::batch_mode::none);

	step_stats const &counters = m_stats->step;
	int64_t stall_deadline = m_start_time_ns + m_stall_limit_ns;
	uint32_t turns = turns_per_clock_read;
	bool progressed = false;
	for (;;) {
		if (counters.dequeued_jobs >= job_count)
			return;
		if ((m_run_flags & task_failed) != 0 && counters.dequeued_jobs >= counters.enqueued_jobs)
			return;
		progressed |= drive_engine(true, turns);
		if (--turns != 0)
			continue;
		turns = turns_per_clock_read;
		watch_for_stall(progressed, now_ns(), stall_deadline);
		progressed = false;
	}
}

void thread_data::run_throughput_ingress_limited(uint64_t byte_count)
{
	m_restart_target = UINT64_MAX;
	m_byte_limit = byte_count;
	if (byte_count != 0)
		m_run_flags |= keep_submitting;
	else
		m_run_flags &= ~keep_submitting;
	submit_initial_jobs(m_job_count, m_batch_mode != configuration::batch_mode::none);

	step_stats const &counters = m_stats->step;
	int64_t stall_deadline = m_start_time_ns + m_stall_limit_ns;
	uint32_t turns = turns_per_clock_read;
	bool progressed = false;
	for (;;) {
		bool const limit_reached = (m_run_flags & keep_submitting) == 0;
		if ((limit_reached || (m_run_flags & task_failed) != 0) && counters.dequeued_jobs >= counters.enqueued_jobs)
			return;
		progressed |= drive_engine(true, turns);
		if (--turns != 0)
			continue;
		turns = turns_per_clock_read;
		watch_for_stall(progressed, now_ns(), stall_deadline);
		progressed = false;
	}
}

template <typename EndReached>
void thread_data::run_bulk_latency(uint32_t first_bulk_size, EndReached end_reached)
{
	step_stats &counters = m_stats->step;
	uint64_t const lower_bound = counters.latency_histogram[step_stats::histogram_lower_bound_cell];
	uint64_t const bucket_width = counters.latency_histogram[step_stats::histogram_bucket_width_cell];
	if (bucket_width == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Bulk latency mode needs a latency bucket width above 0");

	m_run_flags &= ~keep_submitting;
	m_restart_target = UINT64_MAX;
	m_byte_limit = 0;
	int64_t bulk_start = now_ns();
	int64_t stall_deadline = bulk_start + m_stall_limit_ns;
	for (uint32_t job = 0; job != first_bulk_size; ++job) {
		submit_plain(m_first_wrappers[job], "Unable to submit initial task", job);
		relaxed_add(counters.enqueued_jobs, 1);
	}
	uint64_t bulk_size = first_bulk_size;

	uint32_t turns = turns_per_clock_read;
	bool progressed = false;
	for (;;) {
		progressed |= drive_engine(true, turns);
		if (--turns == 0) {
			turns = turns_per_clock_read;
			watch_for_stall(progressed, now_ns(), stall_deadline);
			progressed = false;
		}
		if (counters.dequeued_jobs < counters.enqueued_jobs)
			continue;

		int64_t const bulk_end = now_ns();
		uint64_t const bucket =
			calculate_bucket_idx(static_cast<uint64_t>(bulk_end - bulk_start), lower_bound, bucket_width);
		relaxed_add(counters.latency_histogram[step_stats::histogram_first_bucket_cell + bucket], bulk_size);
		if (end_reached(bulk_end))
			return;

		for (uint32_t job = 0; job != m_job_count; ++job) {
			submit_plain(m_first_wrappers[job], "Unable to resubmit task", job);
			relaxed_add(counters.enqueued_jobs, 1);
		}
		bulk_size = m_job_count;
		bulk_start = bulk_end;
	}
}

void thread_data::run_bulk_latency_time_limited(std::chrono::seconds duration)
{
	int64_t const end = now_ns() + std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
	run_bulk_latency(m_job_count, [end](int64_t now) { return now >= end; });
}

void thread_data::run_bulk_latency_job_count_limited(uint64_t job_count)
{
	step_stats const &counters = m_stats->step;
	run_bulk_latency(static_cast<uint32_t>(std::min<uint64_t>(job_count, m_job_count)),
			 [&counters, job_count](int64_t) { return counters.dequeued_jobs >= job_count; });
}

void thread_data::run_bulk_latency_ingress_limited(uint64_t byte_count)
{
	step_stats const &counters = m_stats->step;
	run_bulk_latency(m_job_count, [&counters, byte_count](int64_t) { return counters.ingress_bytes >= byte_count; });
}

void thread_data::run_precision_latency(uint64_t job_count)
{
	m_run_flags &= ~keep_submitting;
	m_restart_target = UINT64_MAX;
	m_byte_limit = 0;
	if (job_count == 0)
		return;

	step_stats &counters = m_stats->step;
	std::vector<uint64_t> &samples = counters.latency_samples;
	try {
		if (job_count > samples.max_size())
			throw std::length_error{"latency samples"};
		samples.reserve(job_count);
	} catch (const std::exception &) {
		KOVA_THROW(KOVA_ERROR_NO_MEMORY,
			   "Unable to reserve memory for " + std::to_string(job_count) + " latency samples");
	}
	// Appending within the reserved room never moves the samples.
	m_published_samples.store(samples.data(), std::memory_order_release);

	int64_t job_start = now_ns();
	int64_t stall_deadline = job_start + m_stall_limit_ns;
	uint32_t job = 0;
	submit_plain(m_first_wrappers[job], "Unable to submit initial task", job);
	relaxed_add(counters.enqueued_jobs, 1);

	uint32_t turns = turns_per_clock_read;
	bool progressed = false;
	for (;;) {
		progressed |= drive_engine(true, turns);
		if (--turns == 0) {
			turns = turns_per_clock_read;
			watch_for_stall(progressed, now_ns(), stall_deadline);
			progressed = false;
		}
		if (counters.dequeued_jobs < counters.enqueued_jobs)
			continue;

		int64_t const job_end = now_ns();
		samples.push_back(static_cast<uint64_t>(job_end - job_start));
		m_published_sample_count.store(samples.size(), std::memory_order_release);
		if (counters.dequeued_jobs >= job_count)
			return;

		job = job + 1 == m_job_count ? 0 : job + 1;
		submit_plain(m_first_wrappers[job], "Unable to resubmit task", job);
		relaxed_add(counters.enqueued_jobs, 1);
		job_start = job_end;
	}
}

} // namespace kova::bench::impl
