// Capability answers of the stand-in libraries, which tests may override by query name.
#pragma once

#include <kova_internal/export.hpp>

#include <kova/types.h>

#include <cstdint>

namespace kova::sdk {

// For a yes/no query (0 supported, 4 not supported, anything else a failure): the result a test
// set for it, else `answer`.
KOVA_SDK_INTERNAL kova_error capability_answer(const char *query, kova_error answer) noexcept;

// For a flag or maximum query: sets *value to the overridden value or to `value`; returns the
// overridden result when a test set a non-zero one (then *value is untouched), else 0.
KOVA_SDK_INTERNAL kova_error capability_value(const char *query, uint64_t value, uint64_t *out) noexcept;

// Start of every control-path call: records it in the test trace and returns a result that a
// test forced for it (0 when none: go on). `argument` is traced when `has_argument` is set.
KOVA_SDK_INTERNAL kova_error control_call(const char *function, bool has_argument = false,
					  uint64_t argument = 0) noexcept;

} // namespace kova::sdk
