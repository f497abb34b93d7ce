// The engine's record of one step's task for one job; the SDK hands it back to
// the completion callbacks as task user data. A job's wrappers form a ring.
#pragma once

#include "impl/buffer_chain.hpp"

#include <kova/error.h>
#include <kova/types.h>

#include <cstdint>

namespace kova::bench::impl {

struct task_wrapper {
	// The same job's next step; the last step's wrapper points back to the first.
	task_wrapper *next;
	// Null for steps that run no tasks.
	kova_task *task;
	const kova_buf *input;
	kova_buf *output;
	// The buffers of the input and output lists; set once every step of the job has its task.
	uint32_t input_buffers;
	uint32_t output_buffers;
	bool is_first;
	bool is_last;
};

// Empties the wrapper's output list and hands its task to `submit` (a kova_task_submit variant),
// again at once while the SDK answers KOVA_ERROR_AGAIN (try again). Returns the final answer.
template <typename Submit>
inline kova_error submit_wrapped_task(const task_wrapper &wrapper, Submit submit) noexcept
{
	kova_error err;
	do {
		reset_job_output_chain(wrapper.output, wrapper.output_buffers);
		err = submit(wrapper.task);
	} while (err == KOVA_ERROR_AGAIN);
	return err;
}

} // namespace kova::bench::impl
