#include "support/run_program.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <stdexcept>

extern char **environ;

namespace kova::test {

program_result run_program(const std::string &path, const std::vector<std::string> &args, std::chrono::seconds limit)
{
	return run_program(path, args, {}, limit);
}

program_result run_program(const std::string &path, const std::vector<std::string> &args,
			   const std::vector<std::string> &extra_environment, std::chrono::seconds limit)
{
	std::vector<char *> envp;
	for (char **entry = environ; *entry != nullptr; ++entry) {
		std::string_view const variable{*entry};
		bool const replaced = std::any_of(extra_environment.begin(), extra_environment.end(), [&](const std::string &extra) {
			auto const name = extra.substr(0, extra.find('=') + 1);
			return variable.substr(0, name.size()) == name;
		});
		if (!replaced)
			envp.push_back(*entry);
	}
	for (auto const &extra : extra_environment)
		envp.push_back(const_cast<char *>(extra.c_str()));
	envp.push_back(nullptr);

	int out_pipe[2];
	int err_pipe[2];
	if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0)
		throw std::runtime_error("pipe failed");

	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
	posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
	posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);

	std::vector<char *> argv;
	argv.push_back(const_cast<char *>(path.c_str()));
	for (auto const &arg : args)
		argv.push_back(const_cast<char *>(arg.c_str()));
	argv.push_back(nullptr);

	pid_t pid = -1;
	int const spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
	posix_spawn_file_actions_destroy(&actions);
	::close(out_pipe[1]);
	::close(err_pipe[1]);
	if (spawned != 0) {
		::close(out_pipe[0]);
		::close(err_pipe[0]);
		throw std::runtime_error("spawn failed: " + path);
	}

	program_result result;
	auto const deadline = std::chrono::steady_clock::now() + limit;
	pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
	std::string *sinks[2] = {&result.out, &result.err};
	int open_fds = 2;
	while (open_fds > 0) {
		auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
		if (left.count() <= 0) {
			result.timed_out = true;
			::kill(pid, SIGKILL);
			break;
		}
		int const ready = ::poll(fds, 2, static_cast<int>(left.count()));
		if (ready < 0 && errno == EINTR)
			continue;
		for (int i = 0; i < 2; ++i) {
			if (fds[i].fd < 0 || fds[i].revents == 0)
				continue;
			char buffer[4096];
			ssize_t const n = ::read(fds[i].fd, buffer, sizeof(buffer));
			if (n > 0) {
				sinks[i]->append(buffer, static_cast<size_t>(n));
			} else if (n == 0 || errno != EINTR) {
				::close(fds[i].fd);
				fds[i].fd = -1;
				--open_fds;
			}
		}
	}
	for (auto &fd : fds) {
		if (fd.fd >= 0)
			::close(fd.fd);
	}
	int status = 0;
	while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	return result;
}

} // namespace kova::test
