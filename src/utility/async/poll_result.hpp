// What polling an asynchronous sequence reports.
#pragma once

#include <cstdint>

namespace kova::bench::utility {
namespace async {

enum class poll_result : uint8_t {
	has_result = 0,
	in_progress = 1,
	has_failed = 2,
};

} // namespace async

// "has result", "in progress", "has failed"; "UNKNOWN" for any other value.
const char *to_string(async::poll_result result) noexcept;

} // namespace kova::bench::utility
