// Tests for utility/escape_non_printable.cpp.
#include "utility/escape_non_printable.hpp"

#include <gtest/gtest.h>

#include <string>

using kova::bench::utility::escape_non_printable;

TEST(escape_non_printable, escapes_control_and_non_ascii_bytes_only)
{
	struct row {
		std::string in;
		std::string out;
	};
	for (const row &r : {row{"", ""}, row{"plain text: \"quoted\" ~!", "plain text: \"quoted\" ~!"},
			     row{"a\nb\rc\td", "a\\nb\\rc\\td"}, row{std::string{"\0\x1b\x7f", 3}, "\\x00\\x1b\\x7f"},
			     row{"caf\xc3\xa9", "caf\\xc3\\xa9"}}) {
		SCOPED_TRACE(r.out);
		EXPECT_EQ(escape_non_printable(r.in), r.out);
	}
}
