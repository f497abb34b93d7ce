// Tests for aligned_buffer.
#include "aligned_buffer.hpp"

#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstring>

using kova::bench::aligned_buffer;

namespace {
bool page_aligned(const void *p)
{
	return reinterpret_cast<uintptr_t>(p) % static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)) == 0;
}
} // namespace

TEST(aligned_buffer, data_is_page_aligned_for_every_size)
{
	for (uint64_t size : {0ull, 1ull, 63ull, 4095ull, 4096ull, 4097ull, 1ull << 20}) {
		SCOPED_TRACE(size);
		aligned_buffer buf{size};
		EXPECT_TRUE(page_aligned(buf.data()));
		EXPECT_EQ(buf.size(), size);
		if (size != 0) {
			std::memset(buf.data(), 0xAB, size);
			EXPECT_EQ(buf.data()[size - 1], std::byte{0xAB});
		}
	}
}

TEST(aligned_buffer, copies_are_independent)
{
	char const text[] = "abcdef";
	aligned_buffer a{text, sizeof(text)};
	aligned_buffer b{a};
	EXPECT_NE(a.data(), b.data());
	b.data()[0] = std::byte{'z'};
	EXPECT_EQ(a.data()[0], std::byte{'a'});

	aligned_buffer c{1};
	c = a;
	EXPECT_EQ(c.size(), a.size());
	EXPECT_EQ(std::memcmp(c.data(), text, sizeof(text)), 0);
	c = c;
	EXPECT_EQ(std::memcmp(c.data(), text, sizeof(text)), 0);

	aligned_buffer empty{0};
	aligned_buffer empty_copy{empty};
	EXPECT_EQ(empty_copy.size(), 0u);
}

TEST(aligned_buffer, resize_allocates_new_storage)
{
	aligned_buffer buf{100};
	void const *old = buf.data();
	buf.resize(10);
	EXPECT_NE(buf.data(), old);
	EXPECT_EQ(buf.size(), 10u);
	EXPECT_TRUE(page_aligned(buf.data()));
}

TEST(aligned_buffer, overflowing_size_is_refused)
{
	EXPECT_KOVA_THROW(aligned_buffer buf{SIZE_MAX - 100}, KOVA_ERROR_NO_MEMORY,
			  "Unable to allocate aligned memory");
}
