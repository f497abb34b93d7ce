// Counts the heap allocations of the whole process (malloc and its relatives, and so operator new)
// while counting is on. The test program defines malloc itself, in front of the C library's.
#pragma once

#include <cstdint>

namespace kova::sdk_local_test {

void count_allocations(bool on);
uint64_t allocations_counted();

} // namespace kova::sdk_local_test
