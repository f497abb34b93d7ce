#include "companion/process_flags.hpp"

namespace kova::bench::companion {

std::atomic<bool> stop_requested{false};
std::atomic<bool> error_seen{false};

} // namespace kova::bench::companion
