// The erasure-coding library's instance, coding matrices, task types and execution functions.
//
// A coding matrix of k data and m redundancy blocks runs in GF(2^8) with ISA-L when k + m <= 256,
// else in GF(2^16) with this library's own arithmetic (gf16.hpp). Every task splits its source
// into equally sized blocks: block size = source length / number of source blocks, rounded up
// (to whole 16-bit words in GF(2^16)); the source's tail is read as zeros up to the last block.
//   create:  k data blocks -> m redundancy blocks
//   recover: data blocks e..k-1, then redundancy blocks 0..e-1 -> data blocks 0..e-1, where
//            e = min(m, k): the first e data blocks are taken as lost
//   update:  old data block 0, new data block 0, redundancy blocks 0..m-1 -> m new redundancy blocks
#pragma once

#include "gf16.hpp"

#include <kova_internal/ctx_kernel.hpp>
#include <kova_internal/staging.hpp>

#include <kova/erasure_coding.h>

#include <cstdint>
#include <memory>

struct kova_ec_matrix {
	kova_ec *owner;
	kova_ec_matrix *next; // in the owner's list of live matrices
	uint32_t type;
	uint32_t k;
	uint32_t m;
	uint32_t e;           // data blocks that recovery restores
	bool wide;            // GF(2^16)
	bool recoverable;     // the first e data blocks can be restored from the others
	// GF(2^8): ISA-L multiplication tables (ec_init_tables) per task kind.
	std::unique_ptr<uint8_t[]> create_tables;  // m x k
	std::unique_ptr<uint8_t[]> recover_tables; // e x k
	std::unique_ptr<uint8_t[]> update_tables;  // m x 2
	// GF(2^16): one region table per coefficient, rows of the same shapes (update: m).
	std::unique_ptr<kova::sdk::ec::gf16::region_tables[]> create_wide;
	std::unique_ptr<kova::sdk::ec::gf16::region_tables[]> recover_wide;
	std::unique_ptr<kova::sdk::ec::gf16::region_tables[]> update_wide;
	// Execution scratch, used by one task at a time (tasks of the owner run on one thread).
	std::unique_ptr<const std::byte *[]> sources;
	std::unique_ptr<std::byte *[]> outputs;
	std::size_t padded_capacity;                     // bytes of each of the two pad blocks
	kova::sdk::staging_area padding;                 // a partial block read to its end, then a zero block
};

struct kova_ec_task_create {
	kova_task task;
	const kova_ec_matrix *matrix;
};

struct kova_ec_task_update {
	kova_task task;
	const kova_ec_matrix *matrix;
};

struct kova_ec_task_recover {
	kova_task task;
	const kova_ec_matrix *matrix;
};

struct kova_ec {
	kova_ctx ctx;
	kova::sdk::task_kind create;
	kova::sdk::task_kind update;
	kova::sdk::task_kind recover;
	kova_ec_matrix *matrices;
	// For source and destination lists of several buffers, made when the context starts.
	kova::sdk::staging_area input_staging;
	kova::sdk::staging_area output_staging;
};

namespace kova::sdk::ec {

// The default of the largest source of a task, and the largest block.
inline constexpr uint64_t buf_size_limit = 2 * 1024 * 1024;

// Makes the tables and scratch of a matrix whose owner, type and counts are set. Returns KOVA_SUCCESS;
// KOVA_ERROR_INVALID_VALUE for counts the library does not take; KOVA_ERROR_NO_MEMORY.
kova_error build_matrix(kova_ec_matrix *matrix) noexcept;

kova_error run_create(kova_task *task);
kova_error run_update(kova_task *task);
kova_error run_recover(kova_task *task);

} // namespace kova::sdk::ec
