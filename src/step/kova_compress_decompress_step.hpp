// The decompression step ("kova_compress::decompress"): one deflate or LZ4-stream decompression
// task per job.
#pragma once

#include "kova_optional.hpp"
#include "step/compress_step_base.hpp"

#include <utility>

namespace kova::bench::step {

class kova_compress_decompress_step : public compress_step_base {
public:
	// With lz4_stream, "kova_compress.algorithm.has_block_checksum" and
	// "kova_compress.algorithm.are_blocks_independent" ("true" or "false") are required. Throws
	// KOVA_ERROR_INVALID_VALUE for a missing or unknown algorithm or flag, KOVA_ERROR_NOT_SUPPORTED when
	// the device cannot decompress with the algorithm, KOVA_ERROR_NOT_FOUND when the library is not
	// installed, and the SDK's code when a call fails.
	kova_compress_decompress_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
				      completion_callback success_cb, completion_callback error_cb,
				      kova_data ctx_user_data);

	[[nodiscard]] const char *get_name() const override;
	// {1, maximum buffer size of the algorithm} for input and output; zeros (and a printed line)
	// when the query fails.
	[[nodiscard]] io_buffer_ranges get_io_buffer_ranges() const override;
	// A task decompressing the input into the output; the next step reads the decompressed data.
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;

private:
	// {has block checksum, blocks independent}; only with lz4_stream.
	kova::optional<std::pair<bool, bool>> m_lz4_flags;
};

} // namespace kova::bench::step
