// Internals of the pipeline trial: the trial itself and the state of one trial thread.
#pragma once

#include "aligned_buffer.hpp"
#include "impl/pipeline_trial.hpp"
#include "kova_delegated_deleter.hpp"
#include "kova_exception.hpp"
#include "kova_optional.hpp"
#include "step/object.hpp"
#include "utility/pipeline_info.hpp"

#include <kova/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace kova::bench::impl {

class async_poller;

class pipeline_trial::impl {
public:
	class thread_state;

	impl(const fixed_configuration &fixed, const dynamic_configuration &permutation, runtime_state &state,
	     const data_provider *provider);
	impl(const impl &) = delete;
	impl &operator=(const impl &) = delete;
	// Sets the stop flag and joins the threads before releasing their states.
	~impl();

	[[nodiscard]] bool progress() const noexcept { return m_running.load() != 0; }
	[[nodiscard]] std::vector<utility::pipeline_info> get_computed_pipelines() const { return m_pipelines; }
	[[nodiscard]] const kova::exception *get_error() const;

private:
	void stop_and_join() noexcept;

	std::vector<utility::pipeline_info> m_pipelines;
	std::vector<std::unique_ptr<thread_state>> m_thread_states;
	std::atomic<bool> m_stop{false};
	std::atomic<bool> m_setup_failed{false};
	std::atomic<unsigned> m_running{0};
};

class pipeline_trial::impl::thread_state {
public:
	// Byte count of one of the trial buffer's three windows: input, output A and output B.
	static constexpr uint64_t min_window_size = 2 * 1024 * 1024;

	// Allocates the trial buffer, its map, inventory and engine, and creates the pipeline's steps.
	// `setup_failed` is shared by the trial's threads: one whose steps' set-up fails raises it, and
	// the others give up their own set-up.
	thread_state(runtime_state &state, utility::pipeline_info &pipeline, const std::atomic<bool> &stop,
		     std::atomic<bool> &setup_failed, std::atomic<unsigned> &running);
	thread_state(const thread_state &) = delete;
	thread_state &operator=(const thread_state &) = delete;
	// Joins the thread when it still runs, then releases the steps before the engine, inventory,
	// map and buffer.
	~thread_state();

	// Counts the thread as running and starts it; a failed start is uncounted again and thrown.
	void start();
	void join() noexcept;

	[[nodiscard]] const kova::optional<kova::exception> &get_error() const noexcept { return m_error; }

private:
	struct step_record {
		std::unique_ptr<step::object> step;
		kova_pe *pe = nullptr;
		step::io_buffer_ranges ranges{};
		bool executed = false;
		// Status of a task of this step that completed with an error; 0 otherwise.
		kova_error failure = 0;
	};

	static void process_result(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);
	static void process_error(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);

	void thread_proc() noexcept;
	void keep_error(const kova::exception &error) noexcept;
	void async_init_steps();
	void async_cleanup_steps();
	// Starts the named sequence of every executed step and hands those that exist to the poller.
	using step_sequence_starter = std::unique_ptr<utility::async::sequence> (step::object::*)();
	void add_step_sequences(async_poller &poller, step_sequence_starter start);
	void calculate_buffer_sizes_and_verify();
	// The output buffer of the next executed step: its window, with the step's output maximum as
	// length (the whole window for a maximum of 0 or above it) and no data.
	kova_buf *prepare_output_buffer(kova_buf *output, const kova_buf *input, kova_buf *&spare,
					const step_record &record);
	void run_task(step_record &record, kova_task *task);

	runtime_state &m_state;
	utility::pipeline_info &m_pipeline;
	const std::atomic<bool> &m_stop;
	std::atomic<bool> &m_setup_failed;
	std::atomic<unsigned> &m_running;
	kova::optional<kova::exception> m_error;
	uint64_t m_window_size;
	aligned_buffer m_buffer;
	std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>> m_mmap;
	std::unique_ptr<kova_buf_inventory, kova::delegated_deleter<kova_buf_inventory>> m_inventory;
	std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> m_pe;
	std::vector<step_record> m_steps;
	// The two output windows' current buffers while jobs are measured.
	kova_buf *m_window_a = nullptr;
	kova_buf *m_window_b = nullptr;
	std::thread m_thread;
};

} // namespace kova::bench::impl
