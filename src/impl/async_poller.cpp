#include "impl/async_poller.hpp"

#include "companion/api/async_context.hpp"

#include <kova/error.h>

#include <algorithm>
#include <utility>

namespace kova::bench::impl {

async_poller::~async_poller() = default;

void async_poller::add(companion::api::async::context *context)
{
	m_contexts.push_back(context);
}

void async_poller::add(std::unique_ptr<utility::async::sequence> sequence)
{
	m_sequences.push_back(std::move(sequence));
}

bool async_poller::poll(std::chrono::steady_clock::time_point now)
{
	for (auto *context : m_contexts)
		context->poll(now);

	if (m_sequences.empty())
		return true;

	if (now > m_deadline && !m_timed_out) {
		m_timed_out = true;
		abort();
		m_errors.push_back(utility::async::error{KOVA_ERROR_TIME_OUT, "Timed out waiting for asynchronous operations"});
	}

	// Bidirectional partition, polling each sequence exactly once: those still
	// in progress gather at the front, those that ended at the back. Errors are
	// kept aside until the round completes, so that a poll that throws leaves
	// every sequence in place and collects nothing twice.
	using utility::async::poll_result;
	std::vector<utility::async::error> failures;
	auto still_running = [&failures](utility::async::sequence &seq) {
		switch (seq.poll()) {
		case poll_result::in_progress:
			return true;
		case poll_result::has_failed: {
			auto const &errors = seq.get_errors();
			failures.insert(failures.end(), errors.begin(), errors.end());
			return false;
		}
		case poll_result::has_result:
			break;
		}
		return false;
	};

	auto first = m_sequences.begin();
	auto last = m_sequences.end();
	while (true) {
		while (first != last && still_running(**first))
			++first;
		if (first == last)
			break;
		--last;
		while (first != last && !still_running(**last))
			--last;
		if (first == last)
			break;
		std::iter_swap(first, last);
		++first;
	}

	m_sequences.erase(first, m_sequences.end());
	m_errors.insert(m_errors.end(), failures.begin(), failures.end());
	if (m_abort_all_on_failure && !failures.empty())
		abort();
	return m_sequences.empty();
}

void async_poller::abort()
{
	if (m_aborted)
		return;
	m_aborted = true;
	for (auto &seq : m_sequences)
		seq->abort();
}

} // namespace kova::bench::impl
