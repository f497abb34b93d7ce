// The erasure-coding recover step ("kova_ec::recover"): recovers the lost data blocks of each job from the available blocks.
#pragma once

#include "step/ec_step_base.hpp"

namespace kova::bench::step {

class kova_ec_recover_step : public ec_step_base {
public:
	// Throws as ec_step_base, and KOVA_ERROR_NOT_SUPPORTED when the device cannot recover.
	kova_ec_recover_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
			    completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);

	[[nodiscard]] const char *get_name() const override;
	// A task reading the input as the available blocks and writing the recovered data blocks to the output;
	// the next step reads what it writes.
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;
};

} // namespace kova::bench::step
