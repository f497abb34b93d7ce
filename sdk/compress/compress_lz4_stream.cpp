// LZ4 stream decompression: the data blocks of an LZ4 frame without the frame's header. Each block is
// a 4-byte little-endian size whose top bit marks a stored (uncompressed) block, the block's data and,
// when the stream has block checksums, the XXH32 (seed 0) of that data. A size of 0 ends the stream
// early; whatever follows it is not read. Dependent blocks may refer to the output of earlier ones.
#include "compress_internal.hpp"

#include <libdeflate.h>
#include <lz4.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstring>

namespace kova::sdk::compress {
namespace {

constexpr uint32_t stored_block = 0x80000000u;
constexpr std::size_t max_lz4_int = 0x7e000000u; // LZ4's own limit on sizes it takes as int

uint32_t read_le32(const std::byte *at) noexcept
{
	auto const *b = reinterpret_cast<const uint8_t *>(at);
	return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
	       static_cast<uint32_t>(b[3]) << 24;
}

int as_int(std::size_t n) noexcept
{
	return static_cast<int>(n > max_lz4_int ? max_lz4_int : n);
}

// Decodes one compressed block to `to`, which has `room` bytes and follows `written` bytes of earlier
// output at `base`. Returns the decoded size, or -1 with *status set.
long decode_block(const std::byte *block, std::size_t size, std::byte *base, std::size_t written, std::size_t room,
		  bool independent, kova_error *status) noexcept
{
	auto const *src = reinterpret_cast<const char *>(block);
	char *to = reinterpret_cast<char *>(base + written);
	auto const *dict = reinterpret_cast<const char *>(base);
	int const dict_size = independent ? 0 : as_int(written);
	int const decoded = independent ? LZ4_decompress_safe(src, to, as_int(size), as_int(room))
					: LZ4_decompress_safe_usingDict(src, to, as_int(size), as_int(room), dict, dict_size);
	if (decoded >= 0)
		return decoded;
	// LZ4 says no more than "failed": a block that decodes cleanly up to a full destination only
	// lacked room.
	int const partial = LZ4_decompress_safe_partial_usingDict(src, to, as_int(size), as_int(room), as_int(room), dict,
								  dict_size);
	*status = partial >= 0 && static_cast<std::size_t>(partial) == room ? KOVA_ERROR_NO_MEMORY
									     : KOVA_ERROR_INVALID_VALUE;
	return -1;
}

} // namespace

kova_error run_decompress_lz4_stream(kova_task *task)
{
	kova_compress *lib = instance_of(task);
	auto *lz4 = task_cast<kova_compress_task_decompress_lz4_stream>(task);
	byte_range const in = gather(task->src, lib->input_staging);
	output_window out{task->dst, lib->output_staging};
	if (in.data == nullptr || !out.valid())
		return KOVA_ERROR_INVALID_VALUE;

	std::size_t const checksum_len = lz4->has_block_checksum != 0 ? 4 : 0;
	std::size_t pos = 0;
	std::size_t written = 0;
	while (pos < in.len) {
		if (in.len - pos < 4)
			return KOVA_ERROR_INVALID_VALUE;
		uint32_t const word = read_le32(in.data + pos);
		pos += 4;
		if (word == 0)
			break;
		std::size_t const size = word & ~stored_block;
		if (size > in.len - pos || checksum_len > in.len - pos - size)
			return KOVA_ERROR_INVALID_VALUE;
		const std::byte *block = in.data + pos;
		pos += size;
		if (checksum_len != 0) {
			if (XXH32(block, size, 0) != read_le32(in.data + pos))
				return KOVA_ERROR_INVALID_VALUE;
			pos += checksum_len;
		}
		std::size_t const room = out.room() - written;
		if ((word & stored_block) != 0) {
			if (size > room)
				return KOVA_ERROR_NO_MEMORY;
			std::memcpy(out.data() + written, block, size);
			written += size;
			continue;
		}
		kova_error status = KOVA_SUCCESS;
		long const decoded =
			decode_block(block, size, out.data(), written, room, lz4->are_blocks_independent != 0, &status);
		if (decoded < 0)
			return status;
		written += static_cast<std::size_t>(decoded);
	}
	lz4->crc = libdeflate_crc32(0, out.data(), written);
	lz4->xxh = XXH32(out.data(), written, 0);
	return out.commit(written);
}

} // namespace kova::sdk::compress
