// Deflate compression and decompression tasks: the data path, on engine state made at start.
#include "compress_internal.hpp"

#include <libdeflate.h>

#include <cstring>
#include <limits>

namespace kova::sdk::compress {
namespace {

uint32_t clamp32(std::size_t n) noexcept
{
	return n > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max() : static_cast<uint32_t>(n);
}

void checksums(const std::byte *data, std::size_t len, uint32_t *crc, uint32_t *adler) noexcept
{
	*crc = libdeflate_crc32(0, data, len);
	*adler = libdeflate_adler32(1, data, len);
}

// One stateless raw-deflate pass of the input into [to, to + room).
int deflate_into(kova_compress *lib, const byte_range &in, std::byte *to, std::size_t room) noexcept
{
	isal_zstream &stream = lib->stream;
	isal_deflate_stateless_init(&stream);
	stream.level = 1;
	stream.level_buf = reinterpret_cast<uint8_t *>(lib->level_buf.data());
	stream.level_buf_size = clamp32(lib->level_buf.capacity());
	stream.gzip_flag = IGZIP_DEFLATE;
	stream.end_of_stream = 1;
	stream.flush = NO_FLUSH;
	stream.next_in = const_cast<uint8_t *>(reinterpret_cast<const uint8_t *>(in.data));
	stream.avail_in = clamp32(in.len);
	stream.next_out = reinterpret_cast<uint8_t *>(to);
	stream.avail_out = clamp32(room);
	return isal_deflate_stateless(&stream);
}

} // namespace

kova_error run_compress_deflate(kova_task *task)
{
	kova_compress *lib = instance_of(task);
	byte_range const in = gather(task->src, lib->input_staging);
	output_window out{task->dst, lib->output_staging};
	if (in.data == nullptr || !out.valid())
		return KOVA_ERROR_INVALID_VALUE;

	int result = deflate_into(lib, in, out.data(), out.room());
	if (result == STATELESS_OVERFLOW && out.data() != lib->output_staging.data()) {
		// igzip needs some slack beyond the stream's own length: a stream that fits the
		// destination exactly is compressed into the worst-case staging area and copied.
		result = deflate_into(lib, in, lib->output_staging.data(), lib->output_staging.capacity());
		if (result == COMP_OK && lib->stream.total_out <= out.room())
			std::memcpy(out.data(), lib->output_staging.data(), lib->stream.total_out);
		else if (result == COMP_OK)
			result = STATELESS_OVERFLOW;
	}
	if (result == STATELESS_OVERFLOW)
		return KOVA_ERROR_NO_MEMORY;
	if (result != COMP_OK)
		return KOVA_ERROR_UNEXPECTED;

	auto *done = task_cast<kova_compress_task_compress_deflate>(task);
	checksums(in.data, in.len, &done->crc, &done->adler);
	return out.commit(lib->stream.total_out);
}

kova_error run_decompress_deflate(kova_task *task)
{
	kova_compress *lib = instance_of(task);
	byte_range const in = gather(task->src, lib->input_staging);
	output_window out{task->dst, lib->output_staging};
	if (in.data == nullptr || !out.valid())
		return KOVA_ERROR_INVALID_VALUE;

	std::size_t written = 0;
	switch (libdeflate_deflate_decompress(lib->decompressor, in.data, in.len, out.data(), out.room(), &written)) {
	case LIBDEFLATE_SUCCESS:
		break;
	case LIBDEFLATE_INSUFFICIENT_SPACE:
		return KOVA_ERROR_NO_MEMORY;
	default:
		return KOVA_ERROR_INVALID_VALUE;
	}
	auto *done = task_cast<kova_compress_task_decompress_deflate>(task);
	checksums(out.data(), written, &done->crc, &done->adler);
	return out.commit(written);
}

} // namespace kova::sdk::compress
