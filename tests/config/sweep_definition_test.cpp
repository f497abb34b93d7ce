// Unit tests for src/utility/sweep_definition.cpp and get_cfg_value_type.
#include "kova_exception.hpp"
#include "utility/configuration_utils.hpp"
#include "utility/string_utils.hpp"
#include "utility/sweep_definition.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace kova::bench::utility {
namespace {

enum class kind { numbers, strings, sg };

std::vector<std::string> values_of(const std::vector<uint32_t> &numbers)
{
	std::vector<std::string> texts;
	for (uint32_t n : numbers)
		texts.push_back(std::to_string(n));
	return texts;
}

TEST(sweep_definition_from_string, lists_and_ranges)
{
	struct test_case {
		std::string text;
		kind store;
		std::vector<std::string> values;
		sg_split_type split = sg_split_type::count;
	};
	std::vector<test_case> const cases = {
		{"core-count,1,8,*2", kind::numbers, values_of({1, 2, 4, 8})},
		{"core-count,1,9,*2", kind::numbers, values_of({1, 2, 4, 8})},
		{"task-pool-size,10,40,+10", kind::numbers, values_of({10, 20, 30, 40})},
		{"task-pool-size, 10 , 35 , +10 ", kind::numbers, values_of({10, 20, 30})},
		{"uniform-job-size,1KiB,4KiB,*2", kind::numbers, values_of({1024, 2048, 4096})},
		{"uniform-job-size,64,1KB", kind::numbers, values_of({64, 1000})},
		{"uniform-job-size,3KiB,1Kb,9b", kind::numbers, values_of({3072, 125, 1})},
		{"core-count,0x10,020", kind::numbers, values_of({16, 16})},
		{"core-count,4294967295,0xFFFFFFFF", kind::numbers, values_of({4294967295u, 4294967295u})},
		{"log_num_qps,1,2", kind::numbers, values_of({1, 2})},
		{"zoption.mmo.log_qp_depth,3,4", kind::numbers, values_of({3, 4})},
		{"transport-type,4,6,+1", kind::numbers, values_of({4, 5, 6})},
		{"gather-value,4,8", kind::sg, values_of({4, 8}), sg_split_type::count},
		{"scatter-value,1KiB,4KiB,*2", kind::sg, values_of({1024, 2048, 4096}), sg_split_type::bytes_per_fragment},
		{"scatter-value,1,3,+1", kind::sg, values_of({1, 2, 3}), sg_split_type::count},
		{"mtu-size,1KB,4KB", kind::strings, {"1KB", "4KB"}},
		{"transport-type,rc,ud", kind::strings, {"rc", "ud"}},
		{"kova_rdma.transport-type,rc,ud,-x", kind::strings, {"rc", "ud", "-x"}},
		{"unknown,1,2,+1", kind::numbers, values_of({1, 2})},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		sweep_definition const sweep = sweep_definition_from_string(c.text);
		EXPECT_EQ(sweep.get_property_name(), split(c.text, ",").front());
		EXPECT_EQ(sweep.get_values(), c.values);
		ASSERT_EQ(sweep.get_value_count(), c.values.size());
		EXPECT_EQ(sweep.get_numeric_view() != nullptr, c.store == kind::numbers);
		EXPECT_EQ(sweep.get_string_view() != nullptr, c.store == kind::strings);
		EXPECT_EQ(sweep.get_sg_config_view() != nullptr, c.store == kind::sg);
		for (uint32_t i = 0; i < c.values.size(); ++i) {
			if (c.store == kind::numbers)
				EXPECT_EQ(std::to_string(sweep.get_numeric_view()->get_nth_value(i)), c.values[i]);
			else if (c.store == kind::strings)
				EXPECT_EQ(sweep.get_string_view()->get_nth_value(i), c.values[i]);
			else
				EXPECT_EQ(sweep.get_sg_config_view()->get_nth_value(i),
					  (sg_configuration{static_cast<uint32_t>(std::stoul(c.values[i])), c.split}));
		}
	}
}

TEST(sweep_definition_from_string, refuses_bad_definitions)
{
	struct test_case {
		std::string text;
		std::string message;
	};
	std::string const bust = "Maximum value for value range bust be greater than minimum value";
	std::vector<test_case> const cases = {
		{"core-count,8", "Invalid sweep definition, expect at least 3 tokens"},
		{"", "Invalid sweep definition, expect at least 3 tokens"},
		{"core-count,,8", "Invalid sweep definition, no token should be empty"},
		{"core-count,1,8,", "Invalid sweep definition, no token should be empty"},
		{"core-count,4,4,+1", bust},
		{"core-count,5,1,+1", bust},
		{"gather-value,5,1,+1", bust},
		{"core-count,1,4,-1", "Invalid value for sweep core-count. Value may not be negative"},
		{"core-count,-1,4,+1", "Invalid value for sweep core-count. Value may not be negative"},
		{"core-count,1,4,+-1", "Invalid value for sweep core-count. Value may not be negative"},
		{"core-count,x,4,+1", "Unable to convert value\"x\" to a number"},
		{"core-count,1,2,3KiX", "Unknown byte unit: \"KiX\""},
		{"core-count,99999999999999999999,1", "Unable to convert value\"99999999999999999999\" to a number"},
		{"core-count,1,4294967296", "Invalid value for sweep core-count. Value is too large: \"4294967296\""},
		{"core-count,1,20000000000GiB", "Invalid value for sweep core-count. Value is too large: \"20000000000GiB\""},
		{"core-count,1,2,+0", "Invalid sweep increment: +0"},
		{"core-count,1,2,+0x0", "Invalid sweep increment: +0x0"},
		{"core-count,1,2,*1", "Invalid sweep increment: *1"},
		{"core-count,0,2,*3", "Invalid sweep start value: 0, a range of *3 cannot start from 0"},
		{"task-pool-size,0,4,*2", "Invalid sweep start value: 0, a range of *2 cannot start from 0"},
		{"core-count,0,2,*1", "Invalid sweep increment: *1"},
		{"core-count,0,4294967295,+1", "Too many sweep values: 4294967296 (at most 2147483647)"},
		{"gather-value,0,4", "Gather fragments value must not be zero: 0"},
		{"scatter-value,0KiB,4KiB,*2", "Gather fragments value must not be zero: 0KiB"},
		{"nothing,1,2", "Invalid property name : \"nothing\""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		EXPECT_KOVA_THROW(sweep_definition_from_string(c.text), KOVA_ERROR_INVALID_VALUE, c.message);
	}
}

TEST(sweep_definition, range_constructors_refuse_ranges_without_end)
{
	using inc = sweep_definition::increment_type;
	struct test_case {
		uint32_t start, end;
		inc increment;
		uint32_t step;
		std::string message;
	};
	std::vector<test_case> const cases = {
		{1, 2, inc::undefined, 1, "Undefined increment type"},
		{1, 9, inc::additive, 0, "Invalid sweep increment: +0"},
		{0, 9, inc::multiplicative, 2, "Invalid sweep start value: 0, a range of *2 cannot start from 0"},
		{0, 9, inc::multiplicative, 1, "Invalid sweep increment: *1"},
		{2, 9, inc::multiplicative, 1, "Invalid sweep increment: *1"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.message);
		kova::exception const number_error = kova::test::thrown_by(
			[&] { sweep_definition{"core-count", c.start, c.end, c.increment, c.step}; });
		EXPECT_EQ(std::string{number_error.what()}, c.message);
		EXPECT_STREQ(number_error.function(), "number_set_value_store");
		kova::exception const sg_error = kova::test::thrown_by([&] {
			sweep_definition{"gather-value", c.start, c.end, c.increment, c.step, sg_split_type::count};
		});
		EXPECT_EQ(std::string{sg_error.what()}, c.message);
		EXPECT_STREQ(sg_error.function(), "sg_config_set_value_store");
	}
	sweep_definition const wide{"core-count", 4294967294u, 4294967295u, inc::additive, 1};
	EXPECT_EQ(wide.get_values(), (std::vector<std::string>{"4294967294", "4294967295"}));
}

// A range's values are counted and computed, never stored: under an address-space cap far below
// the 8 GB its values would take, a two-billion-value range is made and read at once. Exits 0 when
// the values are right.
[[noreturn]] void read_long_ranges_under_a_memory_cap()
{
	rlimit const cap{1u << 30, 1u << 30};
	if (::setrlimit(RLIMIT_AS, &cap) != 0)
		std::_Exit(2);
	sweep_definition const sizes = sweep_definition_from_string("uniform-job-size,1,2000000000,+1");
	auto const numbers = sizes.get_numeric_view();
	sweep_definition const gathers = sweep_definition_from_string("gather-value,3,4000000000,+2");
	auto const splits = gathers.get_sg_config_view();
	bool const right = sizes.get_value_count() == 2000000000u && numbers->get_nth_value(0) == 1 &&
			   numbers->get_nth_value(1999999999u) == 2000000000u && gathers.get_value_count() == 1999999999u &&
			   splits->get_nth_value(1999999998u).value == 3999999999u && splits->get_nth_value(1).value == 5;
	std::_Exit(right ? 0 : 1);
}

TEST(sweep_definition, a_long_range_takes_no_memory_for_its_values)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	EXPECT_EXIT(read_long_ranges_under_a_memory_cap(), ::testing::ExitedWithCode(0), "");
}

TEST(sweep_definition, ranges_read_by_index_give_the_expanded_values)
{
	struct test_case {
		std::string text;
		std::vector<std::string> values;
	};
	std::vector<test_case> const cases = {
		{"core-count,1,9,*2", {"1", "2", "4", "8"}},
		{"core-count,3,3000000000,*40000", {"3", "120000"}},
		{"task-pool-size,10,40,+10", {"10", "20", "30", "40"}},
		{"core-count,4294967290,4294967295,+4", {"4294967290", "4294967294"}},
		{"gather-value,1KiB,4KiB,*2", {"1024", "2048", "4096"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		sweep_definition const sweep = sweep_definition_from_string(c.text);
		EXPECT_EQ(sweep.get_values(), c.values);
		ASSERT_EQ(sweep.get_value_count(), c.values.size());
		for (uint32_t i = 0; i != c.values.size(); ++i) {
			uint32_t const value = sweep.get_numeric_view() ? sweep.get_numeric_view()->get_nth_value(i)
									: sweep.get_sg_config_view()->get_nth_value(i).value;
			EXPECT_EQ(std::to_string(value), c.values[i]);
		}
	}
}

TEST(sweep_definition, copies_share_the_store)
{
	sweep_definition const original{"core-count", std::vector<uint32_t>{3, 5}};
	sweep_definition const copy = original; // NOLINT(performance-unnecessary-copy-initialization)
	EXPECT_EQ(copy.get_numeric_view().get(), original.get_numeric_view().get());
	EXPECT_EQ(copy.get_numeric_view()->get_nth_value(1), 5u);
}

TEST(get_cfg_value_type, options_then_step_attributes)
{
	struct test_case {
		std::string name;
		cfg_value_type type;
	};
	std::vector<test_case> const cases = {
		{"core-count", cfg_value_type::integer},     {"gather-value", cfg_value_type::string},
		{"use-blocking-mode", cfg_value_type::boolean}, {"transport-type", cfg_value_type::string},
		{"log_num_qps", cfg_value_type::integer},    {"kova_rdma.transport-type", cfg_value_type::string},
		{"zoption.mmo.log_qp_depth", cfg_value_type::integer},
		{"has_block_checksum", cfg_value_type::boolean},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(get_cfg_value_type(c.name), c.type);
	}
	for (std::string const name : {"", "zoption.mmo", "kova_rdma", "Core-count", "kova_rdma.transport"}) {
		SCOPED_TRACE(name);
		kova::exception const error = kova::test::thrown_by([&] { get_cfg_value_type(name); });
		EXPECT_EQ(error.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_EQ(std::string{error.what()}, "Invalid property name : \"" + name + "\"");
		EXPECT_STREQ(error.function(), "get_cfg_value_type");
	}
}

} // namespace
} // namespace kova::bench::utility
