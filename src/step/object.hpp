// The interface every pipeline step implements. The worker thread and its task
// pool drive a step only through these operations, in this order:
//   start_async_setup -> get_io_buffer_ranges (trial) -> set_mmaps ->
//   create_task_set (once per job) -> reset_stats, start -> [run] -> stop ->
//   destroy_all_tasks -> start_async_teardown -> destructor.
#pragma once

#include "kova_optional.hpp"

#include <kova/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

namespace kova::bench {
class runtime_state;
struct thread_stats;
} // namespace kova::bench

namespace kova::bench::utility::async {
class sequence;
} // namespace kova::bench::utility::async

namespace kova::bench::step {

// {minimum, maximum} byte counts of the input and of the output buffer; all 0 when unknown.
struct io_buffer_ranges {
	std::pair<uint32_t, uint32_t> input;
	std::pair<uint32_t, uint32_t> output;
};

// What create_task_set yields: the job's task and the buffers the next step works on.
struct task_set {
	kova_task *task;
	const kova_buf *next_input;
	kova_buf *next_output;
	kova_buf *next_spare;
};

using completion_callback = kova_task_completion_cb_t;

class object {
public:
	// Per-step settings handed to every step constructor.
	struct attributes {
		uint32_t task_pool_size = 0;
		uint32_t job_output_buffer_size = 0;
		uint32_t job_count = 0;
		uint32_t job_input_size = 0;
		kova::optional<uint32_t> mtu_size;
		kova::optional<uint32_t> sq_depth;
		kova::optional<uint32_t> rq_depth;
		bool use_remote_input_buffers = false;
		bool use_remote_output_buffers = false;
		// Step attributes by fully qualified name.
		std::unordered_map<std::string, std::string> attribute_map;
	};

	virtual ~object() = default;

	// The step's name as written in the pipeline description.
	[[nodiscard]] virtual const char *get_name() const = 0;

	// Never throws; a step that cannot query its limits reports zeros.
	[[nodiscard]] virtual io_buffer_ranges get_io_buffer_ranges() const = 0;

	// Null when the step needs no asynchronous setup or teardown.
	virtual std::unique_ptr<utility::async::sequence> start_async_setup() = 0;
	virtual std::unique_ptr<utility::async::sequence> start_async_teardown() = 0;

	// Identifier of the companion worker this step asked for; 0 when none.
	[[nodiscard]] virtual uint32_t get_companion_worker_id() const = 0;

	virtual void set_mmaps(kova_mmap *input_mmap, kova_mmap *output_mmap) = 0;

	// Creates the task for one job; the step keeps it until destroy_all_tasks.
	// Throws on an empty task user data or when the SDK refuses the task.
	virtual task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
					 kova_data task_user_data) = 0;

	virtual void destroy_all_tasks() = 0;

	virtual void start() {}
	virtual void stop() {}
	virtual void gather_stats(thread_stats & /*stats*/) {}
	virtual void reset_stats() {}
};

} // namespace kova::bench::step
