// One worker thread: one copy of one pipeline on one core for one permutation.
//
// A thread_data owns the thread's progress engine, task pool, steps and counters. The launch
// builds it, runs its steps' asynchronous setup, prepares its tasks and starts thread_proc on a
// std::thread; from then on only that thread uses it. The SDK hands the thread_data back to the
// completion callbacks as context user data, which move every job from step to step and restart
// it after its last step.
//
// The per-job path (callbacks and loop turns) touches only the fields of this class, allocates
// nothing, takes no lock and makes no system call; everything else lives in the cold part.
#pragma once

#include "configuration.hpp"
#include "impl/run_timing.hpp"
#include "impl/shared_thread_control_block.hpp"
#include "impl/task_wrapper.hpp"
#include "kova_optional.hpp"
#include "step/object.hpp"
#include "utility/pipeline_info.hpp"

#include <kova/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace kova::bench {
class runtime_state;
struct thread_stats;
} // namespace kova::bench

namespace kova::bench::impl {

class async_poller;
class event_handle;

class thread_data {
public:
	// Bits of the cached run-flags word.
	enum run_flag : uint32_t {
		hold = 1,            // the start gate, at the last refresh
		stop_requested = 2,  // the stop request, at the last refresh
		keep_submitting = 4, // a job whose last step completes starts again
		tearing_down = 8,    // task failures are only counted
		task_failed = 16,    // a task of this thread completed with an error
		device_stalled = 32, // the engine made no progress for the stall limit
	};

	// Makes one step of the pipeline: the step factory's create_step, or a caller's own.
	using step_creator = std::unique_ptr<step::object> (*)(const std::string &name,
								const step::object::attributes &attributes,
								runtime_state &state, kova_pe *pe,
								step::completion_callback on_success,
								step::completion_callback on_error, kova_data ctx_user_data);

	// Creates the progress engine, the task pool for the runtime state's first device and, through
	// the step factory, the steps in pipeline order. Throws KOVA_ERROR_INVALID_VALUE for a pipeline without steps
	// or
	// jobs or a thread index of max_worker_threads or more, and whatever the SDK helpers, the task
	// pool or the steps throw.
	thread_data(uint32_t thread_index, uint32_t core_id, uint32_t pipeline_index, const utility::pipeline_info &info,
		    std::shared_ptr<shared_thread_control_block> control_block, runtime_state &state);
	// The same with the steps made by `create_step`.
	thread_data(uint32_t thread_index, uint32_t core_id, uint32_t pipeline_index, const utility::pipeline_info &info,
		    std::shared_ptr<shared_thread_control_block> control_block, runtime_state &state,
		    step_creator create_step);

	// The SDK keeps this object's address as context user data.
	thread_data(const thread_data &) = delete;
	thread_data &operator=(const thread_data &) = delete;
	thread_data(thread_data &&) = delete;
	thread_data &operator=(thread_data &&) = delete;
	~thread_data();

	// Hand the steps' setup (teardown) sequences to the poller; true when any step had one.
	bool start_async_setup(async_poller &poller);
	bool start_async_teardown(async_poller &poller);

	// Creates every job's tasks and wrappers. Throws KOVA_ERROR_INVALID_VALUE when a step of a pipeline that does
	// not start with a GPU step yields no task.
	void prepare_tasks(const utility::pipeline_info &info, runtime_state &state);

	[[nodiscard]] bool has_remote_workers() const;
	[[nodiscard]] uint32_t get_pipeline_id() const;
	[[nodiscard]] uint32_t get_core_idx() const;

	// The thread's procedure: gate, warm-up and the run loop of the mode under the first limit
	// present. Failures are printed and set stop and critical in the control block; a stop request
	// seen during the run ends it early. The running count is lowered by 1 last, whatever happened.
	void thread_proc(configuration::benchmark_mode mode, const configuration::run_limits &limits) noexcept;

	// Sets stop, then critical, in the control block.
	void set_critical_benchmark_failure() noexcept;

	// Zeroes the job counters, latency samples and buckets and the duration; then the steps'.
	void reset_stats();

	// Reads the start gate into `hold` and the stop request into `stop_requested`.
	void update_run_flags_cache() noexcept;

	// A copy of the counters, consistent per counter; may be taken while the thread runs.
	[[nodiscard]] thread_stats get_stats() const;

	// When the measured run began; empty before. May be read while the thread runs.
	[[nodiscard]] kova::optional<std::chrono::steady_clock::time_point> get_run_start_time() const noexcept;

	// Replaces the stall limit and the blocking-mode wait; before the thread starts.
	void set_run_timing(const run_timing &timing) noexcept;

	// The completion callbacks given to every step; the task user data is the task's wrapper.
	static void process_result(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);
	static void process_error(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);

private:
	struct cold;

	// Thread procedures of pipelines of SDK tasks and of pipelines led by a GPU step.
	void thread_proc_impl(configuration::benchmark_mode mode, const configuration::run_limits &limits);
	void thread_proc_rhun_impl(configuration::benchmark_mode mode, const configuration::run_limits &limits);
	// True when the thread may run (the gate opened); false when stop was requested.
	bool wait_at_start_gate();
	void print_start_banner() const;
	void store_duration() noexcept;
	// After a failure: lets the jobs in flight finish, for at most the stall limit without progress;
	// nothing when the device has stalled.
	void drain_after_failure() noexcept;

	void do_warmup();
	void do_warmup_rhun();
	void run_throughput_time_limited(std::chrono::seconds duration);
	void run_throughput_job_count_limited(uint64_t job_count);
	void run_throughput_ingress_limited(uint64_t byte_count);
	void run_bulk_latency_time_limited(std::chrono::seconds duration);
	void run_bulk_latency_job_count_limited(uint64_t job_count);
	void run_bulk_latency_ingress_limited(uint64_t byte_count);
	void run_precision_latency(uint64_t job_count);
	void run_throughput_time_limited_rhun(std::chrono::seconds duration);
	void run_throughput_job_count_limited_rhun(uint64_t job_count);
	void run_throughput_ingress_limited_rhun(uint64_t byte_count);

	// Submits the first task of jobs 0 .. count - 1 (batched in a batch mode); sets the run's
	// restart target and byte limit. Leaves `keep_submitting` as the caller sets it.
	void submit_initial_jobs(uint32_t count, bool batched);
	// The bulk-latency loops; `end_reached` tells from the clock and counters when to stop.
	template <typename EndReached>
	void run_bulk_latency(uint32_t first_bulk_size, EndReached end_reached);
	// One loop turn: the blocking-mode wait, then one progress call, or calls until the engine is
	// idle when draining (all counted; at most turns_per_clock_read). True when any call made
	// progress. A wait that timed out, or a drain that reached its most, sets `turns` to 1, so
	// that the caller reads the clock on this turn.
	bool drive_engine(bool drain, uint32_t &turns);
	// Throws the stall error when `progressed` is false and the stall deadline has passed; else
	// moves the deadline on when it is true. Ends the run (run_stopped) once stop is requested.
	void watch_for_stall(bool progressed, int64_t now_ns, int64_t &stall_deadline_ns);
	// Thrown by the loops' clock check when the control block asks the workers to stop: the run
	// ends early, without an error of its own (whoever asked reports one).
	struct run_stopped {};
	[[nodiscard]] bool stop_requested_now() const noexcept;
	// Marks the device stalled (nothing waits for it any more), then throws the stall error.
	[[noreturn]] void throw_stalled();
	void mark_stalled();

	// GPU path: a block of engine turns, the first step's counters, the stall error (which stops
	// the step first) and the loop of the job and byte limits.
	void drive_engine_rhun();
	void gather_first_step_stats();
	[[noreturn]] void throw_stalled_rhun();
	template <typename LimitReached>
	void run_until_rhun(LimitReached limit_reached);

	// Starts the named asynchronous sequence of every step and hands those that exist to the poller.
	using step_sequence_starter = std::unique_ptr<utility::async::sequence> (step::object::*)();
	bool add_step_sequences(async_poller &poller, step_sequence_starter start);

	void resubmit(task_wrapper *wrapper, bool restarts_job);
	void submit_batched(task_wrapper *wrapper, bool restarts_job, bool close);
	// The batched modes' continuation of a completed task (outside warm-up).
	void continue_batched(const task_wrapper &completed);
	void count_restart() noexcept;
	// Throws "Failed to re-submit task: <name>", or ends the job quietly while tearing down.
	void on_resubmit_failure(kova_error err, bool restarts_job);

	// Hot part: what the callbacks and loop turns read, copied from the cold part.
	kova_pe *m_pe = nullptr;
	thread_stats *m_stats = nullptr;
	uint32_t m_run_flags = 0;
	int64_t m_start_time_ns = 0;
	task_wrapper **m_first_wrappers = nullptr;
	event_handle *m_event_handle = nullptr;
	uint32_t m_job_count = 0;
	uint32_t m_batch_size = 1;
	uint32_t m_batch_fill = 0;
	uint32_t m_batch_submit_flags = 0;
	// Restarts stop once this many jobs were started; UINT64_MAX when the run has no job target.
	uint64_t m_restart_target = UINT64_MAX;
	// Restarts stop once this many ingress bytes were counted; 0 when the run has no byte limit.
	uint64_t m_byte_limit = 0;
	uint32_t m_flush_submit_flags = 0;
	uint32_t m_unflushed = 0;
	configuration::batch_mode m_batch_mode = configuration::batch_mode::none;
	bool m_in_warmup = false;
	int64_t m_stall_limit_ns = default_stall_limit.count();
	uint32_t m_event_wait_ms = default_event_wait_ms;
	// The latency samples of a precision run, published for readers on other threads.
	std::atomic<const uint64_t *> m_published_samples{nullptr};
	std::atomic<uint64_t> m_published_sample_count{0};
	// m_start_time_ns for readers on other threads; 0 before the measured run.
	std::atomic<int64_t> m_published_start_time_ns{0};
	std::unique_ptr<cold> m_cold;
};

} // namespace kova::bench::impl
