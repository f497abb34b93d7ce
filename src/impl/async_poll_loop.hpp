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

// Prints each error as "Async error: <code name> message: <text>" on standard error and throws the
// first one as kova::exception; does nothing for an empty list.
void throw_async_errors(const std::vector<utility::async::error> &errors);

} // namespace kova::bench::impl
