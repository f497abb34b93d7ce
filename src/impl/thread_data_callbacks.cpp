// The completion callbacks of a worker thread and the resubmissions they make: the per-job path.
// Nothing here allocates, locks or makes a system call, except on the way to an exception and
// the report of a thread's first failed task.
#include "impl/batch_decision.hpp"
#include "impl/relaxed_counter.hpp"
#include "impl/thread_data.hpp"
#include "kova_exception.hpp"
#include "stats/permutation_stats.hpp"

#include <kova/error.h>
#include <kova/task.h>

#include <cstdio>
#include <string>

namespace kova::bench::impl {
namespace {

[[noreturn]] __attribute__((noinline, cold)) void throw_resubmit_failure(kova_error err)
{
	KOVA_THROW(err, std::string{"Failed to re-submit task: "} + kova_error_get_name(err));
}

} // namespace

void thread_data::on_resubmit_failure(kova_error err, bool restarts_job)
{
	// While tearing down the job just ends (a job that was to restart has been counted already):
	// the callback may be running inside a step's destructor, where nothing may be thrown.
	if ((m_run_flags & tearing_down) != 0) {
		if (!restarts_job)
			relaxed_add(m_stats->step.dequeued_jobs, 1);
		return;
	}
	throw_resubmit_failure(err);
}

// The per-job helpers below are inlined into the callbacks, which are all in this file.
[[gnu::always_inline]] inline void thread_data::count_restart() noexcept
{
	uint64_t &enqueued = m_stats->step.enqueued_jobs;
	relaxed_add(enqueued, 1);
	if (enqueued >= m_restart_target)
		m_run_flags &= ~keep_submitting;
}

[[gnu::always_inline]] inline void thread_data::resubmit(task_wrapper *wrapper, bool restarts_job)
{
	kova_error const err = submit_wrapped_task(*wrapper, kova_task_submit);
	if (err != KOVA_SUCCESS) [[unlikely]] {
		on_resubmit_failure(err, restarts_job);
		return;
	}
	if (restarts_job)
		count_restart();
}

void thread_data::submit_batched(task_wrapper *wrapper, bool restarts_job, bool close)
{
	++m_batch_fill;
	bool const flush = close || m_batch_fill >= m_batch_size;
	uint32_t const flags = flush ? m_flush_submit_flags : m_batch_submit_flags;
	kova_error const err =
		submit_wrapped_task(*wrapper, [flags](kova_task *task) { return kova_task_submit_ex(task, flags); });
	if (err != KOVA_SUCCESS) [[unlikely]] {
		on_resubmit_failure(err, restarts_job);
		return;
	}
	if (flush) {
		m_batch_fill = 0;
		m_unflushed = 0;
	} else {
		m_unflushed = 1;
	}
	if (restarts_job)
		count_restart();
}

[[gnu::noinline]] void thread_data::continue_batched(const task_wrapper &completed)
{
	bool const keep = (m_run_flags & keep_submitting) != 0;
	batch_decision const decision = decide_batched_submission(completed.is_last, keep, m_unflushed != 0,
								  m_stats->step.enqueued_jobs, m_restart_target);
	if (decision.submit)
		submit_batched(completed.next, completed.is_last, decision.close);
}

void thread_data::process_result(kova_task * /*task*/, kova_data task_user_data, kova_data ctx_user_data)
{
	thread_data &self = *static_cast<thread_data *>(ctx_user_data.ptr);
	task_wrapper const &wrapper = *static_cast<task_wrapper *>(task_user_data.ptr);
	step_stats &counters = self.m_stats->step;

	if (wrapper.is_first) {
		relaxed_add(counters.ingress_bytes, job_chain_data_length(wrapper.input, wrapper.input_buffers));
		if (self.m_byte_limit != 0 && counters.ingress_bytes >= self.m_byte_limit)
			self.m_run_flags &= ~keep_submitting;
	}
	if (wrapper.is_last) {
		relaxed_add(counters.dequeued_jobs, 1);
		relaxed_add(counters.egress_bytes, job_chain_data_length(wrapper.output, wrapper.output_buffers));
	}

	if (self.m_batch_mode != configuration::batch_mode::none && !self.m_in_warmup) [[unlikely]] {
		self.continue_batched(wrapper);
		return;
	}
	if (wrapper.is_last && (self.m_run_flags & keep_submitting) == 0)
		return;
	self.resubmit(wrapper.next, wrapper.is_last);
}

void thread_data::process_error(kova_task *task, kova_data task_user_data, kova_data ctx_user_data)
{
	thread_data &self = *static_cast<thread_data *>(ctx_user_data.ptr);
	task_wrapper const &wrapper = *static_cast<task_wrapper *>(task_user_data.ptr);
	step_stats &counters = self.m_stats->step;

	// After the first failure (or during teardown) a failed task ends its job.
	if ((self.m_run_flags & (tearing_down | task_failed)) != 0) {
		relaxed_add(counters.dequeued_jobs, 1);
		return;
	}
	self.m_run_flags |= task_failed;

	std::fprintf(stderr, "Unrecoverable error(%s) when retrieving kova_task result\n",
		     kova_error_get_name(kova_task_get_status(task)));
	std::fflush(stdout);
	std::fflush(stderr);

	if (wrapper.is_last) {
		relaxed_add(counters.dequeued_jobs, 1);
		if ((self.m_run_flags & keep_submitting) == 0)
			return;
	}
	self.resubmit(wrapper.next, wrapper.is_last);
}

} // namespace kova::bench::impl
