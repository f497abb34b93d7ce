// What a completion in a batch mode does with the job's next task.
#pragma once

#include <cstdint>

namespace kova::bench::impl {

struct batch_decision {
	// Submit the next task at all.
	bool submit;
	// The submission rings the doorbell whatever the batch fill.
	bool close;
};

// Decides for a completed task: `is_last` when it was its job's last step, `keep_submitting` when
// jobs are still restarted, `unflushed` when an earlier batched submission still waits for a
// doorbell, `enqueued` jobs started so far and `restart_target` the count at which restarts stop.
//
// A job moving to its next step always goes on; once restarts have stopped, each submission closes
// the batch, since no later one may come to flush it. A finished job restarts while restarts go on;
// the restart that reaches the target closes the batch. After restarts have stopped, a finished job
// restarts once more only to flush submissions left waiting, and never past the target.
constexpr batch_decision decide_batched_submission(bool is_last, bool keep_submitting, bool unflushed,
						   uint64_t enqueued, uint64_t restart_target) noexcept
{
	if (!is_last)
		return {true, !keep_submitting};
	if (!keep_submitting)
		return {unflushed && enqueued < restart_target, true};
	return {true, enqueued + 1 >= restart_target};
}

} // namespace kova::bench::impl
