// The warm-up and run loops of a worker thread whose pipeline is led by a GPU step: the step's
// kernel does the work between its start() and stop(), and the loops only drive the progress
// engine and read the step's counters through gather_stats.
#include "impl/event_handle.hpp"
#include "impl/relaxed_counter.hpp"
#include "impl/thread_data.hpp"
#include "impl/thread_data_cold.hpp"
#include "kova_exception.hpp"
#include "stats/permutation_stats.hpp"

#include <kova/error.h>
#include <kova/pe.h>

#include <cstdio>
#include <string>

namespace kova::bench::impl {

void thread_data::gather_first_step_stats()
{
	// The step writes into a private record; the shared counters are then published one by one.
	step_stats &scratch = m_cold->gather_scratch.step;
	step_stats &counters = m_stats->step;
	scratch.enqueued_jobs = counters.enqueued_jobs;
	scratch.dequeued_jobs = counters.dequeued_jobs;
	scratch.ingress_bytes = counters.ingress_bytes;
	scratch.egress_bytes = counters.egress_bytes;
	m_cold->steps.front()->gather_stats(m_cold->gather_scratch);
	relaxed_write(counters.enqueued_jobs, scratch.enqueued_jobs);
	relaxed_write(counters.dequeued_jobs, scratch.dequeued_jobs);
	relaxed_write(counters.ingress_bytes, scratch.ingress_bytes);
	relaxed_write(counters.egress_bytes, scratch.egress_bytes);
}

void thread_data::drive_engine_rhun()
{
	if (stop_requested_now()) [[unlikely]] {
		m_cold->steps.front()->stop();
		throw run_stopped{};
	}
	for (uint32_t turn = 0; turn != turns_per_clock_read; ++turn) {
		if (m_event_handle != nullptr)
			static_cast<void>(m_event_handle->arm_and_wait(m_event_wait_ms));
		static_cast<void>(kova_pe_progress(m_pe));
	}
}

void thread_data::throw_stalled_rhun()
{
	m_cold->steps.front()->stop();
	throw_stalled();
}

void thread_data::do_warmup_rhun()
{
	uint32_t const warm_up_jobs = m_cold->warm_up_job_count;
	std::printf("Worker thread[%u] Executing %u warm-up tasks\n", m_cold->thread_index, warm_up_jobs);
	if (m_job_count < warm_up_jobs)
		m_run_flags |= keep_submitting;
	else
		m_run_flags &= ~keep_submitting;

	step_stats const &counters = m_stats->step;
	int64_t const deadline = now_ns() + m_stall_limit_ns;
	do {
		gather_first_step_stats();
		if (now_ns() > deadline) {
			m_cold->steps.front()->stop();
			KOVA_THROW(KOVA_ERROR_TIME_OUT,
				   "WT [" + std::to_string(m_cold->thread_index) + "] Stuck in warmup after " + stall_limit_text() + ". " +
					   std::to_string(counters.enqueued_jobs - counters.dequeued_jobs) +
					   " enqueue actions and " +
					   std::to_string(uint64_t{warm_up_jobs} - counters.dequeued_jobs) +
					   " dequeue actions remain unprocessed. ");
		}
	} while (counters.enqueued_jobs < warm_up_jobs);
}

void thread_data::run_throughput_time_limited_rhun(std::chrono::seconds duration)
{
	int64_t const start = now_ns();
	int64_t const end = start + std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
	int64_t stall_deadline = start + m_stall_limit_ns;
	uint64_t last_enqueued = 0;
	step_stats const &counters = m_stats->step;
	for (;;) {
		drive_engine_rhun();
		gather_first_step_stats();
		int64_t const now = now_ns();
		if (counters.enqueued_jobs != last_enqueued) {
			stall_deadline = now + m_stall_limit_ns;
			last_enqueued = counters.enqueued_jobs;
		}
		if (now > stall_deadline)
			throw_stalled_rhun();
		if (now >= end)
			return;
	}
}

template <typename LimitReached>
void thread_data::run_until_rhun(LimitReached limit_reached)
{
	int64_t stall_deadline = now_ns() + m_stall_limit_ns;
	uint64_t last_enqueued = 0;
	step_stats const &counters = m_stats->step;
	for (;;) {
		if (limit_reached())
			return;
		drive_engine_rhun();
		gather_first_step_stats();
		int64_t const now = now_ns();
		if (counters.enqueued_jobs != last_enqueued) {
			stall_deadline = now + m_stall_limit_ns;
			last_enqueued = counters.enqueued_jobs;
		} else if (now > stall_deadline) {
			throw_stalled_rhun();
		}
	}
}

void thread_data::run_throughput_job_count_limited_rhun(uint64_t job_count)
{
	step_stats const &counters = m_stats->step;
	run_until_rhun([&counters, job_count] { return counters.dequeued_jobs >= job_count; });
}

void thread_data::run_throughput_ingress_limited_rhun(uint64_t byte_count)
{
	step_stats const &counters = m_stats->step;
	run_until_rhun([&counters, byte_count] { return counters.ingress_bytes >= byte_count; });
}

} // namespace kova::bench::impl
