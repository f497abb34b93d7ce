// Tests for the stand-in's log backends.
#include <kova/buf.h>
#include <kova/error.h>
#include <kova/log.h>
#include <kova/mmap.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string read_all(FILE *stream)
{
	std::fflush(stream);
	std::rewind(stream);
	std::string text;
	char chunk[256];
	for (size_t n; (n = std::fread(chunk, 1, sizeof(chunk), stream)) != 0;)
		text.append(chunk, n);
	return text;
}

// Makes the library log one error: destroying a map with a buffer outstanding is refused.
void provoke_error()
{
	static std::vector<char> memory(64);
	kova_mmap *map = nullptr;
	kova_buf_inventory *inventory = nullptr;
	kova_buf *buf = nullptr;
	ASSERT_EQ(kova_mmap_create(&map), KOVA_SUCCESS);
	ASSERT_EQ(kova_mmap_set_memrange(map, memory.data(), memory.size()), KOVA_SUCCESS);
	ASSERT_EQ(kova_mmap_start(map), KOVA_SUCCESS);
	ASSERT_EQ(kova_buf_inventory_create(1, &inventory), KOVA_SUCCESS);
	ASSERT_EQ(kova_buf_inventory_start(inventory), KOVA_SUCCESS);
	ASSERT_EQ(kova_buf_inventory_buf_get_by_args(inventory, map, memory.data(), 8, memory.data(), 8, &buf),
		  KOVA_SUCCESS);
	EXPECT_EQ(kova_mmap_destroy(map), KOVA_ERROR_BAD_STATE);
	ASSERT_EQ(kova_buf_dec_refcount(buf, nullptr), KOVA_SUCCESS);
	ASSERT_EQ(kova_buf_inventory_destroy(inventory), KOVA_SUCCESS);
	ASSERT_EQ(kova_mmap_destroy(map), KOVA_SUCCESS);
}

TEST(kova_log, a_file_backend_writes_the_sdk_messages_its_level_admits)
{
	FILE *stream = std::tmpfile();
	ASSERT_NE(stream, nullptr);
	kova_log_backend *backend = nullptr;
	ASSERT_EQ(kova_log_backend_create_standard(), KOVA_SUCCESS);
	ASSERT_EQ(kova_log_backend_create_with_file_sdk(stream, &backend), KOVA_SUCCESS);
	ASSERT_EQ(kova_log_backend_set_sdk_level(backend, KOVA_LOG_LEVEL_WARNING), KOVA_SUCCESS);
	provoke_error();
	std::string const written = read_all(stream);
	EXPECT_NE(written.find("[kova][ERR] kova_mmap_destroy: 1 buffers over the map are outstanding\n"),
		  std::string::npos)
		<< written;

	ASSERT_EQ(kova_log_backend_set_sdk_level(backend, KOVA_LOG_LEVEL_CRIT), KOVA_SUCCESS);
	provoke_error();
	EXPECT_EQ(read_all(stream), written) << "an error is above the critical level";
	ASSERT_EQ(kova_log_backend_set_sdk_level(backend, KOVA_LOG_LEVEL_DISABLE), KOVA_SUCCESS);
	std::fclose(stream);
}

TEST(kova_log, arguments_are_checked)
{
	kova_log_backend *backend = nullptr;
	int source = -1;
	EXPECT_EQ(kova_log_backend_create_with_file_sdk(nullptr, &backend), KOVA_ERROR_INVALID_VALUE);
	ASSERT_EQ(kova_log_backend_create_with_file_sdk(stderr, &backend), KOVA_SUCCESS);
	for (uint32_t level : {0u, 9u, 15u, 80u}) {
		SCOPED_TRACE(level);
		EXPECT_EQ(kova_log_backend_set_sdk_level(backend, level), KOVA_ERROR_INVALID_VALUE);
	}
	EXPECT_EQ(kova_log_backend_set_sdk_level(nullptr, KOVA_LOG_LEVEL_WARNING), KOVA_ERROR_INVALID_VALUE);
	ASSERT_EQ(kova_log_backend_set_sdk_level(backend, KOVA_LOG_LEVEL_DISABLE), KOVA_SUCCESS);

	ASSERT_EQ(kova_log_register_source("kova::bench", &source), KOVA_SUCCESS);
	int second = -1;
	ASSERT_EQ(kova_log_register_source("other", &second), KOVA_SUCCESS);
	EXPECT_NE(source, second);
	EXPECT_EQ(kova_log_register_source("", &source), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_log_register_source(nullptr, &source), KOVA_ERROR_INVALID_VALUE);
}

} // namespace
