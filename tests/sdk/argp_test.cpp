// Tests for the stand-in argument parser (libkova_argp) through its C interface.
#include <kova/argp.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// What the callbacks saw, in order; handed to the parser as its config pointer.
struct recorder {
	std::vector<std::string> calls;
};

enum option_id { size_opt, name_opt, flag_opt, short_only_opt, fail_opt, throw_opt };

template <option_id Id>
kova_error record(void *value, void *config)
{
	auto &calls = static_cast<recorder *>(config)->calls;
	switch (Id) {
	case size_opt:
		calls.push_back("size=" + std::to_string(*static_cast<int *>(value)));
		break;
	case flag_opt:
		calls.push_back(std::string{"flag="} + (*static_cast<bool *>(value) ? "1" : "0"));
		break;
	case name_opt:
		calls.push_back(std::string{"name="} + static_cast<const char *>(value));
		break;
	case short_only_opt:
		calls.push_back(std::string{"x="} + static_cast<const char *>(value));
		break;
	case fail_opt: {
		std::string const text = static_cast<const char *>(value);
		calls.push_back("fail=" + text);
		return text == "bad" ? KOVA_ERROR_INVALID_VALUE : KOVA_SUCCESS;
	}
	case throw_opt:
		throw std::runtime_error{static_cast<const char *>(value)};
	}
	return KOVA_SUCCESS;
}

kova_error version_ok(void *value, void *config)
{
	static_cast<recorder *>(config)->calls.push_back(value == nullptr ? "version" : "version with value");
	return KOVA_SUCCESS;
}

kova_error version_fails(void *, void *)
{
	return KOVA_ERROR_NOT_SUPPORTED;
}

kova_error register_option(const char *short_name, const char *long_name, kova_argp_type type,
			   kova_argp_param_cb_t callback, bool multiple = false, bool mandatory = false)
{
	kova_argp_param *param = nullptr;
	kova_error const created = kova_argp_param_create(&param);
	if (created != KOVA_SUCCESS)
		return created;
	kova_argp_param_set_short_name(param, short_name);
	kova_argp_param_set_long_name(param, long_name);
	kova_argp_param_set_description(param, "Help of the option");
	kova_argp_param_set_callback(param, callback);
	kova_argp_param_set_type(param, type);
	if (multiple)
		kova_argp_param_set_multiplicity(param);
	if (mandatory)
		kova_argp_param_set_mandatory(param);
	kova_error const result = kova_argp_register_param(param);
	if (result != KOVA_SUCCESS)
		kova_argp_param_destroy(param);
	return result;
}

class argp : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(kova_argp_init("prog", &m_recorder), KOVA_SUCCESS);
		ASSERT_EQ(register_option("s", "size", KOVA_ARGP_TYPE_INT, record<size_opt>), KOVA_SUCCESS);
		ASSERT_EQ(register_option(nullptr, "name", KOVA_ARGP_TYPE_STRING, record<name_opt>, true), KOVA_SUCCESS);
		ASSERT_EQ(register_option("f", "flag", KOVA_ARGP_TYPE_BOOLEAN, record<flag_opt>), KOVA_SUCCESS);
		ASSERT_EQ(register_option("x", nullptr, KOVA_ARGP_TYPE_STRING, record<short_only_opt>), KOVA_SUCCESS);
		ASSERT_EQ(register_option(nullptr, "fail", KOVA_ARGP_TYPE_STRING, record<fail_opt>, true), KOVA_SUCCESS);
		ASSERT_EQ(register_option(nullptr, "throw", KOVA_ARGP_TYPE_STRING, record<throw_opt>), KOVA_SUCCESS);
	}

	void TearDown() override { kova_argp_destroy(); }

	kova_error start(std::vector<std::string> args)
	{
		args.insert(args.begin(), "prog");
		std::vector<char *> argv;
		for (auto &arg : args)
			argv.push_back(arg.data());
		argv.push_back(nullptr);
		return kova_argp_start(static_cast<int>(args.size()), argv.data());
	}

	recorder m_recorder;
};

TEST_F(argp, callbacks_run_in_command_line_order_with_converted_values)
{
	struct test_case {
		std::vector<std::string> args;
		std::vector<std::string> calls;
	};
	std::vector<test_case> const cases = {
		{{}, {}},
		{{"--size", "12", "--name", "a", "--name=b", "-f", "-xval"}, {"size=12", "name=a", "name=b", "flag=1", "x=val"}},
		{{"-x", "-1", "-s12"}, {"x=-1", "size=12"}},
		{{"-s", "0x1F"}, {"size=31"}},
		{{"--size=-5"}, {"size=-5"}},
		{{"--size", "2147483647"}, {"size=2147483647"}},
		{{"--size", "-2147483648"}, {"size=-2147483648"}},
		{{"--size", "010"}, {"size=10"}},
		{{"--flag=false"}, {"flag=0"}},
		{{"--flag=true"}, {"flag=1"}},
		{{"--name", ""}, {"name="}},
		{{"--name", "--size"}, {"name=--size"}},
		{{"--name", "-h"}, {"name=-h"}},
		{{"--"}, {}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(::testing::PrintToString(c.args));
		m_recorder.calls.clear();
		EXPECT_EQ(start(c.args), KOVA_SUCCESS);
		EXPECT_EQ(m_recorder.calls, c.calls);
	}
}

TEST_F(argp, bad_command_lines_fail_before_any_callback_with_one_line_naming_the_option)
{
	struct test_case {
		std::vector<std::string> args;
		std::string message;
	};
	std::vector<test_case> const cases = {
		{{"--name", "a", "--bogus"}, "prog: unrecognized option '--bogus'\n"},
		{{"-q"}, "prog: unrecognized option '-q'\n"},
		{{"-v"}, "prog: unrecognized option '-v'\n"},
		{{"--siz", "1"}, "prog: unrecognized option '--siz'\n"},
		{{"--size"}, "prog: option '--size' requires a value\n"},
		{{"--name", "a", "-x"}, "prog: option '-x' requires a value\n"},
		{{"--size", "12abc"}, "prog: invalid integer value '12abc' for option '--size'\n"},
		{{"--size", ""}, "prog: invalid integer value '' for option '--size'\n"},
		{{"--size", "0x"}, "prog: invalid integer value '0x' for option '--size'\n"},
		{{"--size", "2147483648"}, "prog: invalid integer value '2147483648' for option '--size'\n"},
		{{"--size", "-2147483649"}, "prog: invalid integer value '-2147483649' for option '--size'\n"},
		{{"--size", " 1"}, "prog: invalid integer value ' 1' for option '--size'\n"},
		{{"--size", "1", "--size", "2"}, "prog: option '--size' may be given only once\n"},
		{{"-f", "--flag"}, "prog: option '--flag' may be given only once\n"},
		{{"--flag=maybe"}, "prog: invalid boolean value 'maybe' for option '--flag'\n"},
		{{"-fx"}, "prog: option '--flag' takes no value\n"},
		{{"--name", "a", "positional"}, "prog: unexpected argument 'positional'\n"},
		{{"-"}, "prog: unexpected argument '-'\n"},
		{{"--", "after"}, "prog: unexpected argument 'after'\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(::testing::PrintToString(c.args));
		m_recorder.calls.clear();
		::testing::internal::CaptureStderr();
		EXPECT_EQ(start(c.args), KOVA_ERROR_INVALID_VALUE);
		EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.message);
		EXPECT_TRUE(m_recorder.calls.empty());
	}
}

TEST_F(argp, a_callback_error_stops_the_parse_and_is_returned)
{
	::testing::internal::CaptureStderr();
	EXPECT_EQ(start({"--fail", "ok", "--fail", "bad", "--name", "later"}), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(::testing::internal::GetCapturedStderr(), "prog: option '--fail' refused the value 'bad': Invalid input\n");
	EXPECT_EQ(m_recorder.calls, (std::vector<std::string>{"fail=ok", "fail=bad"}));
}

TEST_F(argp, an_exception_from_a_callback_passes_through_and_the_parser_can_be_destroyed)
{
	EXPECT_THROW(
		{
			try {
				start({"--name", "first", "--throw", "boom", "--size", "1"});
			} catch (const std::runtime_error &error) {
				EXPECT_STREQ(error.what(), "boom");
				throw;
			}
		},
		std::runtime_error);
	EXPECT_EQ(m_recorder.calls, (std::vector<std::string>{"name=first"}));
	EXPECT_EQ(kova_argp_destroy(), KOVA_SUCCESS);
	ASSERT_EQ(kova_argp_init(nullptr, &m_recorder), KOVA_SUCCESS);
	ASSERT_EQ(register_option("s", "size", KOVA_ARGP_TYPE_INT, record<size_opt>), KOVA_SUCCESS);
	m_recorder.calls.clear();
	EXPECT_EQ(start({"-s", "3"}), KOVA_SUCCESS);
	EXPECT_EQ(m_recorder.calls, (std::vector<std::string>{"size=3"}));
}

TEST_F(argp, a_missing_mandatory_option_is_refused)
{
	ASSERT_EQ(register_option("m", "method", KOVA_ARGP_TYPE_STRING, record<name_opt>, false, true), KOVA_SUCCESS);
	::testing::internal::CaptureStderr();
	EXPECT_EQ(start({"--size", "1"}), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(::testing::internal::GetCapturedStderr(), "prog: missing mandatory option '--method'\n");
	EXPECT_TRUE(m_recorder.calls.empty());
	EXPECT_EQ(start({"-m", "main"}), KOVA_SUCCESS);
	EXPECT_EQ(m_recorder.calls, (std::vector<std::string>{"name=main"}));
}

TEST_F(argp, registration_refuses_bad_and_duplicate_parameters)
{
	struct test_case {
		const char *label;
		const char *short_name;
		const char *long_name;
		kova_argp_type type;
		kova_argp_param_cb_t callback;
		kova_error expected;
	};
	auto *const cb = record<name_opt>;
	std::vector<test_case> const cases = {
		{"no name", nullptr, nullptr, KOVA_ARGP_TYPE_STRING, cb, KOVA_ERROR_INVALID_VALUE},
		{"no callback", nullptr, "other", KOVA_ARGP_TYPE_STRING, nullptr, KOVA_ERROR_INVALID_VALUE},
		{"no type", nullptr, "other", KOVA_ARGP_TYPE_UNSET, cb, KOVA_ERROR_INVALID_VALUE},
		{"long short name", "ab", nullptr, KOVA_ARGP_TYPE_STRING, cb, KOVA_ERROR_INVALID_VALUE},
		{"empty long name", nullptr, "", KOVA_ARGP_TYPE_STRING, cb, KOVA_ERROR_INVALID_VALUE},
		{"dash long name", nullptr, "-other", KOVA_ARGP_TYPE_STRING, cb, KOVA_ERROR_INVALID_VALUE},
		{"equals in long name", nullptr, "a=b", KOVA_ARGP_TYPE_STRING, cb, KOVA_ERROR_INVALID_VALUE},
		{"duplicate long name", nullptr, "size", KOVA_ARGP_TYPE_STRING, cb, KOVA_ERROR_ALREADY_EXIST},
		{"duplicate short name", "f", "other", KOVA_ARGP_TYPE_STRING, cb, KOVA_ERROR_ALREADY_EXIST},
		{"built-in help", "h", nullptr, KOVA_ARGP_TYPE_STRING, cb, KOVA_ERROR_ALREADY_EXIST},
		{"built-in version", nullptr, "version", KOVA_ARGP_TYPE_STRING, cb, KOVA_ERROR_ALREADY_EXIST},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		EXPECT_EQ(register_option(c.short_name, c.long_name, c.type, c.callback), c.expected);
	}
}

TEST(argp_lifecycle, one_parser_at_a_time_and_ownership_of_parameters)
{
	kova_argp_param *param = nullptr;
	ASSERT_EQ(kova_argp_param_create(&param), KOVA_SUCCESS);
	kova_argp_param_set_long_name(param, "size");
	kova_argp_param_set_callback(param, record<size_opt>);
	kova_argp_param_set_type(param, KOVA_ARGP_TYPE_INT);
	EXPECT_EQ(kova_argp_register_param(param), KOVA_ERROR_BAD_STATE) << "no parser yet";
	EXPECT_EQ(kova_argp_start(0, nullptr), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_argp_destroy(), KOVA_ERROR_BAD_STATE);

	recorder rec;
	ASSERT_EQ(kova_argp_init(nullptr, &rec), KOVA_SUCCESS);
	EXPECT_EQ(kova_argp_init(nullptr, &rec), KOVA_ERROR_IN_USE);
	ASSERT_EQ(kova_argp_register_param(param), KOVA_SUCCESS);
	EXPECT_EQ(kova_argp_register_param(param), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_argp_param_destroy(param), KOVA_ERROR_BAD_STATE) << "the parser owns it";
	EXPECT_EQ(kova_argp_param_destroy(nullptr), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_argp_param_create(nullptr), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_argp_destroy(), KOVA_SUCCESS);

	// The same names register again in a new parser.
	ASSERT_EQ(kova_argp_init(nullptr, &rec), KOVA_SUCCESS);
	EXPECT_EQ(register_option(nullptr, "size", KOVA_ARGP_TYPE_INT, record<size_opt>), KOVA_SUCCESS);
	EXPECT_EQ(kova_argp_register_version_callback(nullptr), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_argp_destroy(), KOVA_SUCCESS);
}

TEST(argp_builtins, program_name_defaults_to_the_base_name_of_argv0)
{
	recorder rec;
	ASSERT_EQ(kova_argp_init(nullptr, &rec), KOVA_SUCCESS);
	std::string arg0 = "/some/dir/tool";
	std::string arg1 = "--nope";
	char *argv[] = {arg0.data(), arg1.data(), nullptr};
	::testing::internal::CaptureStderr();
	EXPECT_EQ(kova_argp_start(2, argv), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(::testing::internal::GetCapturedStderr(), "tool: unrecognized option '--nope'\n");
	kova_argp_destroy();
}

// Runs the parser in a death-test child with standard output sent to standard error.
void start_with_stdout_on_stderr(kova_argp_param_cb_t version_callback, const char *arg)
{
	static recorder rec;
	dup2(STDERR_FILENO, STDOUT_FILENO);
	kova_argp_init("prog", &rec);
	if (version_callback != nullptr)
		kova_argp_register_version_callback(version_callback);
	register_option("s", "size", KOVA_ARGP_TYPE_INT, record<size_opt>);
	kova_argp_param *param = nullptr;
	kova_argp_param_create(&param);
	kova_argp_param_set_long_name(param, "a-rather-long-option-name-here");
	kova_argp_param_set_description(param, "First line\n                                    second line");
	kova_argp_param_set_callback(param, record<name_opt>);
	kova_argp_param_set_type(param, KOVA_ARGP_TYPE_STRING);
	kova_argp_param_set_mandatory(param);
	kova_argp_register_param(param);
	register_option(nullptr, "flag", KOVA_ARGP_TYPE_BOOLEAN, record<flag_opt>);
	std::string arg0 = "prog";
	std::string arg1 = arg;
	char *argv[] = {arg0.data(), arg1.data(), nullptr};
	kova_error const result = kova_argp_start(2, argv);
	std::fprintf(stderr, "start returned %u\n", result);
	std::fflush(stderr);
	std::_Exit(3);
}

TEST(argp_builtins_death_test, help_lists_every_option_and_exits_0)
{
	EXPECT_EXIT(start_with_stdout_on_stderr(version_ok, "--help"), ::testing::ExitedWithCode(0),
		    "^Usage: prog \\[OPTIONS\\]\n\nOptions:\n"
		    "  -h, --help                        Print this help and exit\n"
		    "  -v, --version                     Print the version and exit\n"
		    "  -s, --size <int>                  Help of the option\n"
		    "      --a-rather-long-option-name-here <string> \\(required\\)\n"
		    "                                    First line\n"
		    "                                    second line\n"
		    "      --flag                        Help of the option\n$");
	EXPECT_EXIT(start_with_stdout_on_stderr(nullptr, "-h"), ::testing::ExitedWithCode(0), "-s, --size <int>");
}

TEST(argp_builtins_death_test, version_calls_the_callback_and_exits_0_when_it_succeeds)
{
	EXPECT_EXIT(start_with_stdout_on_stderr(version_ok, "--version"), ::testing::ExitedWithCode(0), "");
	EXPECT_EXIT(start_with_stdout_on_stderr(version_ok, "-v"), ::testing::ExitedWithCode(0), "");
	EXPECT_EXIT(start_with_stdout_on_stderr(version_fails, "-v"), ::testing::ExitedWithCode(3), "start returned 4\n");
}

} // namespace
