// Tests for memory maps, buffer inventories and buffer descriptors.
#include <kova/buf.h>
#include <kova/dev.h>
#include <kova/error.h>
#include <kova/mmap.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

namespace {

class mmap_buf : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		memory.assign(4096, std::byte{0});
		ASSERT_EQ(kova_mmap_create(&map), KOVA_SUCCESS);
		ASSERT_EQ(kova_buf_inventory_create(4, &inventory), KOVA_SUCCESS);
	}

	void TearDown() override
	{
		EXPECT_EQ(kova_buf_inventory_destroy(inventory), KOVA_SUCCESS);
		EXPECT_EQ(kova_mmap_destroy(map), KOVA_SUCCESS);
	}

	void start_both()
	{
		ASSERT_EQ(kova_mmap_set_memrange(map, memory.data(), memory.size()), KOVA_SUCCESS);
		ASSERT_EQ(kova_mmap_start(map), KOVA_SUCCESS);
		ASSERT_EQ(kova_buf_inventory_start(inventory), KOVA_SUCCESS);
	}

	kova_error get(std::byte *addr, size_t len, std::byte *data, size_t data_len, kova_buf **buf)
	{
		return kova_buf_inventory_buf_get_by_args(inventory, map, addr, len, data, data_len, buf);
	}

	std::vector<std::byte> memory;
	kova_mmap *map = nullptr;
	kova_buf_inventory *inventory = nullptr;
};

TEST_F(mmap_buf, a_map_needs_its_range_before_it_starts_and_is_fixed_afterwards)
{
	void *addr = nullptr;
	size_t len = 0;
	EXPECT_EQ(kova_mmap_get_memrange(map, &addr, &len), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_mmap_start(map), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_mmap_set_memrange(map, memory.data(), 0), KOVA_ERROR_INVALID_VALUE);
	ASSERT_EQ(kova_mmap_set_memrange(map, memory.data(), memory.size()), KOVA_SUCCESS);
	ASSERT_EQ(kova_mmap_set_permissions(map, 39), KOVA_SUCCESS);
	ASSERT_EQ(kova_mmap_start(map), KOVA_SUCCESS);
	ASSERT_EQ(kova_mmap_get_memrange(map, &addr, &len), KOVA_SUCCESS);
	EXPECT_EQ(addr, memory.data());
	EXPECT_EQ(len, memory.size());
	EXPECT_EQ(kova_mmap_start(map), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_mmap_set_memrange(map, memory.data(), 16), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_mmap_set_permissions(map, 7), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_mmap_set_max_num_devices(map, 2), KOVA_ERROR_BAD_STATE);
}

TEST_F(mmap_buf, devices_are_limited_by_the_maximum)
{
	kova_devinfo **list = nullptr;
	uint32_t count = 0;
	ASSERT_EQ(kova_devinfo_create_list(&list, &count), KOVA_SUCCESS);
	kova_dev *devs[3] = {};
	for (int i = 0; i < 3; ++i)
		ASSERT_EQ(kova_dev_open(list[i % 2], &devs[i]), KOVA_SUCCESS);
	ASSERT_EQ(kova_mmap_add_dev(map, devs[0]), KOVA_SUCCESS);
	EXPECT_EQ(kova_mmap_add_dev(map, devs[1]), KOVA_ERROR_NO_MEMORY) << "one device by default";
	EXPECT_EQ(kova_mmap_set_max_num_devices(map, 0), KOVA_ERROR_INVALID_VALUE);
	ASSERT_EQ(kova_mmap_set_max_num_devices(map, 3), KOVA_SUCCESS);
	EXPECT_EQ(kova_mmap_add_dev(map, devs[0]), KOVA_ERROR_ALREADY_EXIST);
	ASSERT_EQ(kova_mmap_add_dev(map, devs[1]), KOVA_SUCCESS);
	ASSERT_EQ(kova_mmap_add_dev(map, devs[2]), KOVA_SUCCESS);
	EXPECT_EQ(kova_mmap_set_max_num_devices(map, 2), KOVA_ERROR_BAD_STATE) << "below the added count";
	for (kova_dev *dev : devs)
		kova_dev_close(dev);
	kova_devinfo_destroy_list(list);
}

TEST_F(mmap_buf, a_descriptor_that_is_not_an_export_is_refused)
{
	kova_devinfo **list = nullptr;
	uint32_t count = 0;
	ASSERT_EQ(kova_devinfo_create_list(&list, &count), KOVA_SUCCESS);
	kova_dev *dev = nullptr;
	ASSERT_EQ(kova_dev_open(list[0], &dev), KOVA_SUCCESS);
	char const descriptor[] = "region";
	kova_mmap *imported = nullptr;
	EXPECT_EQ(kova_mmap_create_from_export(nullptr, descriptor, sizeof(descriptor), dev, &imported),
		  KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(imported, nullptr);
	kova_dev_close(dev);
	kova_devinfo_destroy_list(list);
}

TEST_F(mmap_buf, buffers_come_only_from_started_inventories_and_maps)
{
	kova_buf *buf = nullptr;
	ASSERT_EQ(kova_mmap_set_memrange(map, memory.data(), memory.size()), KOVA_SUCCESS);
	EXPECT_EQ(get(memory.data(), 8, memory.data(), 8, &buf), KOVA_ERROR_BAD_STATE);
	ASSERT_EQ(kova_mmap_start(map), KOVA_SUCCESS);
	EXPECT_EQ(get(memory.data(), 8, memory.data(), 8, &buf), KOVA_ERROR_BAD_STATE);
	ASSERT_EQ(kova_buf_inventory_start(inventory), KOVA_SUCCESS);
	EXPECT_EQ(kova_buf_inventory_start(inventory), KOVA_ERROR_BAD_STATE);
	ASSERT_EQ(get(memory.data(), 8, memory.data(), 8, &buf), KOVA_SUCCESS);
	EXPECT_EQ(kova_buf_dec_refcount(buf, nullptr), KOVA_SUCCESS);
}

TEST_F(mmap_buf, buffer_ranges_are_checked_against_the_map_and_the_buffer)
{
	start_both();
	std::byte *const start = memory.data();
	std::byte *const end = memory.data() + memory.size();
	struct entry {
		const char *what;
		std::byte *addr;
		size_t len;
		std::byte *data;
		size_t data_len;
		kova_error result;
	} const cases[] = {
		{"whole map", start, memory.size(), start, 0, KOVA_SUCCESS},
		{"last byte", end - 1, 1, end - 1, 1, KOVA_SUCCESS},
		{"data in the middle", start + 8, 16, start + 12, 4, KOVA_SUCCESS},
		{"one byte past the map", start + 1, memory.size(), start + 1, 0, KOVA_ERROR_INVALID_VALUE},
		{"before the map", start - 1, 2, start - 1, 0, KOVA_ERROR_INVALID_VALUE},
		{"huge length", start + 8, SIZE_MAX, start + 8, 0, KOVA_ERROR_INVALID_VALUE},
		{"data past the buffer", start, 16, start + 8, 9, KOVA_ERROR_INVALID_VALUE},
		{"data before the buffer", start + 8, 16, start + 7, 1, KOVA_ERROR_INVALID_VALUE},
		{"null address", nullptr, 0, start, 0, KOVA_ERROR_INVALID_VALUE},
	};
	for (const entry &c : cases) {
		SCOPED_TRACE(c.what);
		kova_buf *buf = nullptr;
		ASSERT_EQ(get(c.addr, c.len, c.data, c.data_len, &buf), c.result);
		if (c.result != KOVA_SUCCESS)
			continue;
		void *head = nullptr;
		void *data = nullptr;
		size_t len = 0;
		size_t data_len = 0;
		kova_buf *next = buf;
		ASSERT_EQ(kova_buf_get_head(buf, &head), KOVA_SUCCESS);
		ASSERT_EQ(kova_buf_get_data(buf, &data), KOVA_SUCCESS);
		ASSERT_EQ(kova_buf_get_len(buf, &len), KOVA_SUCCESS);
		ASSERT_EQ(kova_buf_get_data_len(buf, &data_len), KOVA_SUCCESS);
		ASSERT_EQ(kova_buf_get_next_in_list(buf, &next), KOVA_SUCCESS);
		EXPECT_EQ(head, c.addr);
		EXPECT_EQ(data, c.data);
		EXPECT_EQ(len, c.len);
		EXPECT_EQ(data_len, c.data_len);
		EXPECT_EQ(next, nullptr);
		uint16_t refcount = 9;
		ASSERT_EQ(kova_buf_dec_refcount(buf, &refcount), KOVA_SUCCESS);
		EXPECT_EQ(refcount, 0);
	}
}

TEST_F(mmap_buf, an_exhausted_inventory_answers_no_resources)
{
	start_both();
	std::vector<kova_buf *> taken(4);
	for (size_t i = 0; i < taken.size(); ++i)
		ASSERT_EQ(get(memory.data() + i, 1, memory.data() + i, 1, &taken[i]), KOVA_SUCCESS);
	kova_buf *extra = nullptr;
	EXPECT_EQ(get(memory.data(), 1, memory.data(), 1, &extra), KOVA_ERROR_NO_MEMORY);
	ASSERT_EQ(kova_buf_dec_refcount(taken[2], nullptr), KOVA_SUCCESS);
	EXPECT_EQ(get(memory.data(), 1, memory.data(), 1, &extra), KOVA_SUCCESS);
	taken[2] = extra;
	for (kova_buf *buf : taken)
		ASSERT_EQ(kova_buf_dec_refcount(buf, nullptr), KOVA_SUCCESS);
}

TEST_F(mmap_buf, releasing_a_list_head_releases_the_whole_list)
{
	start_both();
	kova_buf *head = nullptr;
	kova_buf *middle = nullptr;
	kova_buf *tail = nullptr;
	ASSERT_EQ(get(memory.data(), 8, memory.data(), 8, &head), KOVA_SUCCESS);
	ASSERT_EQ(get(memory.data() + 8, 8, memory.data() + 8, 0, &middle), KOVA_SUCCESS);
	ASSERT_EQ(get(memory.data() + 16, 8, memory.data() + 16, 0, &tail), KOVA_SUCCESS);
	ASSERT_EQ(kova_buf_chain_list(middle, tail), KOVA_SUCCESS);
	ASSERT_EQ(kova_buf_chain_list(head, middle), KOVA_SUCCESS);
	kova_buf *next = nullptr;
	ASSERT_EQ(kova_buf_get_next_in_list(head, &next), KOVA_SUCCESS);
	EXPECT_EQ(next, middle);
	ASSERT_EQ(kova_buf_get_next_in_list(middle, &next), KOVA_SUCCESS);
	EXPECT_EQ(next, tail);

	EXPECT_EQ(kova_buf_chain_list(head, tail), KOVA_ERROR_INVALID_VALUE) << "already in a list";
	EXPECT_EQ(kova_buf_chain_list(head, head), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_buf_dec_refcount(middle, nullptr), KOVA_ERROR_BAD_STATE) << "release the head instead";
	EXPECT_EQ(kova_mmap_destroy(map), KOVA_ERROR_BAD_STATE) << "buffers outstanding";
	EXPECT_EQ(kova_buf_inventory_destroy(inventory), KOVA_ERROR_BAD_STATE);

	ASSERT_EQ(kova_buf_dec_refcount(head, nullptr), KOVA_SUCCESS);
	EXPECT_EQ(kova_buf_dec_refcount(head, nullptr), KOVA_ERROR_BAD_STATE) << "already released";
	std::vector<kova_buf *> all(4);
	for (kova_buf *&buf : all)
		ASSERT_EQ(get(memory.data(), 1, memory.data(), 0, &buf), KOVA_SUCCESS) << "all three came back";
	for (kova_buf *buf : all)
		ASSERT_EQ(kova_buf_dec_refcount(buf, nullptr), KOVA_SUCCESS);
}

TEST_F(mmap_buf, resetting_the_data_length_keeps_the_data_pointer)
{
	start_both();
	kova_buf *buf = nullptr;
	ASSERT_EQ(get(memory.data(), 64, memory.data() + 4, 32, &buf), KOVA_SUCCESS);
	ASSERT_EQ(kova_buf_reset_data_len(buf), KOVA_SUCCESS);
	void *data = nullptr;
	size_t data_len = 1;
	ASSERT_EQ(kova_buf_get_data(buf, &data), KOVA_SUCCESS);
	ASSERT_EQ(kova_buf_get_data_len(buf, &data_len), KOVA_SUCCESS);
	EXPECT_EQ(data, memory.data() + 4);
	EXPECT_EQ(data_len, 0u);
	ASSERT_EQ(kova_buf_dec_refcount(buf, nullptr), KOVA_SUCCESS);
}

} // namespace
