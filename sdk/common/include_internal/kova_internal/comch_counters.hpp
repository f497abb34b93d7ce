// What the comch consumers and producers of this process moved: each context counts on its own
// (its engine's thread is the only writer, no lock on the data path) and registers its counters
// here while it lives; a destroyed one leaves its figures in the process totals.
#pragma once

#include <kova_internal/counter.hpp>
#include <kova_internal/export.hpp>

namespace kova::sdk::comch {

// One consumer's (receives) or one producer's (sends) counts.
struct channel_counters {
	counter messages; // completed with a placed message
	counter bytes;    // the message bytes of those
	counter failed;   // completed with an error
};

enum class channel_role { consumer, producer };

// Counts the context's figures in the process totals from now on.
KOVA_SDK_INTERNAL void attach_counters(channel_counters *counters, channel_role role) noexcept;
// Keeps its figures in the totals once the context goes.
KOVA_SDK_INTERNAL void detach_counters(channel_counters *counters, channel_role role) noexcept;
// Zeroes the totals and every live context's counts.
KOVA_SDK_INTERNAL void reset_counters() noexcept;

} // namespace kova::sdk::comch
