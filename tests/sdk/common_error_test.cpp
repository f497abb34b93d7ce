// Tests for the stand-in common library's error names and version.
#include <kova/error.h>
#include <kova/version.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

TEST(kova_error, every_code_has_a_distinct_name_and_description)
{
	std::set<std::string> names;
	for (kova_error code = 0; code <= KOVA_ERROR_TOO_BIG; ++code) {
		ASSERT_NE(kova_error_get_name(code), nullptr);
		ASSERT_NE(kova_error_get_descr(code), nullptr);
		EXPECT_TRUE(names.insert(kova_error_get_name(code)).second) << code;
	}
	EXPECT_STREQ(kova_error_get_name(0), "KOVA_SUCCESS");
	EXPECT_STREQ(kova_error_get_name(6), "KOVA_ERROR_INVALID_VALUE");
	EXPECT_STREQ(kova_error_get_name(999), "KOVA_ERROR_UNRECOGNIZED");
	EXPECT_STREQ(kova_error_get_descr(0xFFFFFFFFu), "Unrecognized error code");
}

TEST(kova_version, runtime_matches_compiled_version)
{
	EXPECT_STREQ(kova_version_runtime(), KOVA_VERSION_STRING);
}
