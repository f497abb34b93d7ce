// A TCP port for a test's own listener.
#pragma once

#include <cstdint>

namespace kova::test {

// A port on which nothing listens at the time of the call. Taken below the kernel's ephemeral
// range, so that no outgoing connection of a test running beside this one takes it as its source
// port before the listener binds it; each process starts at its own place in the range.
uint16_t unused_port();

} // namespace kova::test
