// The shell process on POSIX: fork and execv with three pipes for the child's
// standard input, output and error.
#pragma once

#include "impl/shell_process.hpp"

#include <array>
#include <atomic>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kova::bench::impl {

class shell_process_posix : public utility::shell_process {
public:
	// Creates the pipes; throws std::runtime_error "Unable to create pipe" when it cannot.
	shell_process_posix(const std::string &program, std::vector<std::string> arguments,
			    utility::process_group group = utility::process_group::inherited);
	~shell_process_posix() override;

	shell_process_posix(const shell_process_posix &) = delete;
	shell_process_posix &operator=(const shell_process_posix &) = delete;
	shell_process_posix(shell_process_posix &&) = delete;
	shell_process_posix &operator=(shell_process_posix &&) = delete;

	bool launch() override;
	[[nodiscard]] bool is_running() const override;
	[[nodiscard]] bool execution_failed() const override;
	bool join(join_mode mode) override;
	void abort() override;
	kova::optional<std::string> get_line_stdout() override;
	kova::optional<std::string> get_line_stderr() override;
	void collect_output(std::chrono::milliseconds wait) override;

	// What is kept of each output stream; further bytes are read and dropped.
	static constexpr size_t max_buffered_output = 4 * 1024 * 1024;

private:
	struct output_stream {
		std::vector<char> buffer;
		bool ended = false;
	};

	using pipe_fds = std::array<int, 2>; // read end, write end

	static void read_fd(int fd, output_stream &stream);
	static kova::optional<std::string> read_line_from_buffer(output_stream &stream);
	[[noreturn]] void run_child(const std::array<char, 64> &failure_message, size_t prefix_length, int max_fd) noexcept;
	void close_pidfd() noexcept;
	// Sends the signal to the child, or to its whole group; the kill(2) result.
	int signal_child(pid_t pid, int signal) const noexcept;

	std::vector<std::string> m_arguments;
	std::vector<char *> m_argv;
	output_stream m_stdout;
	output_stream m_stderr;
	pipe_fds m_stdin_pipe{-1, -1};
	pipe_fds m_stdout_pipe{-1, -1};
	pipe_fds m_stderr_pipe{-1, -1};
	std::atomic<pid_t> m_pid{0};
	std::atomic<bool> m_failed{false};
	bool m_launched = false;
	bool m_own_group = false;
	int m_pidfd = -1; // wakes collect_output when the child ends; -1 where unsupported
};

} // namespace kova::bench::impl
