// Tests for utility/cpu_core_set.
#include "utility/cpu_core_set.hpp"

#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace util = kova::bench::utility;
using cores = std::vector<uint16_t>;

TEST(unpack_core_mask, one_core_per_set_bit_ascending)
{
	cores all(64);
	for (uint16_t i = 0; i < 64; ++i)
		all[i] = i;
	struct {
		uint64_t mask;
		cores expected;
	} const cases[] = {
		{0x5, {0, 2}},
		{0, {}},
		{~uint64_t{0}, all},
		{uint64_t{1} << 63, {63}},
		{0x8000000000000001ull, {0, 63}},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.mask);
		EXPECT_EQ(util::unpack_core_mask(c.mask).cores, c.expected);
	}
}

TEST(parse_cpu_core_set_string, lists_and_ranges)
{
	struct {
		std::string text;
		cores expected;
	} const cases[] = {
		{"1-6,9,0xF", {1, 2, 3, 4, 5, 6, 9, 15}},
		{"3,1-2,1", {3, 1, 2}},
		{"0x10", {16}},
		{"010", {8}},
		{"0", {0}},
		{"7,7,7", {7}},
		{"2-4,3", {2, 3, 4}},
		{"4-4", {4}},
		{"0-2", {0, 1, 2}},
		{" 1 , 2 ", {1, 2}},
		{"", {}},
		{"65535", {65535}},
		{"65534-65535", {65534, 65535}},
		{"0x0-0x3", {0, 1, 2, 3}},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE("list \"" + c.text + "\"");
		EXPECT_EQ(util::parse_cpu_core_set_string(c.text).cores, c.expected);
	}
}

TEST(parse_cpu_core_set_string, refuses_malformed_items)
{
	struct {
		std::string text;
		std::string message;
	} const cases[] = {
		{"-3", "Core may not be negative"},
		{"abc", "Invalid number: \"abc\""},
		{"1-x", "Invalid range: \"1-x\""},
		{"6-1", "Invalid range: \"6-1\""},
		{"99999999999999999999", "Invalid number: \"99999999999999999999\""},
		{"1-99999999999999999999", "Invalid number: \"1-99999999999999999999\""},
		{"0x", "Invalid number: \"0x\""},
		{"0abc", "Invalid number: \"0abc\""},
		// Empty items and a lone "-" are not core 0.
		{"1,,2", "Invalid number: \"\""},
		{"1,", "Invalid number: \"\""},
		{",1", "Invalid number: \"\""},
		{"-", "Invalid number: \"-\""},
		{"1,-,2", "Invalid number: \"-\""},
		// Both ends of a range need digits, separated by '-'.
		{"1-", "Invalid range: \"1-\""},
		{"0-", "Invalid range: \"0-\""},
		{"1x5", "Invalid range: \"1x5\""},
		{"1-5-7", "Invalid range: \"1-5-7\""},
		// Core numbers are 16-bit: no wrap-around.
		{"65536", "Invalid number: \"65536\""},
		{"0x10000", "Invalid number: \"0x10000\""},
		{"65535-65536", "Invalid number: \"65535-65536\""},
		{"0-9223372036854775807", "Invalid number: \"0-9223372036854775807\""},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE("list \"" + c.text + "\"");
		kova::exception const e = kova::test::thrown_by([&] { (void)util::parse_cpu_core_set_string(c.text); });
		EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_EQ(e.what(), c.message);
		EXPECT_STREQ(e.function(), "parse_cpu_core_set_string");
	}
}

TEST(parse_cpu_core_set_string, full_range_holds_every_core_once)
{
	auto const set = util::parse_cpu_core_set_string("5,0-65535,5");
	ASSERT_EQ(set.cores.size(), 65536u);
	EXPECT_EQ(set.cores[0], 5);
	EXPECT_EQ(set.cores[1], 0);
	EXPECT_EQ(set.cores[5], 4);
	EXPECT_EQ(set.cores[6], 6);
	EXPECT_EQ(set.cores.back(), 65535);
}
