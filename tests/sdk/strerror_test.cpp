// Tests for the stand-in common library's text of operating-system errors.
#include <kova/error.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

TEST(priv_kova_strerror, writes_the_text_into_the_buffer)
{
	char text[64];
	EXPECT_EQ(priv_kova_strerror(ECONNREFUSED, text, sizeof(text)), text);
	EXPECT_STREQ(text, "Connection refused");

	char tiny[5];
	EXPECT_EQ(priv_kova_strerror(ECONNREFUSED, tiny, sizeof(tiny)), tiny);
	EXPECT_STREQ(tiny, "Conn");

	EXPECT_EQ(priv_kova_strerror(EINVAL, nullptr, 10), nullptr);
	EXPECT_EQ(priv_kova_strerror(EINVAL, text, 0), nullptr);
}
