// Tests for utility/async/error_text.
#include "utility/async/error_text.hpp"

#include <kova/error.h>

#include <gtest/gtest.h>

using kova::bench::utility::format_errors;
using kova::bench::utility::async::error;

TEST(async_error_text, single_and_lists)
{
	error const timed_out{KOVA_ERROR_TIME_OUT, "Timed out waiting for asynchronous operations"};
	EXPECT_EQ(kova::bench::utility::async::stringify(timed_out),
		  "error: {code: KOVA_ERROR_TIME_OUT message: \"Timed out waiting for asynchronous operations\"}");
	EXPECT_EQ(format_errors({}), "[]");
	EXPECT_EQ(format_errors({timed_out, {KOVA_ERROR_BAD_STATE, ""}}),
		  "[error: {code: KOVA_ERROR_TIME_OUT message: \"Timed out waiting for asynchronous operations\"}, "
		  "error: {code: KOVA_ERROR_BAD_STATE message: \"\"}]");
}
