#include "step/step_utils.hpp"

#include "kova_exception.hpp"

#include <bit>

namespace kova::bench::step {

kova_error throw_if_query_fails(kova_error code, const std::string &what)
{
	if (code == KOVA_SUCCESS || code == KOVA_ERROR_NOT_SUPPORTED)
		return code;
	KOVA_THROW(code, "Failed to query " + what);
}

uint8_t log_num_tasks_from_cfg(const object::attributes &attrs)
{
	// A pool size of 0 is treated as 1: one task.
	uint64_t const size = attrs.task_pool_size == 0 ? 1 : attrs.task_pool_size;
	return static_cast<uint8_t>(std::bit_width(size - 1));
}

} // namespace kova::bench::step
