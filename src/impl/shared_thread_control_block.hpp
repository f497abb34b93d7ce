// The flags every worker thread of a benchmark shares with the benchmark, and the count of
// threads still running. The benchmark writes the flags with atomic exchanges; workers read them
// with plain atomic loads and write only through set_critical_benchmark_failure.
#pragma once

#include <atomic>
#include <cstdint>

namespace kova::bench::impl {

struct shared_thread_control_block {
	// Non-zero: workers wait before their run. Closed before the threads start, opened to
	// release them together.
	std::atomic<uint8_t> start_gate{0};
	// Non-zero: a worker that has not begun its measured run ends without running.
	std::atomic<uint8_t> stop{0};
	// Set by a worker that failed; never cleared by a launch.
	std::atomic<uint8_t> critical{0};
	// Raised by the launch per thread started, lowered by exactly 1 when a thread ends.
	std::atomic<uint16_t> running_count{0};
};

// The running count is 16 bits wide: a permutation may have at most this many worker threads.
inline constexpr uint32_t max_worker_threads = UINT16_MAX;

} // namespace kova::bench::impl
