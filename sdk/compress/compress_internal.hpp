// The compression library's instance, its task types and their execution functions.
//
// Engines, chosen by measurement per direction: ISA-L's igzip (level 1) compresses, libdeflate
// decompresses; both read and write raw deflate (RFC 1951). The checksums of the uncompressed
// data come from libdeflate, the xxHash of LZ4 output from xxhash.
#pragma once

#include <kova_internal/ctx_kernel.hpp>
#include <kova_internal/staging.hpp>

#include <kova/compress.h>

#include <isa-l/igzip_lib.h>

#include <cstdint>

struct libdeflate_decompressor;

struct kova_compress_task_compress_deflate {
	kova_task task;
	uint32_t crc;
	uint32_t adler;
};

struct kova_compress_task_decompress_deflate {
	kova_task task;
	uint32_t crc;
	uint32_t adler;
};

struct kova_compress_task_decompress_lz4_stream {
	kova_task task;
	uint8_t has_block_checksum;
	uint8_t are_blocks_independent;
	uint32_t crc;
	uint32_t xxh;
};

struct kova_compress {
	kova_ctx ctx;
	kova::sdk::task_kind compress_deflate;
	kova::sdk::task_kind decompress_deflate;
	kova::sdk::task_kind decompress_lz4_stream;
	// Engine state, made when the context starts and released when it stops.
	isal_zstream stream;
	kova::sdk::staging_area level_buf;
	libdeflate_decompressor *decompressor;
	kova::sdk::staging_area input_staging;
	kova::sdk::staging_area output_staging;
};

namespace kova::sdk::compress {

// The default of every maximum buffer size query.
inline constexpr uint64_t buf_size_limit = 2 * 1024 * 1024;

inline kova_compress *instance_of(const kova_task *task) noexcept
{
	// The context is the instance's first member.
	return reinterpret_cast<kova_compress *>(task->kind->ctx);
}

// Room that a raw deflate stream of len input bytes may need at worst (stored blocks).
inline uint64_t deflate_bound(uint64_t len) noexcept
{
	return len + len / 1024 + 5 * (len / 65535 + 1) + ISAL_DEF_MAX_HDR_SIZE + 64;
}

// The largest compressed source a decompression kind takes when its maximum buffer size is len: the
// deflate or LZ4 stream of len incompressible bytes fits.
inline uint64_t compressed_bound(uint64_t len) noexcept
{
	return len + len / 64 + 4096;
}

kova_error run_compress_deflate(kova_task *task);
kova_error run_decompress_deflate(kova_task *task);
kova_error run_decompress_lz4_stream(kova_task *task);

} // namespace kova::sdk::compress
