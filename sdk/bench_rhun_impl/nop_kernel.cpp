// The nop kernel: every GPU thread counts the turns of its loop until the stop byte is raised.
#include "kernel_params.hpp"

#include <kova_internal/rhun_runtime.hpp>

#include <kova/error.h>

namespace kova::sdk::kernels {
namespace {

void run_nop(const void *raw, uint32_t first_block, uint32_t num_blocks)
{
	auto const &params = *static_cast<const nop_params *>(raw);
	uint32_t const first = first_block * params.threads_per_block;
	uint32_t const end = first + num_blocks * params.threads_per_block;
	while (!stop_raised(params.stop_flag)) {
		for (uint32_t t = first; t != end; ++t)
			count(params.counters, t, 0);
	}
}

void nop_ended(const void *raw)
{
	mark_ended(static_cast<const nop_params *>(raw)->stop_flag);
}

} // namespace

kova_error start_nop(const nop_params &params) noexcept
{
	uint32_t const threads = gpu_threads(params.blocks, params.threads_per_block);
	if (threads == 0 || params.stop_flag == nullptr || params.counters == nullptr ||
	    !rhun::mem_contains(params.counters, std::size_t{threads} * 16))
		return KOVA_ERROR_INVALID_VALUE;
	const void *const uses[] = {params.stop_flag, params.counters};
	rhun::launch_request const request{"nop", run_nop, &params, sizeof(params), params.blocks, 0, uses, 2,
					   nop_ended};
	return rhun::launch(request);
}

} // namespace kova::sdk::kernels
