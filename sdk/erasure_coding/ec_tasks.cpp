// Create, update and recover tasks: the data path, on the tables of their coding matrix.
#include "ec_internal.hpp"

#include <isa-l/erasure_code.h>

#include <cstring>

namespace kova::sdk::ec {
namespace {

enum class operation { create, update, recover };

bool is_live(const kova_ec *lib, const kova_ec_matrix *matrix) noexcept
{
	for (const kova_ec_matrix *live = lib->matrices; live != nullptr; live = live->next) {
		if (live == matrix)
			return true;
	}
	return false;
}

// Points the matrix's source scratch at each block of the source; a block that runs past the end
// is read from the partial pad block (its tail zeroed), blocks past it from the zero block.
void lay_out_sources(const kova_ec_matrix &mx, byte_range in, uint32_t count, std::size_t block) noexcept
{
	std::byte *partial = mx.padding.data();
	const std::byte *zero = partial + mx.padded_capacity;
	for (uint32_t t = 0; t < count; ++t) {
		std::size_t const start = std::size_t{t} * block;
		if (start + block <= in.len) {
			mx.sources[t] = in.data + start;
		} else if (start < in.len) {
			std::size_t const part = in.len - start;
			std::memcpy(partial, in.data + start, part);
			std::memset(partial + part, 0, block - part);
			mx.sources[t] = partial;
		} else {
			mx.sources[t] = zero;
		}
	}
}

auto **isal(const std::byte *const *blocks) noexcept
{
	return reinterpret_cast<unsigned char **>(const_cast<std::byte **>(blocks));
}

// Each output o = sum over sources s of tables[o * count + s] * source s, in GF(2^16).
void multiply_wide(const kova_ec_matrix &mx, const gf16::region_tables *tables, uint32_t count, uint32_t outputs,
		   std::size_t block) noexcept
{
	const std::byte *zero = mx.padding.data() + mx.padded_capacity;
	for (uint32_t s = 0; s < count; ++s) {
		if (s != 0 && mx.sources[s] == zero)
			continue;
		for (uint32_t o = 0; o < outputs; ++o)
			gf16::multiply_region(tables[std::size_t{o} * count + s], mx.sources[s], mx.outputs[o], block, s != 0);
	}
}

void compute(const kova_ec_matrix &mx, operation op, std::size_t block) noexcept
{
	int const len = static_cast<int>(block);
	int const k = static_cast<int>(mx.k);
	int const m = static_cast<int>(mx.m);
	switch (op) {
	case operation::create:
		if (mx.wide)
			multiply_wide(mx, mx.create_wide.get(), mx.k, mx.m, block);
		else
			ec_encode_data(len, k, m, mx.create_tables.get(), isal(mx.sources.get()), isal(mx.outputs.get()));
		break;
	case operation::recover:
		if (mx.wide)
			multiply_wide(mx, mx.recover_wide.get(), mx.k, mx.e, block);
		else
			ec_encode_data(len, k, static_cast<int>(mx.e), mx.recover_tables.get(), isal(mx.sources.get()),
				       isal(mx.outputs.get()));
		break;
	case operation::update:
		// New redundancy = old redundancy + coefficient of block 0 x (old block 0 + new block 0).
		for (uint32_t j = 0; j < mx.m; ++j)
			std::memcpy(mx.outputs[j], mx.sources[2 + j], block);
		if (mx.wide) {
			for (uint32_t j = 0; j < mx.m; ++j) {
				gf16::multiply_region(mx.update_wide[j], mx.sources[0], mx.outputs[j], block, true);
				gf16::multiply_region(mx.update_wide[j], mx.sources[1], mx.outputs[j], block, true);
			}
		} else {
			unsigned char **outputs = isal(mx.outputs.get());
			ec_encode_data_update(len, 2, m, 0, mx.update_tables.get(), isal(mx.sources.get())[0], outputs);
			ec_encode_data_update(len, 2, m, 1, mx.update_tables.get(), isal(mx.sources.get())[1], outputs);
		}
		break;
	}
}

template <typename Task>
kova_error run(kova_task *task, operation op) noexcept
{
	auto *lib = reinterpret_cast<kova_ec *>(task->kind->ctx);
	const kova_ec_matrix *mx = task_cast<Task>(task)->matrix;
	output_window out{task->dst, lib->output_staging};
	if (task->src == nullptr || !out.valid() || !is_live(lib, mx) || (op == operation::recover && !mx->recoverable))
		return KOVA_ERROR_INVALID_VALUE;
	uint32_t const sources = op == operation::update ? mx->m + 2 : mx->k;
	uint32_t const outputs = op == operation::recover ? mx->e : mx->m;
	std::size_t const len = static_cast<std::size_t>(list_data_len(task->src));
	std::size_t const granule = mx->wide ? 2 : 1;
	std::size_t const block = ((len + sources - 1) / sources + granule - 1) / granule * granule;
	if (std::size_t{outputs} * block > out.room())
		return KOVA_ERROR_NO_MEMORY;
	if (block == 0)
		return KOVA_SUCCESS;
	if (block > mx->padded_capacity)
		return KOVA_ERROR_NO_MEMORY;
	byte_range const in = gather(task->src, lib->input_staging);
	if (in.data == nullptr)
		return KOVA_ERROR_NO_MEMORY;

	lay_out_sources(*mx, in, sources, block);
	for (uint32_t o = 0; o < outputs; ++o)
		mx->outputs[o] = out.data() + std::size_t{o} * block;
	compute(*mx, op, block);
	return out.commit(std::size_t{outputs} * block);
}

} // namespace

kova_error run_create(kova_task *task)
{
	return run<kova_ec_task_create>(task, operation::create);
}

kova_error run_update(kova_task *task)
{
	return run<kova_ec_task_update>(task, operation::update);
}

kova_error run_recover(kova_task *task)
{
	return run<kova_ec_task_recover>(task, operation::recover);
}

} // namespace kova::sdk::ec
