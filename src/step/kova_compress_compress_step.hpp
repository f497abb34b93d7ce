// The compression step ("kova_compress::compress"): one deflate compression task per job.
#pragma once

#include "step/compress_step_base.hpp"

namespace kova::bench::step {

class kova_compress_compress_step : public compress_step_base {
public:
	// Throws KOVA_ERROR_INVALID_VALUE for a missing or unknown algorithm, KOVA_ERROR_NOT_SUPPORTED for lz4_stream
	// (no such compression)
	// or when the device cannot compress with deflate, KOVA_ERROR_NOT_FOUND when the library is not installed,
	// and the SDK's code when a call fails.
	kova_compress_compress_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
				    completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);

	[[nodiscard]] const char *get_name() const override;
	// {1, maximum buffer size} for input and output; zeros (and a printed line) when the query fails.
	[[nodiscard]] io_buffer_ranges get_io_buffer_ranges() const override;
	// A task compressing the input into the output; the next step reads the compressed data.
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;
};

} // namespace kova::bench::step
