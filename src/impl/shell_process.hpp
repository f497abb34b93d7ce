// A child program run without a shell, with its output handed back line by line.
#pragma once

#include "kova_optional.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kova::bench::utility {

class shell_process {
public:
	enum class join_mode {
		blocking = 0,     // wait until the child ends
		non_blocking = 1, // look once
	};

	virtual ~shell_process() = default;

	// Starts the child; false when it could not be created. Called once per object.
	virtual bool launch() = 0;

	// True from a successful launch until a join has seen the child end.
	[[nodiscard]] virtual bool is_running() const = 0;

	// True when the child ended with a non-zero status or by a signal.
	[[nodiscard]] virtual bool execution_failed() const = 0;

	// True once the child has ended (or when there is no child); false while it
	// runs (non-blocking) or when the wait failed.
	virtual bool join(join_mode mode) = 0;

	// Ends the child: SIGTERM, SIGKILL when it has not ended after 5 seconds; reaps it. A child
	// with a process group of its own gets the signals as a group, and what is left of the group
	// once the child has ended is killed.
	virtual void abort() = 0;

	// The next complete line of the child's output, without its newline (a
	// carriage return stays). Once the child has closed the stream, a last line
	// without a newline is returned too. Empty when no line is available now.
	virtual kova::optional<std::string> get_line_stdout() = 0;
	virtual kova::optional<std::string> get_line_stderr() = 0;

	// Waits up to the given time for output or for the child's end, then reads
	// whatever output is there into the line buffers without taking lines out.
	// Run while waiting for a child, so that it never blocks on a full pipe.
	virtual void collect_output(std::chrono::milliseconds wait) = 0;
};

// Time limit of a command run to completion.
inline constexpr std::chrono::seconds default_run_time_limit{30};

// Whether the child leads a process group of its own, which abort() then ends as a whole (the
// programs it started included).
enum class process_group : uint8_t {
	inherited = 0,
	own = 1,
};

// A new process for the program at the absolute path with the given arguments;
// the child is not started.
std::unique_ptr<shell_process> make_process(const std::string &program, std::vector<std::string> arguments,
					    process_group group = process_group::inherited);

// Launches the process and waits for it to end, collecting its output meanwhile.
// False when it could not be started, the wait failed, or it did not end within
// the time limit (it is then aborted). Whether it ended well is read afterwards
// with execution_failed().
bool run_to_completion(shell_process &process, std::chrono::milliseconds time_limit = default_run_time_limit);

} // namespace kova::bench::utility
