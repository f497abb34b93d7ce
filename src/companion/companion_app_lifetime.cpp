#include "companion/companion_app_lifetime.hpp"

#include "utility/join.hpp"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace kova::bench::companion::remote_control {
namespace {

using utility::shell_process;

// How often the watcher looks at the process; its output is drained meanwhile,
// so that a companion that prints much never blocks on a full pipe.
constexpr std::chrono::milliseconds watch_interval{100};
// How long the companion may take to end by itself once its owner is destroyed.
constexpr std::chrono::seconds end_grace_period{15};

} // namespace

companion_app_lifetime::companion_app_lifetime(std::unique_ptr<shell_process> process) : m_process{std::move(process)}
{
	// Forked here rather than on the watcher, so that a process exists for the
	// destructor to wait for however soon it runs.
	bool const launched = m_process->launch();
	m_thread = std::thread{[this, launched] { thread_proc(launched); }};
}

companion_app_lifetime::~companion_app_lifetime()
{
	m_stop_requested = true;
	if (m_thread.joinable())
		m_thread.join();
}

// Every wait and reap of the process happens on this thread.
void companion_app_lifetime::thread_proc(bool launched)
{
	if (!launched)
		report_failure_and_exit();

	auto deadline = std::chrono::steady_clock::time_point::max();
	for (;;) {
		if (m_process->join(shell_process::join_mode::non_blocking))
			break;
		auto const now = std::chrono::steady_clock::now();
		if (m_stop_requested && deadline == std::chrono::steady_clock::time_point::max())
			deadline = now + end_grace_period;
		if (now >= deadline) {
			m_process->abort();
			break;
		}
		auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
		m_process->collect_output(std::min(left + std::chrono::milliseconds{1}, watch_interval));
	}
	if (m_process->execution_failed())
		report_failure_and_exit();
}

void companion_app_lifetime::report_failure_and_exit()
{
	m_stdout_lines = collect_output_from([this] { return m_process->get_line_stdout(); });
	m_stderr_lines = collect_output_from([this] { return m_process->get_line_stderr(); });
	std::string const report = "Failed to Execute companion app. stdout: [\n\t" + utility::join(m_stdout_lines, "\n\t") +
				   "\n], stderr: [\n\t" + utility::join(m_stderr_lines, "\n\t") + "\n]\n";
	std::fflush(stdout);
	std::cout.flush();
	std::fputs(report.c_str(), stderr);
	std::fflush(stderr);
	// A secondary thread must not run exit(): static destructors would race
	// with the threads still running.
	::_exit(1);
}

} // namespace kova::bench::companion::remote_control
