// Tests for utility/string_utils.
#include "utility/string_utils.hpp"

#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <string>
#include <vector>

namespace util = kova::bench::utility;

namespace {

// Expected outcome of a conversion: no value, or a value with an optional rest.
template <typename T>
struct conversion_case {
	std::string text;
	bool converts;
	T value;
	const char *rest; // null: no rest expected
};

template <typename T>
void check_conversions(const std::vector<conversion_case<T>> &cases)
{
	for (auto const &c : cases) {
		SCOPED_TRACE("text \"" + c.text + "\"");
		auto const result = util::strto<T>(c.text);
		ASSERT_EQ(result.has_value(), c.converts);
		if (!c.converts)
			continue;
		EXPECT_EQ(result->value, c.value);
		ASSERT_EQ(result->rest.has_value(), c.rest != nullptr);
		if (c.rest != nullptr) {
			EXPECT_EQ(*result->rest, c.rest);
		}
	}
}

} // namespace

TEST(trim, removes_white_space_at_both_ends)
{
	struct {
		std::string text;
		std::string expected;
	} const cases[] = {
		{"  a b\t\n", "a b"}, {"   ", ""}, {"", ""}, {"x", "x"}, {"\v\f\rx y\r", "x y"}, {" \t\n\v\f\r", ""},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE("text \"" + c.text + "\"");
		EXPECT_EQ(util::trim(std::as_const(c.text)), c.expected);
		std::string in_place = c.text;
		std::string &same = util::trim(in_place);
		EXPECT_EQ(&same, &in_place);
		EXPECT_EQ(in_place, c.expected);
	}
}

TEST(split, keeps_empty_pieces_and_trims_each)
{
	using pieces = std::vector<std::string>;
	struct {
		std::string text;
		std::string separator;
		pieces expected;
	} const cases[] = {
		{"", ",", {}},
		{" x , y ", ",", {"x", "y"}},
		{"a,", ",", {"a", ""}},
		{",a", ",", {"", "a"}},
		{"a,,b", ",", {"a", "", "b"}},
		{" ", ",", {""}},
		{"k=v=w", "=", {"k", "v", "w"}},
		{"a::b:c", "::", {"a", "b:c"}},
		{":::", "::", {"", ":"}},
		{"abc", ",", {"abc"}},
		{" a,b ", "", {"a,b"}},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE("text \"" + c.text + "\" at \"" + c.separator + "\"");
		EXPECT_EQ(util::split(c.text, c.separator), c.expected);
	}
}

TEST(strto, unsigned_int)
{
	check_conversions<unsigned int>({
		{"42", true, 42, nullptr},
		{"42abc", true, 42, "abc"},
		{"  7 ", true, 7, " "},
		{"+5", true, 5, nullptr},
		{"4294967295", true, 4294967295u, nullptr},
		{"abc", false, 0, nullptr},
		{"", false, 0, nullptr},
		{"   ", false, 0, nullptr},
		// Values beyond 32 bits are refused, not cut to their low bits.
		{"4294967296", false, 0, nullptr},
		{"4294967338", false, 0, nullptr},
		{"99999999999999999999999", false, 0, nullptr},
		// A negative number is no unsigned value.
		{"-1", false, 0, nullptr},
		{" -0", false, 0, nullptr},
	});
}

TEST(strto, unsigned_long)
{
	check_conversions<unsigned long>({
		{"18446744073709551615", true, 18446744073709551615ul, nullptr},
		{"4294967296kB", true, 4294967296ul, "kB"},
		{"18446744073709551616", false, 0, nullptr},
		{"-1", false, 0, nullptr},
		{"\t-5", false, 0, nullptr},
		{"x1", false, 0, nullptr},
	});
}

TEST(strto, signed_long)
{
	check_conversions<long>({
		{"-1", true, -1, nullptr},
		{"-9223372036854775808", true, -9223372036854775807l - 1, nullptr},
		{"9223372036854775807 ", true, 9223372036854775807l, " "},
		{"9223372036854775808", false, 0, nullptr},
		{"--1", false, 0, nullptr},
		{"12.5", true, 12, ".5"},
	});
}

TEST(strto, float_value)
{
	check_conversions<float>({
		{"1.5x", true, 1.5f, "x"},
		{"-0.25", true, -0.25f, nullptr},
		{"2e3", true, 2000.0f, nullptr},
		{".", false, 0, nullptr},
		{"1e99", false, 0, nullptr},
	});
}

TEST(strto, boolean_words_as_prefix)
{
	check_conversions<bool>({
		{"yes", true, true, nullptr},
		{"true", true, true, nullptr},
		{"1", true, true, nullptr},
		{"no", true, false, nullptr},
		{"false", true, false, nullptr},
		{"0", true, false, nullptr},
		{"10", true, true, "0"},
		{"nope", true, false, "pe"},
		{"True", false, false, nullptr},
		{" yes", false, false, nullptr},
		{"", false, false, nullptr},
	});
}

TEST(hex_string_to_byte_array, converts_pairs_of_either_case)
{
	using bytes = std::vector<uint8_t>;
	EXPECT_EQ(util::hex_string_to_byte_array(""), bytes{});
	EXPECT_EQ(util::hex_string_to_byte_array("0aFF"), (bytes{0x0A, 0xFF}));
	EXPECT_EQ(util::hex_string_to_byte_array("00112233445566778899aAbBcCdDeEfF"),
		  (bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE,
			 0xFF}));
}

TEST(hex_string_to_byte_array, refuses_anything_but_digit_pairs)
{
	struct {
		std::string text;
		const char *message;
	} const cases[] = {
		{"abc", "Unable to parse hex string, invalid length."},
		{"0", "Unable to parse hex string, invalid length."},
		{"zz", "Unable to parse hex string, invalid value."},
		{"0x", "Unable to parse hex string, invalid value."},
		{"0x12", "Unable to parse hex string, invalid value."},
		{" a", "Unable to parse hex string, invalid value."},
		{"a ", "Unable to parse hex string, invalid value."},
		{"+f", "Unable to parse hex string, invalid value."},
		{"-1", "Unable to parse hex string, invalid value."},
		{"00g0", "Unable to parse hex string, invalid value."},
		{"ab1z", "Unable to parse hex string, invalid value."},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE("text \"" + c.text + "\"");
		kova::exception const e = kova::test::thrown_by([&] { (void)util::hex_string_to_byte_array(c.text); });
		EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_STREQ(e.what(), c.message);
		EXPECT_STREQ(e.function(), "hex_string_to_byte_array");
	}
}

TEST(yorn, words)
{
	EXPECT_STREQ(util::yorn(true), "yes");
	EXPECT_STREQ(util::yorn(false), "no");
}
