// Owner of a companion started over ssh, with the thread that watches it.
#pragma once

#include "companion/remote_control.hpp"
#include "impl/shell_process.hpp"

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kova::bench::companion::remote_control {

class companion_app_lifetime : public remote_companion {
public:
	// Starts the process on the calling thread, then the watcher. The watcher
	// ends the program with exit status 1 when the process could not be
	// started or ends with a failure.
	explicit companion_app_lifetime(std::unique_ptr<utility::shell_process> process);

	// Gives the companion 15 seconds to end by itself, then aborts it (which
	// the watcher reports as a failure); returns when the watcher has ended.
	~companion_app_lifetime() override;

	companion_app_lifetime(const companion_app_lifetime &) = delete;
	companion_app_lifetime &operator=(const companion_app_lifetime &) = delete;
	companion_app_lifetime(companion_app_lifetime &&) = delete;
	companion_app_lifetime &operator=(companion_app_lifetime &&) = delete;

private:
	void thread_proc(bool launched);
	[[noreturn]] void report_failure_and_exit();

	std::unique_ptr<utility::shell_process> m_process;
	std::thread m_thread;
	std::vector<std::string> m_stdout_lines;
	std::vector<std::string> m_stderr_lines;
	std::atomic<bool> m_stop_requested{false};
};

} // namespace kova::bench::companion::remote_control
