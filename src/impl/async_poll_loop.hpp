// Driving an asynchronous poller to its end from the calling thread, and reporting what failed.
#pragma once

#include "impl/async_poller.hpp"
#include "utility/async/activity.hpp"

#include <functional>
#include <vector>

namespace kova::bench::impl {

// Polls until no sequence is left, sleeping 10 ms between rounds. When `should_abort` says so after
// a sleep, the poller is aborted and polled on until the aborted sequences have ended.
void poll_until_done(async_poller &poller, const std::function<bool()> &should_abort);

// For a set-up that cannot go on (a step's set-up threw while the sequences of others were already
// added): aborts the poller and polls it until the aborted sequences have undone their work. Their
// errors are dropped; the caller reports its own failure. Never throws.
void abort_and_drain(async_poller &poller) noexcept;

// Prints each error as "Async error: <code name> message: <text>" on standard error and throws the
// first one as kova::exception; does nothing for an empty list.
void throw_async_errors(const std::vector<utility::async::error> &errors);

} // namespace kova::bench::impl
