// Helpers shared by the local offload steps (DMA, compress, AES-GCM, SHA, erasure coding).
#pragma once

#include "kova_exception.hpp"
#include "step/object.hpp"
#include "utility/kova_utils.hpp"

#include <kova/error.h>
#include <kova/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kova::bench::step {

// Entry 0 of the runtime state's devices. Throws KOVA_ERROR_BAD_STATE when no device is open.
kova_dev *first_device(const runtime_state &state, const char *step_name);

// The task count of the configuration, rounded up to a power of two; sizes beyond what 32 bits
// hold become the largest value, which the libraries refuse.
uint32_t num_tasks_from_cfg(const object::attributes &attributes) noexcept;

// The library's function table. Throws KOVA_ERROR_NOT_FOUND "<word> library is not installed" when it is not loaded.
template <typename Api>
const Api *api_or_throw(const char *word)
{
	const Api *api = Api::singleton();
	if (api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, std::string{word} + " library is not installed");
	return api;
}

// {1, max} for input and output from a maximum buffer size query on the device, max held to 32
// bits; on failure prints "[<step_class>::get_io_buffer_ranges] failed to query max buffer size: <name>"
// and gives zeros.
io_buffer_ranges io_buffer_ranges_from_max(kova_error (*query)(const kova_devinfo *, uint64_t *), const kova_dev *device,
					   const char *step_class) noexcept;

// "Unable to stop <step> ctx: <n> tasks in flight are left to the device" on standard error.
void report_left_to_device(const char *step_name, std::size_t in_flight) noexcept;

// After the step's context was stopped: when the device still holds tasks of it (a stalled
// device), nothing it may still use is freed. The task list is emptied without freeing, and each
// owner (the instance, then what its tasks use) is released and left to the device. A line names
// the step and the count unless the stop already reported them. True when the step was left so.
template <typename... Owners>
bool leave_in_flight_to_device(kova_ctx *ctx, kova_pe *pe, const char *step_name, std::vector<kova_task *> &tasks,
			       Owners &...owners) noexcept
{
	std::size_t const in_flight = utility::tasks_in_flight(ctx);
	if (in_flight == 0)
		return false;
	if (!utility::is_engine_stalled(pe))
		report_left_to_device(step_name, in_flight);
	tasks.clear();
	(utility::leave_to_device(pe, owners.release()), ...);
	return true;
}

// Frees every task of the list and empties it.
void free_tasks(std::vector<kova_task *> &tasks) noexcept;

// Overwrites the bytes of a copy of a secret so that it does not linger in freed memory.
void wipe(void *data, std::size_t len) noexcept;

} // namespace kova::bench::step
