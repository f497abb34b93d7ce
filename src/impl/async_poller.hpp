// Drives a batch of asynchronous sequences, together with the companion
// request contexts whose replies they wait for, to their end from one thread.
#pragma once

#include "utility/async/sequence.hpp"

#include <chrono>
#include <memory>
#include <vector>

namespace kova::bench::companion::api::async {
class context;
} // namespace kova::bench::companion::api::async

namespace kova::bench::impl {

// How long the set-up and tear-down of a permutation's steps may take.
inline constexpr auto async_time_limit = std::chrono::seconds{600};

class async_poller {
public:
	async_poller() = default;
	async_poller(const async_poller &) = delete;
	async_poller &operator=(const async_poller &) = delete;
	// Destroys the remaining sequences without aborting them.
	~async_poller();

	// When a poll finds the time past the deadline, the remaining sequences are
	// aborted and {9, "Timed out waiting for asynchronous operations"} is recorded.
	void set_timeout(std::chrono::steady_clock::time_point deadline) noexcept { m_deadline = deadline; }

	// From now on, when a sequence fails, the others are aborted too: set-ups share the companion,
	// whose workers a failing set-up's undo destroys, all of them, so none may wait on its own.
	void abort_all_on_failure() noexcept { m_abort_all_on_failure = true; }

	// The context is not owned and must outlive the poller.
	void add(companion::api::async::context *context);
	void add(std::unique_ptr<utility::async::sequence> sequence);

	// One round: polls every context once, then every sequence once, removing
	// those that ended and collecting the errors of those that failed.
	// Returns true when no sequence is left.
	bool poll(std::chrono::steady_clock::time_point now);

	// Aborts every remaining sequence; later calls do nothing.
	void abort();

	[[nodiscard]] const std::vector<utility::async::error> &get_errors() const noexcept { return m_errors; }
	void clear_errors() noexcept { m_errors.clear(); }

private:
	std::vector<companion::api::async::context *> m_contexts;
	std::vector<std::unique_ptr<utility::async::sequence>> m_sequences;
	std::chrono::steady_clock::time_point m_deadline = std::chrono::steady_clock::time_point::max();
	std::vector<utility::async::error> m_errors;
	bool m_aborted = false;
	bool m_abort_all_on_failure = false;
	bool m_timed_out = false;
};

} // namespace kova::bench::impl
