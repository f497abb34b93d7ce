#include "step/capabilities.hpp"

#include "kova_exception.hpp"
#include "step/step_utils.hpp"
#include "utility/join.hpp"

namespace kova::bench::step {

task_capabilities query_task_capabilities(const kova_devinfo *devinfo, kova_error (*is_supported)(const kova_devinfo *),
					  const std::string &label,
					  kova_error (*get_max_buf_size)(const kova_devinfo *, uint64_t *),
					  const char *max_failure)
{
	task_capabilities task;
	if (throw_if_query_fails(is_supported(devinfo), label) != KOVA_SUCCESS)
		return task;
	task.supported = true;
	if (kova_error const err = get_max_buf_size(devinfo, &task.max_buffer_length))
		KOVA_THROW(err, max_failure);
	return task;
}

std::string list_property(const std::vector<std::string> &values)
{
	return "[" + utility::join(values, ", ") + "]";
}

} // namespace kova::bench::step
