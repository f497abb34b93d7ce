// Unit tests for src/impl/shell_process and shell_process_posix.
#include "impl/shell_process.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

namespace {

using kova::bench::utility::make_process;
using kova::bench::utility::run_to_completion;
using kova::bench::utility::shell_process;
using namespace std::chrono_literals;

std::vector<std::string> stdout_lines(shell_process &process)
{
	std::vector<std::string> lines;
	for (auto line = process.get_line_stdout(); line.has_value(); line = process.get_line_stdout())
		lines.push_back(*line);
	return lines;
}

std::unique_ptr<shell_process> shell(const std::string &script)
{
	return make_process("/bin/sh", {"-c", script});
}

// The first line the child prints, waiting for it up to a few seconds.
std::string wait_for_line(shell_process &process)
{
	auto const deadline = std::chrono::steady_clock::now() + 5s;
	while (std::chrono::steady_clock::now() < deadline) {
		process.collect_output(100ms);
		if (auto line = process.get_line_stdout(); line.has_value())
			return *line;
	}
	ADD_FAILURE() << "no line from the child";
	return {};
}

TEST(shell_process, missing_program_reports_execution_failure)
{
	auto process = make_process("/nonexistent/kova_tool", {"--flag"});
	ASSERT_TRUE(run_to_completion(*process));
	EXPECT_TRUE(process->execution_failed());
	EXPECT_FALSE(process->is_running());
	auto const line = process->get_line_stderr();
	ASSERT_TRUE(line.has_value());
	EXPECT_EQ(*line, "Child failed with status code: 2");
	EXPECT_FALSE(process->get_line_stdout().has_value());
}

TEST(shell_process, exit_status_sets_the_failure_flag)
{
	auto ok = shell("exit 0");
	ASSERT_TRUE(run_to_completion(*ok));
	EXPECT_FALSE(ok->execution_failed());

	auto failing = shell("echo before; exit 1");
	ASSERT_TRUE(run_to_completion(*failing));
	EXPECT_TRUE(failing->execution_failed());
	EXPECT_EQ(stdout_lines(*failing), std::vector<std::string>{"before"});
}

TEST(shell_process, large_output_comes_back_byte_exact)
{
	std::string content(300 * 1024, '\0');
	std::mt19937 generator{42};
	for (char &c : content)
		c = static_cast<char>(generator() & 0xff);
	content.back() = 'x'; // the final line has no newline

	auto const path = std::filesystem::temp_directory_path() / ("kova_shell_process_" + std::to_string(::getpid()));
	{
		std::ofstream file{path, std::ios::binary};
		file.write(content.data(), static_cast<std::streamsize>(content.size()));
	}
	auto process = make_process("/bin/cat", {path.string()});
	ASSERT_TRUE(run_to_completion(*process));
	std::filesystem::remove(path);
	EXPECT_FALSE(process->execution_failed());

	std::string joined;
	auto const lines = stdout_lines(*process);
	for (size_t i = 0; i < lines.size(); ++i)
		joined += (i == 0 ? "" : "\n") + lines[i];
	EXPECT_EQ(joined.size(), content.size());
	EXPECT_TRUE(joined == content);
}

TEST(shell_process, output_beyond_the_cap_is_dropped_without_blocking_the_child)
{
	auto process = shell("head -c 6000000 /dev/zero | tr '\\0' a");
	ASSERT_TRUE(run_to_completion(*process));
	EXPECT_FALSE(process->execution_failed());
	auto const line = process->get_line_stdout();
	ASSERT_TRUE(line.has_value());
	EXPECT_EQ(line->size(), 4u * 1024 * 1024);
	EXPECT_FALSE(process->get_line_stdout().has_value());
}

TEST(shell_process, line_splitting)
{
	struct line_case {
		const char *name;
		const char *script;
		std::vector<std::string> lines;
	};
	const line_case cases[] = {
		{"crlf keeps the carriage return", "printf 'a\\r\\nb\\r\\n'", {"a\r", "b\r"}},
		{"unterminated last line", "printf 'one\\ntwo'", {"one", "two"}},
		{"empty lines", "printf '\\n\\nz\\n'", {"", "", "z"}},
		{"no output", "true", {}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		auto process = shell(c.script);
		ASSERT_TRUE(run_to_completion(*process));
		EXPECT_EQ(stdout_lines(*process), c.lines);
	}
}

TEST(shell_process, partial_line_is_held_back_while_the_child_writes)
{
	auto process = shell("printf 'first\\npartial'; sleep 1; printf ' rest'");
	ASSERT_TRUE(process->launch());
	EXPECT_EQ(wait_for_line(*process), "first");
	EXPECT_FALSE(process->get_line_stdout().has_value());
	ASSERT_TRUE(process->join(shell_process::join_mode::blocking));
	EXPECT_EQ(process->get_line_stdout().value_or(""), "partial rest");
}

TEST(shell_process, non_blocking_join_on_a_running_child)
{
	auto process = make_process("/bin/sleep", {"5"});
	ASSERT_TRUE(process->launch());
	EXPECT_FALSE(process->join(shell_process::join_mode::non_blocking));
	EXPECT_TRUE(process->is_running());
	EXPECT_FALSE(process->execution_failed());
	process->abort();
	EXPECT_FALSE(process->is_running());
}

TEST(shell_process, is_running_until_a_join_sees_the_end)
{
	auto process = make_process("/bin/true", {});
	ASSERT_TRUE(process->launch());
	std::this_thread::sleep_for(200ms);
	EXPECT_TRUE(process->is_running());
	EXPECT_TRUE(process->join(shell_process::join_mode::blocking));
	EXPECT_FALSE(process->is_running());
	EXPECT_TRUE(process->join(shell_process::join_mode::non_blocking));
}

TEST(shell_process, abort_ends_a_child_that_ends_on_sigterm)
{
	auto process = shell("echo $$; exec sleep 30");
	ASSERT_TRUE(process->launch());
	pid_t const pid = std::stoi(wait_for_line(*process));

	testing::internal::CaptureStdout();
	process->abort();
	std::string const printed = testing::internal::GetCapturedStdout();
	EXPECT_NE(printed.find("terminated with signal: 15"), std::string::npos) << printed;
	EXPECT_NE(printed.find("\tChild exited\n"), std::string::npos) << printed;
	EXPECT_FALSE(process->is_running());
	EXPECT_TRUE(process->execution_failed());
	EXPECT_EQ(::kill(pid, 0), -1);
	EXPECT_EQ(errno, ESRCH);
}

TEST(shell_process, abort_kills_and_reaps_a_child_that_ignores_sigterm)
{
	auto process = shell("trap '' TERM; echo $$; exec sleep 30");
	ASSERT_TRUE(process->launch());
	pid_t const pid = std::stoi(wait_for_line(*process));

	auto const start = std::chrono::steady_clock::now();
	process->abort();
	EXPECT_LT(std::chrono::steady_clock::now() - start, 7s);
	EXPECT_FALSE(process->is_running());
	EXPECT_TRUE(process->execution_failed());
	// Reaped: not even a zombie is left.
	EXPECT_EQ(::kill(pid, 0), -1);
	EXPECT_EQ(errno, ESRCH);
}

TEST(shell_process, run_to_completion_aborts_at_its_time_limit)
{
	auto process = shell("echo started; exec sleep 30");
	auto const start = std::chrono::steady_clock::now();
	EXPECT_FALSE(run_to_completion(*process, 500ms));
	EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
	EXPECT_FALSE(process->is_running());
	EXPECT_EQ(process->get_line_stdout().value_or(""), "started");
}

// Gone: no such process, or a zombie left for its new parent to reap.
bool process_gone(pid_t pid)
{
	std::ifstream stat{"/proc/" + std::to_string(pid) + "/stat"};
	std::string text;
	if (!std::getline(stat, text))
		return true;
	auto const close = text.rfind(')');
	return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

bool gone_within(pid_t pid, std::chrono::seconds limit)
{
	auto const deadline = std::chrono::steady_clock::now() + limit;
	while (!process_gone(pid)) {
		if (std::chrono::steady_clock::now() > deadline)
			return false;
		std::this_thread::sleep_for(10ms);
	}
	return true;
}

TEST(shell_process, abort_of_a_child_with_its_own_group_ends_the_programs_it_started)
{
	for (auto const *script : {"/bin/sleep 30 & echo $!; wait", "trap '' TERM; /bin/sleep 30 & echo $!; wait"}) {
		SCOPED_TRACE(script);
		auto process = make_process("/bin/sh", {"-c", script}, kova::bench::utility::process_group::own);
		ASSERT_TRUE(process->launch());
		pid_t const grandchild = std::stoi(wait_for_line(*process));
		EXPECT_NE(::getpgid(grandchild), ::getpgid(0)) << "the child leads a group of its own";
		testing::internal::CaptureStdout();
		process->abort();
		testing::internal::GetCapturedStdout();
		EXPECT_FALSE(process->is_running());
		EXPECT_TRUE(gone_within(grandchild, 5s)) << "the child's own child lives on";
		if (!process_gone(grandchild))
			::kill(grandchild, SIGKILL);
	}
}

TEST(shell_process, child_inherits_only_standard_descriptors)
{
	// Descriptors the parent opened without close-on-exec must not leak.
	int const leaked = ::open("/dev/null", O_RDONLY);
	ASSERT_GE(leaked, 0);
	int leaked_pipe[2];
	ASSERT_EQ(::pipe(leaked_pipe), 0);

	auto process = shell("echo $$; exec sleep 5");
	ASSERT_TRUE(process->launch());
	std::string const pid = wait_for_line(*process);

	// The dynamic loader of the program opens files for a moment while it
	// starts; an inherited descriptor stays.
	std::set<std::string> const standard{"0", "1", "2"};
	std::set<std::string> fds;
	for (int attempt = 0; attempt < 100; ++attempt) {
		fds.clear();
		for (const auto &entry : std::filesystem::directory_iterator{"/proc/" + pid + "/fd"})
			fds.insert(entry.path().filename().string());
		if (fds == standard)
			break;
		std::this_thread::sleep_for(20ms);
	}
	EXPECT_EQ(fds, standard);

	process->abort();
	::close(leaked);
	::close(leaked_pipe[0]);
	::close(leaked_pipe[1]);
}

TEST(shell_process, arguments_reach_the_program_unchanged)
{
	auto process = make_process("/usr/bin/printf", {"%s|", "a b", "$HOME", "'q'", ""});
	ASSERT_TRUE(run_to_completion(*process));
	EXPECT_EQ(process->get_line_stdout().value_or(""), "a b|$HOME|'q'||");
}

} // namespace
