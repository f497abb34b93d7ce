#include "impl/shell_process_posix.hpp"

#include <kova/error.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kova::bench::impl {
namespace {

constexpr size_t read_block_size = 2048;
constexpr auto term_grace_period = std::chrono::seconds{5};
constexpr auto term_poll_interval = std::chrono::milliseconds{10};
// Without a pidfd the end of a child whose output is already closed is only
// seen by looking again.
constexpr auto exit_poll_interval = std::chrono::milliseconds{10};

void close_fd(int &fd) noexcept
{
	if (fd >= 0) {
		::close(fd);
		fd = -1;
	}
}

// Moves a descriptor to 3 or above so that setting up the child's 0-2 cannot
// overwrite it.
bool move_above_stdio(int &fd) noexcept
{
	if (fd > STDERR_FILENO)
		return true;
	int const moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
	::close(fd);
	fd = moved;
	return moved >= 0;
}

bool set_non_blocking(int fd) noexcept
{
	int const flags = ::fcntl(fd, F_GETFL);
	return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string error_text(int error)
{
	char buffer[128];
	const char *text = priv_kova_strerror(error, buffer, sizeof(buffer));
	return text != nullptr ? text : "";
}

} // namespace

shell_process_posix::shell_process_posix(const std::string &program, std::vector<std::string> arguments,
					 utility::process_group group)
	: m_own_group{group == utility::process_group::own}
{
	m_arguments.reserve(arguments.size() + 1);
	m_arguments.push_back(program);
	for (auto &argument : arguments)
		m_arguments.push_back(std::move(argument));
	m_argv.reserve(m_arguments.size() + 1);
	for (auto &argument : m_arguments)
		m_argv.push_back(argument.data());
	m_argv.push_back(nullptr);

	// Every end is close-on-exec; the child's three are re-created as 0-2 by
	// dup2, which drops that flag. Only the parent's ends are non-blocking.
	bool ok = true;
	for (pipe_fds *fds : {&m_stdin_pipe, &m_stdout_pipe, &m_stderr_pipe}) {
		if (!ok || ::pipe2(fds->data(), O_CLOEXEC) != 0 || !move_above_stdio((*fds)[0]) ||
		    !move_above_stdio((*fds)[1]))
			ok = false;
	}
	ok = ok && set_non_blocking(m_stdin_pipe[1]) && set_non_blocking(m_stdout_pipe[0]) &&
	     set_non_blocking(m_stderr_pipe[0]);
	if (!ok) {
		for (pipe_fds *fds : {&m_stdin_pipe, &m_stdout_pipe, &m_stderr_pipe}) {
			close_fd((*fds)[0]);
			close_fd((*fds)[1]);
		}
		throw std::runtime_error{"Unable to create pipe"};
	}
}

shell_process_posix::~shell_process_posix()
{
	if (m_pid.load() != 0)
		abort();
	for (pipe_fds *fds : {&m_stdin_pipe, &m_stdout_pipe, &m_stderr_pipe}) {
		close_fd((*fds)[0]);
		close_fd((*fds)[1]);
	}
	close_pidfd();
}

bool shell_process_posix::launch()
{
	if (m_launched)
		return false;
	m_launched = true;

	// Everything the child needs is prepared here: after fork it may only use
	// async-signal-safe calls.
	static constexpr char prefix[] = "Child failed with status code: ";
	std::array<char, 64> failure_message{};
	std::memcpy(failure_message.data(), prefix, sizeof(prefix) - 1);
	long open_max = ::sysconf(_SC_OPEN_MAX);
	int const max_fd = open_max < 0 ? 1024 : static_cast<int>(std::min(open_max, 65536L));

	pid_t const pid = ::fork();
	if (pid < 0) {
		m_pid = 0;
		return false;
	}
	if (pid == 0)
		run_child(failure_message, sizeof(prefix) - 1, max_fd);

	// Set on both sides of the fork, so that the group exists whichever runs first.
	if (m_own_group)
		::setpgid(pid, pid);
	m_pid = pid;
	close_fd(m_stdin_pipe[0]);
	close_fd(m_stdout_pipe[1]);
	close_fd(m_stderr_pipe[1]);
	m_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
	return true;
}

void shell_process_posix::run_child(const std::array<char, 64> &failure_message, size_t prefix_length,
				    int max_fd) noexcept
{
	sigset_t all;
	::sigemptyset(&all);
	::pthread_sigmask(SIG_SETMASK, &all, nullptr);
	if (m_own_group)
		::setpgid(0, 0);

	int const targets[] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
	int const sources[] = {m_stdin_pipe[0], m_stdout_pipe[1], m_stderr_pipe[1]};
	for (int i = 0; i < 3; ++i) {
		while (::dup2(sources[i], targets[i]) < 0 && errno == EINTR) {
		}
	}
	// Nothing but 0-2 reaches the program, whatever else the parent has open.
	if (::syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, 0) != 0) {
		for (int fd = STDERR_FILENO + 1; fd < max_fd; ++fd)
			::close(fd);
	}

	::execv(m_argv[0], m_argv.data());

	int const error = errno;
	char message[64];
	std::memcpy(message, failure_message.data(), prefix_length);
	size_t length = prefix_length;
	char digits[16];
	size_t count = 0;
	unsigned value = static_cast<unsigned>(error);
	do {
		digits[count++] = static_cast<char>('0' + value % 10);
		value /= 10;
	} while (value != 0 && count < sizeof(digits));
	while (count > 0)
		message[length++] = digits[--count];
	message[length++] = '\n';
	[[maybe_unused]] ssize_t const written = ::write(STDERR_FILENO, message, length);
	::_exit(-error);
}

bool shell_process_posix::is_running() const
{
	return m_pid.load() != 0;
}

bool shell_process_posix::execution_failed() const
{
	return m_failed.load();
}

bool shell_process_posix::join(join_mode mode)
{
	pid_t const pid = m_pid.load();
	if (pid == 0)
		return true;

	int status = 0;
	pid_t result;
	do {
		result = ::waitpid(pid, &status, mode == join_mode::non_blocking ? WNOHANG : 0);
	} while (result < 0 && errno == EINTR);

	if (result < 0) {
		if (errno == ECHILD) {
			m_pid = 0;
			close_pidfd();
			return true;
		}
		std::printf("[shell_process_posix::join] ::waitpid(%d) failed with %s\n", pid, error_text(errno).c_str());
		return false;
	}
	if (result == 0)
		return false;

	// The failure flag is set before the id is cleared: a watcher that sees the
	// child gone reads a final flag.
	if (WIFEXITED(status)) {
		if (WEXITSTATUS(status) != 0)
			m_failed = true;
		m_pid = 0;
		close_pidfd();
		return true;
	}
	if (WIFSIGNALED(status)) {
		std::printf("[shell_process_posix::join] child(%d) terminated with signal: %d\n", pid, WTERMSIG(status));
		m_failed = true;
		m_pid = 0;
		close_pidfd();
		return true;
	}
	return false;
}

void shell_process_posix::abort()
{
	pid_t const pid = m_pid.load();
	if (pid == 0)
		return;

	// The group outlives its leader while a member lives, so its id is not reused before the
	// last kill below.
	if (signal_child(pid, SIGTERM) == 0) {
		auto const deadline = std::chrono::steady_clock::now() + term_grace_period;
		while (std::chrono::steady_clock::now() < deadline) {
			std::this_thread::sleep_for(term_poll_interval);
			if (join(join_mode::non_blocking)) {
				std::printf("\tChild exited\n");
				if (m_own_group)
					::kill(-pid, SIGKILL);
				return;
			}
		}
	} else if (errno == ESRCH) {
		join(join_mode::blocking);
		return;
	}

	while (signal_child(pid, SIGKILL) != 0 && errno != ESRCH)
		std::this_thread::sleep_for(std::chrono::seconds{1});
	join(join_mode::blocking);
}

int shell_process_posix::signal_child(pid_t pid, int signal) const noexcept
{
	if (m_own_group && ::kill(-pid, signal) == 0)
		return 0;
	// A child that has not yet made its group is signalled alone.
	return ::kill(pid, signal);
}

kova::optional<std::string> shell_process_posix::get_line_stdout()
{
	read_fd(m_stdout_pipe[0], m_stdout);
	return read_line_from_buffer(m_stdout);
}

kova::optional<std::string> shell_process_posix::get_line_stderr()
{
	read_fd(m_stderr_pipe[0], m_stderr);
	return read_line_from_buffer(m_stderr);
}

void shell_process_posix::collect_output(std::chrono::milliseconds wait)
{
	pollfd fds[3];
	nfds_t count = 0;
	if (!m_stdout.ended && m_stdout_pipe[0] >= 0)
		fds[count++] = {m_stdout_pipe[0], POLLIN, 0};
	if (!m_stderr.ended && m_stderr_pipe[0] >= 0)
		fds[count++] = {m_stderr_pipe[0], POLLIN, 0};
	if (m_pidfd >= 0)
		fds[count++] = {m_pidfd, POLLIN, 0};
	else
		wait = std::min<std::chrono::milliseconds>(wait, exit_poll_interval);

	if (count > 0)
		::poll(fds, count, static_cast<int>(wait.count()));
	else if (wait.count() > 0)
		std::this_thread::sleep_for(wait);

	read_fd(m_stdout_pipe[0], m_stdout);
	read_fd(m_stderr_pipe[0], m_stderr);
}

void shell_process_posix::read_fd(int fd, output_stream &stream)
{
	if (fd < 0 || stream.ended)
		return;
	char block[read_block_size];
	for (;;) {
		ssize_t const count = ::read(fd, block, sizeof(block));
		if (count < 0 && errno == EINTR)
			continue;
		if (count == 0 || (count < 0 && errno != EAGAIN)) {
			stream.ended = true;
			return;
		}
		if (count < 0)
			return;
		size_t const room = max_buffered_output - std::min(max_buffered_output, stream.buffer.size());
		size_t const kept = std::min(room, static_cast<size_t>(count));
		try {
			stream.buffer.insert(stream.buffer.end(), block, block + kept);
		} catch (const std::bad_alloc &) {
			return;
		}
	}
}

kova::optional<std::string> shell_process_posix::read_line_from_buffer(output_stream &stream)
{
	auto const newline = std::find(stream.buffer.begin(), stream.buffer.end(), '\n');
	if (newline == stream.buffer.end()) {
		if (!stream.ended || stream.buffer.empty())
			return {};
		std::string last{stream.buffer.begin(), stream.buffer.end()};
		stream.buffer.clear();
		return last;
	}
	std::string line{stream.buffer.begin(), newline};
	stream.buffer.erase(stream.buffer.begin(), newline + 1);
	return line;
}

void shell_process_posix::close_pidfd() noexcept
{
	if (m_pidfd >= 0) {
		::close(m_pidfd);
		m_pidfd = -1;
	}
}

} // namespace kova::bench::impl
