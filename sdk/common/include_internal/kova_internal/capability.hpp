// Capability answers of the stand-in libraries, which tests may override by query name.
#pragma once

#include <kova_internal/export.hpp>

#include <kova/error.h>
#include <kova/types.h>

#include <cstdint>

namespace kova::sdk {

// For a yes/no query (0 supported, 4 not supported, anything else a failure): the result a test
// set for it, else `answer`.
KOVA_SDK_INTERNAL kova_error capability_answer(const char *query, kova_error answer) noexcept;

// For a flag or maximum query: sets *value to the overridden value or to `value`; returns the
// overridden result when a test set a non-zero one (then *value is untouched), else 0.
KOVA_SDK_INTERNAL kova_error capability_value(const char *query, uint64_t value, uint64_t *out) noexcept;

// A maximum query on a device: 6 for a null device or result pointer, else *out set from
// capability_value (held to T) or the overridden result.
template <typename T>
kova_error query_value(const kova_devinfo *devinfo, const char *query, uint64_t value, T *out) noexcept
{
	if (devinfo == nullptr || out == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	uint64_t result = 0;
	if (kova_error const err = capability_value(query, value, &result))
		return err;
	*out = static_cast<T>(result);
	return KOVA_SUCCESS;
}

// Start of every control-path call: records it in the test trace and returns a result that a
// test forced for it (0 when none: go on). `argument` is traced when `has_argument` is set.
KOVA_SDK_INTERNAL kova_error control_call(const char *function, bool has_argument = false,
					  uint64_t argument = 0) noexcept;

} // namespace kova::sdk
