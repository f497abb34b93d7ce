// Tests for utility/byte_unit.
#include "utility/byte_unit.hpp"

#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

using kova::bench::utility::byte_unit;
using kova::bench::utility::from_string;
using kova::bench::utility::to_string;

TEST(byte_unit, parses_exact_names_only)
{
	struct {
		const char *text;
		uint64_t bits;
	} const accepted[] = {{"b", 1}, {"B", 8}, {"Kib", 1024}, {"KiB", 8192}, {"MeB", 8388608}, {"Meb", 1048576},
			      {"GiB", 8589934592ull}, {"k", 8000}, {"m", 8000000}, {"g", 8000000000ull}};
	for (auto const &c : accepted) {
		SCOPED_TRACE(c.text);
		EXPECT_EQ(static_cast<uint64_t>(from_string<byte_unit>(c.text)), c.bits);
	}
	for (const char *text : {"MiB", "K", "kb", "", "KB ", " B"}) {
		SCOPED_TRACE(text);
		kova::exception const e = kova::test::thrown_by([&] { (void)from_string<byte_unit>(text); });
		EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_EQ(std::string{e.what()}, std::string{"Unknown byte unit: \""} + text + "\"");
		EXPECT_STREQ(e.function(), "from_string<kova::bench::utility::byte_unit>");
	}
}

TEST(byte_unit, prints_first_name_of_a_value)
{
	EXPECT_EQ(to_string(byte_unit::KiB), "KiB");
	EXPECT_EQ(to_string(static_cast<byte_unit>(8000)), "KB");
	EXPECT_EQ(to_string(static_cast<byte_unit>(8000000)), "MB");
	EXPECT_EQ(to_string(static_cast<byte_unit>(8000000000ull)), "GB");
	EXPECT_EQ(to_string(static_cast<byte_unit>(2)), "UNDEFINED");
}
