// The erasure-coding create step ("kova_ec::create"): computes the redundancy blocks of each job's data blocks.
#pragma once

#include "step/ec_step_base.hpp"

namespace kova::bench::step {

class kova_ec_create_step : public ec_step_base {
public:
	// Throws as ec_step_base, and KOVA_ERROR_NOT_SUPPORTED when the device cannot create.
	kova_ec_create_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
			    completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);

	[[nodiscard]] const char *get_name() const override;
	// A task reading the input as the original data blocks and writing the redundancy blocks to the output;
	// the next step reads what it writes.
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;
};

} // namespace kova::bench::step
