// The companion's two process-wide flags.
#pragma once

#include <atomic>

namespace kova::bench::companion {

// Set by SIGINT, by a bye and by a keep-alive that cannot be sent; the request loop and the
// waits before it end when they see it.
extern std::atomic<bool> stop_requested;

// Set by every failure the companion survives or ends with, those of worker threads included;
// the exit status is 1 when it is set.
extern std::atomic<bool> error_seen;

static_assert(std::atomic<bool>::is_always_lock_free, "the SIGINT handler stores into stop_requested");

} // namespace kova::bench::companion
