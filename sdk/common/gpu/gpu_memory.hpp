// What a kernel launch does with the memory table: mark the allocations its kernel uses.
#pragma once

#include <cstdint>

namespace kova::sdk::rhun {

// Marks the allocation holding each address as used by one more running kernel; false (nothing
// marked) when an address lies outside every allocation.
bool mem_use(const void *const *addresses, uint32_t count) noexcept;

// Undoes mem_use.
void mem_release(const void *const *addresses, uint32_t count) noexcept;

} // namespace kova::sdk::rhun
