#include "step/local_step_utils.hpp"

#include "runtime_state.hpp"
#include "step/step_utils.hpp"

#include <kova/dev.h>
#include <kova/task.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <limits>

namespace kova::bench::step {

kova_dev *first_device(const runtime_state &state, const char *step_name)
{
	auto const devices = state.get_devices();
	if (devices.empty())
		KOVA_THROW(KOVA_ERROR_BAD_STATE, std::string{"Unable to create "} + step_name + " step: no device is open");
	return devices[0];
}

uint32_t num_tasks_from_cfg(const object::attributes &attributes) noexcept
{
	uint64_t const num_tasks = uint64_t{1} << log_num_tasks_from_cfg(attributes);
	return static_cast<uint32_t>(std::min<uint64_t>(num_tasks, std::numeric_limits<uint32_t>::max()));
}

io_buffer_ranges io_buffer_ranges_from_max(kova_error (*query)(const kova_devinfo *, uint64_t *), const kova_dev *device,
					   const char *step_class) noexcept
{
	uint64_t max = 0;
	if (kova_error const err = query(kova_dev_as_devinfo(device), &max)) {
		std::cout << '[' << step_class << "::get_io_buffer_ranges] failed to query max buffer size: "
			  << kova_error_get_name(err) << '\n';
		return io_buffer_ranges{{0, 0}, {0, 0}};
	}
	auto const max32 = static_cast<uint32_t>(max);
	return io_buffer_ranges{{1, max32}, {1, max32}};
}

void report_left_to_device(const char *step_name, std::size_t in_flight) noexcept
{
	try {
		std::cerr << "Unable to stop " << step_name << " ctx: " << in_flight
			  << " tasks in flight are left to the device" << std::endl;
	} catch (...) {
		// Nothing else can report it.
	}
}

void free_tasks(std::vector<kova_task *> &tasks) noexcept
{
	for (kova_task *task : tasks)
		static_cast<void>(kova_task_free(task));
	tasks.clear();
}

void wipe(void *data, std::size_t len) noexcept
{
	if (data != nullptr && len != 0)
		::explicit_bzero(data, len);
}

} // namespace kova::bench::step
