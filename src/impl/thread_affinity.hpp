// Pinning a thread to one CPU.
#pragma once

#include <cstdint>
#include <thread>

namespace kova::bench::impl {

// Pins the running thread to the CPU and checks that the pin took effect;
// throws KOVA_ERROR_OPERATING_SYSTEM otherwise.
void set_thread_affinity(std::thread &thread, uint32_t cpu);

} // namespace kova::bench::impl
