// The erasure-coding update step ("kova_ec::update"): computes each job's updated redundancy blocks.
#pragma once

#include "step/ec_step_base.hpp"

namespace kova::bench::step {

class kova_ec_update_step : public ec_step_base {
public:
	// Throws as ec_step_base, and KOVA_ERROR_NOT_SUPPORTED when the device cannot update.
	kova_ec_update_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
			    completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);

	[[nodiscard]] const char *get_name() const override;
	// A task reading the input as the original, updated and redundancy blocks and writing the updated redundancy blocks to the output;
	// the next step reads what it writes.
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;
};

} // namespace kova::bench::step
