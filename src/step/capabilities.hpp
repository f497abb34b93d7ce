// Capability records of the offload libraries, as the device-capabilities query prints them.
#pragma once

#include <kova/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kova::bench::step {

// What one task kind of a library can do on a device.
struct task_capabilities {
	bool supported = false;
	uint64_t max_buffer_length = 0;
	std::map<std::string, std::string> properties;
};

// One offload library: whether it is loaded and what its tasks can do.
struct capabilities {
	std::string name;
	// Where the library was loaded from; "n/a" when it is not installed.
	std::string library_path;
	bool capable = false;
	bool installed = false;
	std::map<std::string, std::string> properties;
	std::map<std::string, task_capabilities> tasks;
};

// A library's record before its tasks are queried: capable, and installed with its path when the
// library's function table is loaded.
template <typename Api>
capabilities library_capabilities(const char *name, const Api *api)
{
	capabilities record;
	record.name = name;
	record.library_path = api != nullptr ? api->path : "n/a";
	record.capable = true;
	record.installed = api != nullptr;
	return record;
}

// A task record from the task's support query, asked under `label` (see throw_if_query_fails),
// and, when the task is supported, its maximum buffer size query, whose failure throws its code
// with `max_failure`.
task_capabilities query_task_capabilities(const kova_devinfo *devinfo, kova_error (*is_supported)(const kova_devinfo *),
					  const std::string &label,
					  kova_error (*get_max_buf_size)(const kova_devinfo *, uint64_t *),
					  const char *max_failure);

// A list-valued property: "[" + the values joined by ", " + "]".
std::string list_property(const std::vector<std::string> &values);

} // namespace kova::bench::step
