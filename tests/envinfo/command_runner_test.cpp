// Unit tests for src/utility/command_runner.
#include "utility/command_runner.hpp"

#include "fake_machine.hpp"
#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <unistd.h>

namespace {

namespace detail = kova::bench::utility::detail;
using namespace std::chrono_literals;

TEST(command_runner, output_lines_each_end_with_a_newline)
{
	kova::test::fake_machine machine;
	machine.install({"tool"});
	struct output_case {
		const char *name;
		std::string printed;
		kova::optional<std::string> expected;
	};
	const output_case cases[] = {
		{"two lines", "one\ntwo\n", std::string{"one\ntwo\n"}},
		{"unterminated last line", "one\ntwo", std::string{"one\ntwo\n"}},
		{"carriage returns stay", "a\r\n", std::string{"a\r\n"}},
		{"nothing", "", {}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		machine.output("tool_-x", c.printed);
		auto const output = detail::run_command("tool", {"-x"});
		ASSERT_EQ(output.has_value(), c.expected.has_value());
		if (output.has_value()) {
			EXPECT_EQ(*output, *c.expected);
		}
	}
}

TEST(command_runner, failing_tool_gives_nothing)
{
	kova::test::fake_machine machine;
	machine.install({"tool"});
	machine.output("tool", "printed before failing\n");
	machine.exit_status("tool", 1);
	EXPECT_FALSE(detail::run_command("tool", {}).has_value());
}

TEST(command_runner, missing_tool)
{
	kova::test::fake_machine machine;
	kova::exception const e = kova::test::thrown_by([&] { detail::run_command("no_such_tool", {}); });
	EXPECT_EQ(e.code(), static_cast<kova_error>(KOVA_ERROR_NOT_FOUND));
	EXPECT_STREQ(e.what(), "Cannot find command: no_such_tool");
	EXPECT_STREQ(e.function(), "run_command");
	EXPECT_FALSE(detail::run_available_command("no_such_tool", {}).has_value());
	EXPECT_FALSE(detail::run_command_regex_match("no_such_tool", {}, "(.*)").has_value());
}

TEST(command_runner, hanging_tool_is_aborted_at_its_time_limit)
{
	kova::test::fake_machine machine;
	machine.install({"tool"});
	machine.hang("tool");
	auto const start = std::chrono::steady_clock::now();
	EXPECT_FALSE(detail::run_command("tool", {}, 1s).has_value());
	EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(command_runner, a_tool_past_its_time_limit_is_ended_with_the_programs_it_started)
{
	char pattern[] = "/tmp/kova_y_spawner_XXXXXX";
	ASSERT_NE(::mkdtemp(pattern), nullptr);
	std::filesystem::path const dir{pattern};
	std::filesystem::path const pid_file = dir / "child.pid";
	{
		std::ofstream script{dir / "spawner"};
		script << "#!/bin/sh\n/bin/sleep 30 &\necho $! > " << pid_file.string() << "\nwait\n";
	}
	std::filesystem::permissions(dir / "spawner", std::filesystem::perms::owner_all);
	const char *path = std::getenv("PATH");
	std::string const saved_path = path != nullptr ? path : "";
	::setenv("PATH", dir.c_str(), 1);
	testing::internal::CaptureStdout();
	auto const output = detail::run_command("spawner", {}, 1s);
	testing::internal::GetCapturedStdout();
	::setenv("PATH", saved_path.c_str(), 1);
	EXPECT_FALSE(output.has_value());

	pid_t child = 0;
	std::ifstream{pid_file} >> child;
	std::filesystem::remove_all(dir);
	ASSERT_GT(child, 0);
	// Gone means no such process, or a zombie left for its new parent to reap.
	auto const gone = [child] {
		std::ifstream stat{"/proc/" + std::to_string(child) + "/stat"};
		std::string text;
		if (!std::getline(stat, text))
			return true;
		auto const close = text.rfind(')');
		return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
	};
	auto const deadline = std::chrono::steady_clock::now() + 5s;
	while (!gone() && std::chrono::steady_clock::now() < deadline)
		std::this_thread::sleep_for(10ms);
	EXPECT_TRUE(gone()) << "the tool's child lives on";
	if (!gone())
		::kill(child, SIGKILL);
}

TEST(command_runner, regex_match)
{
	std::string const lscpu = "CPU(s):     16\nSocket(s):       2\nNUMA node(s):  2\n";
	struct match_case {
		const char *name;
		std::string text;
		std::string expression;
		int group;
		kova::optional<std::string> expected;
	};
	const match_case cases[] = {
		{"value in the middle", lscpu, "Socket\\(s\\):\\s*(\\d*?)\\n", 1, std::string{"2"}},
		{"value on the last line", "Socket(s):  2\n", "Socket\\(s\\):\\s*(\\d*?)\\n", 1, std::string{"2"}},
		{"no match", lscpu, "Thread\\(s\\):\\s*(\\d*?)\\n", 1, {}},
		{"first matching line wins", "a=1\na=2\n", "a=(\\d)", 1, std::string{"1"}},
		{"text before the first colon", "KOVA_OFED-5.8-1.0.1:\n", "([^:\\n]*):?", 1, std::string{"KOVA_OFED-5.8-1.0.1"}},
		{"no colon at all", "plain\n", "([^:\\n]*):?", 1, std::string{"plain"}},
		{"group outside the match", "xb\n", "(a)?b", 1, std::string{""}},
		{"invalid expression", lscpu, "(", 1, {}},
		{"dot stops at the line end", "k: v\nw\n", "k: (.*)", 1, std::string{"v"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		auto const result = detail::regex_match(c.text, c.expression, c.group);
		ASSERT_EQ(result.has_value(), c.expected.has_value());
		if (result.has_value()) {
			EXPECT_EQ(*result, *c.expected);
		}
	}
}

TEST(command_runner, regex_match_survives_huge_text)
{
	// A line far longer than std::regex can recurse over is cut; text beyond
	// the limit is not looked at.
	std::string text(200000, 'a');
	text += " key: value\nearly: y\n";
	while (text.size() < detail::regex_text_limit)
		text += "filler line\n";
	text += "late: x\n";
	EXPECT_FALSE(detail::regex_match(text, "key: (.*)", 1).has_value());
	EXPECT_EQ(detail::regex_match(text, "([^:]*): ", 1).value_or(""), "early");
	EXPECT_FALSE(detail::regex_match(text, "late: (.*)", 1).has_value());
}

TEST(command_runner, insert_or_replace)
{
	detail::fact_map facts{{"emptied", "old"}, {"replaced", "old"}};
	detail::insert_or_replace(facts, "replaced", std::string{"new"});
	detail::insert_or_replace(facts, "emptied", {});
	detail::insert_or_replace(facts, "created", {});
	EXPECT_EQ(facts, (detail::fact_map{{"emptied", "N/A"}, {"replaced", "new"}, {"created", "N/A"}}));
}

} // namespace
