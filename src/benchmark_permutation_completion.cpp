// Ending a permutation: the steps' asynchronous teardown, joining the worker threads, and the
// intermediate and final statistics reports.
#include "benchmark.hpp"

#include "companion/api/async_context.hpp"
#include "impl/async_poll_loop.hpp"
#include "kova_exception.hpp"
#include "stats/permutation_stats.hpp"

#include <kova/error.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace kova::bench {
namespace {

// Clears the worker threads and their states when it goes out of scope, whatever happened.
class thread_list_release {
public:
	thread_list_release(std::vector<std::thread> &threads, std::vector<std::unique_ptr<impl::thread_data>> &states,
			    bool &released) noexcept
		: m_threads{threads}, m_states{states}, m_released{released}
	{
	}
	thread_list_release(const thread_list_release &) = delete;
	thread_list_release &operator=(const thread_list_release &) = delete;
	~thread_list_release()
	{
		m_threads.clear();
		for (auto &state : m_states)
			state.reset();
		m_states.clear();
		m_released = false;
	}

private:
	std::vector<std::thread> &m_threads;
	std::vector<std::unique_ptr<impl::thread_data>> &m_states;
	bool &m_released;
};

} // namespace

void benchmark::handle_permutation_stats(display_reason reason)
{
	auto const now = std::chrono::steady_clock::now();

	permutation_stats stats;
	stats.threads.reserve(m_thread_data.size());
	for (auto const &state : m_thread_data) {
		thread_stats copy = state->get_stats();
		if (reason == display_reason::intermediate) {
			// Rates of a running permutation are over the measured run only, as the final ones are.
			auto const run_start = state->get_run_start_time();
			copy.duration = run_start.has_value()
						? std::chrono::duration_cast<std::chrono::nanoseconds>(now - *run_start)
						: std::chrono::nanoseconds{0};
		}
		stats.threads.push_back(std::move(copy));
	}
	for (auto const &thread : stats.threads)
		stats.aggregate += thread;

	stats.cpu_usage = m_stats_engine->get_cpu_usage();
	std::sort(stats.cpu_usage.begin(), stats.cpu_usage.end());

	if (reason == display_reason::intermediate) {
		m_stats_engine->display_intermediate_stats(stats);
		return;
	}
	if (m_fixed.benchmark_mode == configuration::benchmark_mode::precision_latency) {
		auto &samples = stats.aggregate.step.latency_samples;
		std::sort(samples.begin(), samples.end());
	}
	m_stats_engine->on_permutation_complete(stats);
}

void benchmark::on_permutation_completed() noexcept
{
	// The last CPU sample ends where the workers ended: the clean-up's idle cores are not the run's.
	if (m_fixed.record_cpu_usage && m_stats_engine) {
		try {
			m_stats_engine->stop_cpu_usage_recording();
		} catch (const std::exception &error) {
			std::printf("Failed to record CPU usage: %s\n", error.what());
		}
	}

	announce("Cleanup");

	try {
		do_async_cleanup();
	} catch (const kova::exception &error) {
		m_control_block->critical.exchange(1);
		std::printf("Error during async cleanup: %s\n", error.what());
	} catch (...) {
		m_control_block->critical.exchange(1);
		std::printf("Unexpected error during async cleanup\n");
	}

	++m_permutation_idx;
	std::fflush(stdout);
}

void benchmark::do_async_cleanup()
{
	impl::async_batch batch;
	batch.purpose = impl::async_batch::kind::teardown;
	batch.companion = m_runtime_state.get_companion_connection_async();
	batch.should_abort = [this] {
		if (m_control_block->stop.load() == 0)
			return false;
		m_control_block->critical.exchange(1);
		return true;
	};
	batch.on_failure = [this] { m_control_block->critical.exchange(1); };
	impl::run_async_batch(batch, [this](impl::async_poller &poller) {
		for (auto &state : m_thread_data)
			state->start_async_teardown(poller);
	});
}

void benchmark::stop_and_join_threads()
{
	thread_list_release const release{m_threads, m_thread_data, m_permutation_released};

	m_control_block->stop.exchange(1);
	for (auto &thread : m_threads) {
		if (thread.joinable())
			thread.join();
	}

	auto const running = m_control_block->running_count.load();
	if (running != 0)
		KOVA_THROW(KOVA_ERROR_SHUTDOWN, "Internal logic error, all threads have been destroyed but " +
							std::to_string(running) + " did not report completion.");

	// A permutation that failed, or never released its threads, has no statistics to show.
	if (m_control_block->critical.load() == 0 && m_permutation_released)
		handle_permutation_stats(display_reason::final);
}

} // namespace kova::bench
