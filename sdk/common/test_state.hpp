// The common library's side of test control: what the data and control paths consult.
#pragma once

#include <kova/types.h>

#include <atomic>
#include <cstdint>

namespace kova::sdk::test {

// Non-zero while a fault, hold, delay, override or trace is set; the data path looks only at this.
extern std::atomic<uint32_t> g_active;

inline bool active() noexcept
{
	return g_active.load(std::memory_order_relaxed) != 0;
}

// A result injected for this submission call (kova_test_submit_call bit), or 0.
kova_error submit_fault(const kova_ctx *ctx, uint32_t call) noexcept;

// A status injected for this completion, or 0; waits out the completion delay first.
kova_error completion_fault(const kova_ctx *ctx) noexcept;

bool completions_held() noexcept;

// Live engines, whose counters make up the process counters with those of destroyed ones.
void register_pe(kova_pe *pe);
void retire_pe(kova_pe *pe) noexcept;

void note_num_tasks(uint32_t num_tasks) noexcept;

// A free or destroy refused because what it names is still in use by the device.
void note_refused_release() noexcept;

} // namespace kova::sdk::test
