// A started copy context on its own engine, with a memory map, an inventory and helpers to make
// buffers and tasks; completions are recorded.
#pragma once

#include "support/copy_library.hpp"

#include <kova/buf.h>
#include <kova/mmap.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace kova::sdk_test {

struct completion {
	kova_task *task;
	uint64_t task_user_data;
	void *ctx_user_data;
	kova_error status;
	bool success_callback;
	size_t in_flight_at_callback;
};

class copy_fixture : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		pe = new_pe();
		ASSERT_NE(pe, nullptr);
		memory.assign(1 << 16, std::byte{0});
		ASSERT_EQ(kova_mmap_create(&mmap), KOVA_SUCCESS);
		ASSERT_EQ(kova_mmap_set_memrange(mmap, memory.data(), memory.size()), KOVA_SUCCESS);
		ASSERT_EQ(kova_mmap_start(mmap), KOVA_SUCCESS);
		ASSERT_EQ(kova_buf_inventory_create(256, &inventory), KOVA_SUCCESS);
		ASSERT_EQ(kova_buf_inventory_start(inventory), KOVA_SUCCESS);
		lib = copy_create();
	}

	void TearDown() override
	{
		for (copy_task *task : tasks)
			kova_task_free(copy_as_task(task));
		if (lib != nullptr) {
			kova_ctx_stop(copy_as_ctx(lib));
			for (int i = 0; i < 1000 && kova_pe_progress(pe.get()) != 0; ++i) {
			}
			EXPECT_EQ(copy_destroy(lib), KOVA_SUCCESS);
		}
		for (kova_buf *buf : bufs)
			kova_buf_dec_refcount(buf, nullptr);
		EXPECT_EQ(kova_buf_inventory_destroy(inventory), KOVA_SUCCESS);
		EXPECT_EQ(kova_mmap_destroy(mmap), KOVA_SUCCESS);
		pe.reset();
		kova_test_reset();
	}

	static void on_success(kova_task *task, kova_data task_user_data, kova_data ctx_user_data)
	{
		static_cast<copy_fixture *>(ctx_user_data.ptr)->record(task, task_user_data, ctx_user_data, true);
	}

	static void on_error(kova_task *task, kova_data task_user_data, kova_data ctx_user_data)
	{
		static_cast<copy_fixture *>(ctx_user_data.ptr)->record(task, task_user_data, ctx_user_data, false);
	}

	void record(kova_task *task, kova_data task_user_data, kova_data ctx_user_data, bool success)
	{
		size_t in_flight = 0;
		kova_ctx_get_num_inflight_tasks(copy_as_ctx(lib), &in_flight);
		completions.push_back(
			{task, task_user_data.u64, ctx_user_data.ptr, kova_task_get_status(task), success, in_flight});
		if (on_complete)
			on_complete(task);
	}

	// Configures, connects and starts the context.
	void start(uint32_t num_tasks = 16)
	{
		ASSERT_EQ(kova_ctx_set_user_data(copy_as_ctx(lib), kova_data{.ptr = this}), KOVA_SUCCESS);
		ASSERT_EQ(copy_set_conf(lib, on_success, on_error, num_tasks), KOVA_SUCCESS);
		ASSERT_EQ(kova_pe_connect_ctx(pe.get(), copy_as_ctx(lib)), KOVA_SUCCESS);
		ASSERT_EQ(kova_ctx_start(copy_as_ctx(lib)), KOVA_SUCCESS);
	}

	// A buffer of `room` bytes holding `text` as its data.
	kova_buf *input(const std::string &text, size_t room = 0)
	{
		std::byte *at = carve(std::max(room, text.size()));
		std::memcpy(at, text.data(), text.size());
		return take(at, std::max(room, text.size()), text.size());
	}

	// An empty output buffer of `room` bytes.
	kova_buf *output(size_t room)
	{
		std::byte *at = carve(room);
		return take(at, room, 0);
	}

	// The data of every element of the list, concatenated.
	static std::string contents(const kova_buf *list)
	{
		std::string text;
		for (kova_buf *buf = const_cast<kova_buf *>(list); buf != nullptr;) {
			void *data = nullptr;
			size_t len = 0;
			kova_buf_get_data(buf, &data);
			kova_buf_get_data_len(buf, &len);
			text.append(static_cast<const char *>(data), len);
			kova_buf_get_next_in_list(buf, &buf);
		}
		return text;
	}

	copy_task *make_task(kova_buf *src, kova_buf *dst, uint64_t tag)
	{
		copy_task *task = nullptr;
		EXPECT_EQ(copy_alloc_init(lib, src, dst, kova_data{.u64 = tag}, &task), KOVA_SUCCESS);
		if (task != nullptr)
			tasks.push_back(task);
		return task;
	}

	// Calls progress until it returns 0; returns the number of productive calls.
	int drain()
	{
		int productive = 0;
		while (kova_pe_progress(pe.get()) != 0 && productive < 100000)
			++productive;
		return productive;
	}

	pe_owner pe;
	std::vector<std::byte> memory;
	size_t used = 0;
	kova_mmap *mmap = nullptr;
	kova_buf_inventory *inventory = nullptr;
	copy_instance *lib = nullptr;
	std::vector<kova_buf *> bufs;
	std::vector<copy_task *> tasks;
	std::vector<completion> completions;
	std::function<void(kova_task *)> on_complete;

private:
	std::byte *carve(size_t len)
	{
		std::byte *at = memory.data() + used;
		used += len;
		EXPECT_LE(used, memory.size());
		return at;
	}

	kova_buf *take(std::byte *at, size_t len, size_t data_len)
	{
		kova_buf *buf = nullptr;
		EXPECT_EQ(kova_buf_inventory_buf_get_by_args(inventory, mmap, at, len, at, data_len, &buf), KOVA_SUCCESS);
		bufs.push_back(buf);
		return buf;
	}
};

} // namespace kova::sdk_test
