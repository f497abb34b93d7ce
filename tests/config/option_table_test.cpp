// Tests for the option table, its registration order and the registration layer.
#include "impl/configuration_parser.hpp"
#include "kova_exception.hpp"
#include "utility/arg_parser.hpp"
#include "support/kova_throws.hpp"

#include <kova/argp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace kova::bench {
namespace {

using impl::option_table;

// The help texts as written down for users: "--- <long name>" and then the text.
std::vector<std::pair<std::string, std::string>> golden_help_texts()
{
	std::ifstream file{KOVA_TEST_SOURCE_DIR "/config/data/help_texts.txt"};
	std::vector<std::pair<std::string, std::string>> texts;
	std::string line;
	while (std::getline(file, line)) {
		if (line.rfind("--- ", 0) == 0) {
			texts.emplace_back(line.substr(4), "");
		} else if (!texts.empty()) {
			std::string &text = texts.back().second;
			text += (text.empty() ? "" : "\n") + line;
		}
	}
	return texts;
}

TEST(option_table, help_texts_match_the_golden_file_in_table_order)
{
	auto const golden = golden_help_texts();
	ASSERT_EQ(golden.size(), option_table.size());
	for (std::size_t i = 0; i < option_table.size(); ++i) {
		SCOPED_TRACE(golden[i].first);
		EXPECT_EQ(option_table[i].long_name, golden[i].first);
		EXPECT_EQ(option_table[i].description, golden[i].second);
	}
}

TEST(option_table, rows_are_consistent)
{
	std::set<uint64_t> ids;
	std::set<std::string> names;
	std::set<char> short_names;
	std::vector<std::string> sweepable;
	std::vector<std::string> repeatable;
	for (const auto &row : option_table) {
		SCOPED_TRACE(row.long_name);
		EXPECT_TRUE(ids.insert(row.id).second);
		EXPECT_TRUE(names.insert(row.long_name).second);
		if (row.short_name != nullptr) {
			EXPECT_EQ(std::string{row.short_name}.size(), 1u);
			EXPECT_TRUE(short_names.insert(row.short_name[0]).second);
		}
		EXPECT_EQ(row.owner, &utility::configuration_options_group);
		EXPECT_EQ(row.mandatory, 0);
		if (row.sweepable != 0)
			sweepable.emplace_back(row.long_name);
		if (row.multiple != 0)
			repeatable.emplace_back(row.long_name);
	}
	EXPECT_EQ(sweepable, (std::vector<std::string>{"core-count", "threads-per-core", "uniform-job-size", "task-pool-size",
						       "data-provider-job-count", "gather-value", "scatter-value", "mtu-size",
						       "send-queue-size", "receive-queue-size"}));
	EXPECT_EQ(repeatable, (std::vector<std::string>{"pipeline-steps", "attribute", "mode", "sweep"}));
	EXPECT_EQ(short_names, (std::set<char>{'c', 't', 'a', 'I', 'i', 'o', 's', 'J', 'b', 'A', 'R', 'G'}));
	EXPECT_EQ(utility::configuration_options_group.id, 42u);
	EXPECT_STREQ(utility::configuration_options_group.name, "configuration");
}

TEST(option_table, registration_order)
{
	std::vector<std::string> order;
	for (const auto &row : impl::options_in_registration_order())
		order.emplace_back(row.long_name);
	EXPECT_EQ(order,
		  (std::vector<std::string>{
			  "attribute", "device", "run-limit-bytes", "batch-mode", "batch-size", "core-mask",
			  "companion-connection-string", "companion-core-list", "companion-core-mask", "core-count",
			  "core-list", "csv-append-mode", "csv-output-file", "csv-separate-dynamic-values", "csv-stats",
			  "data-provider-input-file", "data-provider-job-count", "display-poll-result-ratio",
			  "enable-environment-information", "gpu", "gather-value", "data-provider", "input-cwd",
			  "run-limit-jobs", "job-output-buffer-size", "latency-bucket-range", "mode", "mtu-size", "output-cwd",
			  "pipeline-steps", "query", "representor", "receive-queue-size", "record-cpu-usage",
			  "rt-stats-interval", "run-limit-seconds", "scatter-value", "send-queue-size", "sweep",
			  "threads-per-core", "task-pool-size", "uniform-job-size", "use-blocking-mode",
			  "use-remote-input-buffers", "use-remote-output-buffers", "warm-up-jobs"}));
}

TEST(option_table, the_order_compares_short_names_then_long_names)
{
	auto const row = [](const char *short_name, const char *long_name) {
		return utility::configuration_property{0, long_name, nullptr, utility::cfg_value_type::string, short_name,
						       "", 0, 0, 0};
	};
	struct test_case {
		utility::configuration_property a;
		utility::configuration_property b;
		bool a_first;
		bool b_first;
	};
	std::vector<test_case> const cases = {
		{row("a", "attribute"), row("A", "device"), false, false}, // same letter: equivalent
		{row("b", "run-limit-bytes"), row(nullptr, "batch-mode"), true, false},
		{row(nullptr, "batch-mode"), row("c", "core-mask"), true, false},
		{row(nullptr, "core-list"), row("c", "core-mask"), false, true},
		{row(nullptr, "batch-mode"), row(nullptr, "batch-size"), true, false},
		{row(nullptr, "csv-stats"), row(nullptr, "csv-stats-x"), true, false}, // the shorter goes first
		{row(nullptr, "abC"), row(nullptr, "abd"), true, false},               // 'c' < 'd' lower-cased
		{row(nullptr, "aBc"), row(nullptr, "abd"), false, false},              // first difference only
		{row(nullptr, "same"), row(nullptr, "same"), false, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string{c.a.long_name} + " / " + c.b.long_name);
		EXPECT_EQ(impl::alpha_by_name_short_then_long(c.a, c.b), c.a_first);
		EXPECT_EQ(impl::alpha_by_name_short_then_long(c.b, c.a), c.b_first);
	}
}

kova_error ignore(void *, void *)
{
	return KOVA_SUCCESS;
}

class registration : public ::testing::Test {
protected:
	void SetUp() override { ASSERT_EQ(kova_argp_init(nullptr, nullptr), KOVA_SUCCESS); }
	void TearDown() override { kova_argp_destroy(); }
};

TEST_F(registration, refusals_name_the_option)
{
	using utility::details::register_kova_argp_arg;
	register_kova_argp_arg(KOVA_ARGP_TYPE_INT, "s", "size", "", ignore, false, false);
	struct test_case {
		const char *short_name;
		const char *long_name;
		std::string message;
	};
	std::vector<test_case> const cases = {
		{"s", "other", "Unable to register arg parser parameter: -s aka --other reason: Resource already exists"},
		{nullptr, "size", "Unable to register arg parser parameter: --size reason: Resource already exists"},
		{"s", nullptr, "Unable to register arg parser parameter: -s reason: Resource already exists"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.message);
		EXPECT_KOVA_THROW(
			register_kova_argp_arg(KOVA_ARGP_TYPE_INT, c.short_name, c.long_name, "", ignore, false, false),
			KOVA_ERROR_ALREADY_EXIST, c.message);
	}
	EXPECT_KOVA_THROW(register_kova_argp_arg(KOVA_ARGP_TYPE_INT, nullptr, nullptr, "", ignore, false, false),
			  KOVA_ERROR_INVALID_VALUE, "Tried to register arg parser parameter with no name");
}

TEST_F(registration, the_optional_overload_registers_mandatory_and_repeatable_options)
{
	struct seen {
		std::vector<std::string> values;
	} record;
	kova_argp_destroy();
	ASSERT_EQ(kova_argp_init(nullptr, &record), KOVA_SUCCESS);
	auto *const add = +[](void *value, void *config) -> kova_error {
		static_cast<seen *>(config)->values.emplace_back(static_cast<const char *>(value));
		return KOVA_SUCCESS;
	};
	utility::details::register_kova_argp_arg(KOVA_ARGP_TYPE_STRING, kova::optional<const char *>{"m"},
						 kova::optional<const char *>{"method"}, "", add,
						 utility::field_is::mandatory, false);
	utility::details::register_kova_argp_arg(KOVA_ARGP_TYPE_STRING, kova::optional<const char *>{},
						 kova::optional<const char *>{"candidate"}, "", add,
						 utility::field_is::optional, true);
	std::string a0 = "prog", a1 = "--candidate", a2 = "x", a3 = "--candidate", a4 = "y";
	char *without_method[] = {a0.data(), a1.data(), a2.data(), nullptr};
	::testing::internal::CaptureStderr();
	EXPECT_NE(kova_argp_start(3, without_method), KOVA_SUCCESS);
	::testing::internal::GetCapturedStderr();
	std::string a5 = "-m", a6 = "main";
	char *full[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), a5.data(), a6.data(), nullptr};
	EXPECT_EQ(kova_argp_start(7, full), KOVA_SUCCESS);
	EXPECT_EQ(record.values, (std::vector<std::string>{"x", "y", "main"}));
}

TEST(configuration_parser, owns_the_parser_state_for_its_scope)
{
	{
		utility::configuration_parser parser{nullptr};
		EXPECT_EQ(kova_argp_init(nullptr, nullptr), KOVA_ERROR_IN_USE);
		EXPECT_THROW(utility::configuration_parser{nullptr}, kova::exception);
		EXPECT_THROW(parser.register_version_callback(nullptr), kova::exception);
	}
	EXPECT_EQ(kova_argp_destroy(), KOVA_ERROR_BAD_STATE);
}

TEST(print_kova_bench_version_death_test, prints_both_versions_and_exits_0)
{
	EXPECT_EXIT(
		{
			dup2(STDERR_FILENO, STDOUT_FILENO);
			impl::print_kova_bench_version(nullptr, nullptr);
		},
		::testing::ExitedWithCode(0),
		"^KOVA SDK     Version \\(Compilation\\): 2\\.9\\.0001\nKOVA Runtime Version \\(Runtime\\):     2\\.9\\.0001\n$");
}

} // namespace
} // namespace kova::bench
