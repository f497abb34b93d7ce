#include "impl/async_poll_loop.hpp"

#include "kova_exception.hpp"

#include <kova/error.h>

#include <chrono>
#include <iostream>
#include <thread>

namespace kova::bench::impl {

void poll_until_done(async_poller &poller, const std::function<bool()> &should_abort)
{
	while (!poller.poll(std::chrono::steady_clock::now())) {
		// sleep_for resumes after a signal with the time that remains.
		std::this_thread::sleep_for(std::chrono::milliseconds{10});
		if (should_abort && should_abort())
			poller.abort();
	}
}

void abort_and_drain(async_poller &poller) noexcept
{
	try {
		poller.abort();
		poll_until_done(poller, {});
	} catch (...) {
		// The caller's failure is the one reported.
	}
}

void throw_async_errors(const std::vector<utility::async::error> &errors)
{
	if (errors.empty())
		return;
	for (auto const &error : errors)
		std::cerr << "Async error: " << kova_error_get_name(error.code) << " message: " << error.message << "\n";
	std::cerr.flush();
	KOVA_THROW(errors.front().code, errors.front().message);
}

std::vector<utility::async::error> collect_async_batch(const async_batch &batch,
							const std::function<void(async_poller &)> &add_sequences)
{
	async_poller poller;
	poller.set_timeout(std::chrono::steady_clock::now() + batch.time_limit);
	if (batch.purpose == async_batch::kind::setup)
		poller.abort_all_on_failure();
	if (batch.companion != nullptr)
		poller.add(batch.companion);
	try {
		add_sequences(poller);
	} catch (...) {
		if (batch.on_failure)
			batch.on_failure();
		if (batch.purpose == async_batch::kind::setup) {
			abort_and_drain(poller);
		} else {
			try {
				poll_until_done(poller, batch.should_abort);
			} catch (...) {
				// The failure to start is the one reported.
			}
		}
		throw;
	}
	poll_until_done(poller, batch.should_abort);
	return poller.get_errors();
}

void run_async_batch(const async_batch &batch, const std::function<void(async_poller &)> &add_sequences)
{
	auto const errors = collect_async_batch(batch, add_sequences);
	if (!errors.empty() && batch.on_failure)
		batch.on_failure();
	throw_async_errors(errors);
}

} // namespace kova::bench::impl
