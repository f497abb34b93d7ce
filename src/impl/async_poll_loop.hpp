// Driving an asynchronous poller to its end from the calling thread, and reporting what failed.
#pragma once

#include "impl/async_poller.hpp"
#include "utility/async/activity.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace kova::bench::companion::api::async {
class context;
} // namespace kova::bench::companion::api::async

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

// One batch of the steps' set-up or tear-down sequences, run together on the calling thread.
struct async_batch {
	enum class kind : uint8_t {
		// Set-ups share the companion: the first failure aborts the others, and a set-up that
		// cannot be started aborts those already added.
		setup,
		// A tear-down that cannot be started leaves those already added to run to their end.
		teardown,
	};

	kind purpose = kind::setup;
	// Polled with the sequences when not null: the replies they wait for arrive through it.
	companion::api::async::context *companion = nullptr;
	// Read after each sleep; when true, the remaining sequences are aborted.
	std::function<bool()> should_abort;
	// Called once when the batch fails: a sequence could not be started, or one failed.
	std::function<void()> on_failure;
	// Past this, the remaining sequences are aborted with "Timed out waiting for asynchronous
	// operations".
	std::chrono::steady_clock::duration time_limit = async_time_limit;
};

// Runs the batch: `add_sequences` hands the sequences to the poller, which is then polled until
// none is left. Returns the errors of the sequences that failed. When `add_sequences` throws, the
// sequences already added are ended as the batch's kind says and the exception propagates.
std::vector<utility::async::error> collect_async_batch(const async_batch &batch,
							const std::function<void(async_poller &)> &add_sequences);

// As collect_async_batch, then on errors calls `on_failure` and throws the first (throw_async_errors).
void run_async_batch(const async_batch &batch, const std::function<void(async_poller &)> &add_sequences);

} // namespace kova::bench::impl
