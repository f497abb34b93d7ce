// The AES-GCM encryption step ("kova_aes_gcm::encrypt"): one encrypt task per job, with the key, IV, tag
// size and AAD size of the step attributes.
#pragma once

#include "step/aes_gcm_step_base.hpp"

namespace kova::bench::step {

class kova_aes_gcm_encrypt_step : public aes_gcm_step_base {
public:
	// Throws as aes_gcm_step_base, and KOVA_ERROR_NOT_SUPPORTED when the device cannot encrypt.
	kova_aes_gcm_encrypt_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
				  completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);

	[[nodiscard]] const char *get_name() const override;
	// {1, maximum buffer size} for input and output; zeros (and a printed line) when the query fails.
	[[nodiscard]] io_buffer_ranges get_io_buffer_ranges() const override;
	// A task from the input to the output; the next step reads what it writes.
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;
};

} // namespace kova::bench::step
