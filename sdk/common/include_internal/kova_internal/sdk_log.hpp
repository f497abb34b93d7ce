// The stand-in libraries' own log lines, written to the backends that admit their level.
#pragma once

#include <kova_internal/export.hpp>

#include <kova/log.h>

#include <cstdint>

namespace kova::sdk {

// printf-style; a newline is added.
KOVA_SDK_INTERNAL void log(uint32_t level, const char *format, ...) noexcept __attribute__((format(printf, 2, 3)));

} // namespace kova::sdk
