// The time limits of a worker thread's run loops.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kova::bench::impl {

// A loop with jobs outstanding and no completion for this long reports itself stuck.
inline constexpr std::chrono::nanoseconds default_stall_limit{std::chrono::seconds{30}};
// The stall limit as the stuck errors name it: "30 seconds".
inline std::string stall_limit_text()
{
	return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(default_stall_limit).count()) + " seconds";
}
// Longest sleep of one loop turn in blocking mode.
inline constexpr uint32_t default_event_wait_ms = 200;
// The loops read the clock once per this many turns.
inline constexpr uint32_t turns_per_clock_read = 1000;
// Pause between two looks at the start gate.
inline constexpr std::chrono::nanoseconds start_gate_sleep{1000};

// The steady clock in nanoseconds, as the loops compare it with their deadlines.
inline int64_t now_ns() noexcept
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

struct run_timing {
	std::chrono::nanoseconds stall_limit = default_stall_limit;
	uint32_t event_wait_ms = default_event_wait_ms;
};

} // namespace kova::bench::impl
