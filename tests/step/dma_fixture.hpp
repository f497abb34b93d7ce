// An opened device in a runtime state, a progress engine, and job memory mapped for it, with
// helpers to make input and output buffers; completions are recorded.
#pragma once

#include "aligned_buffer.hpp"
#include "runtime_state.hpp"
#include "step/object.hpp"
#include "utility/kova_utils.hpp"

#include <kova/buf.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>
#include <kova/test_control.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace kova::bench::step::test {

struct completion {
	kova_task *task;
	uint64_t task_user_data;
	kova_error status;
	bool success;
};

class dma_fixture : public ::testing::Test {
protected:
	static constexpr std::size_t memory_size = 8 * 1024 * 1024;

	dma_fixture() : memory{memory_size} { kova_test_reset(); }

	~dma_fixture() override
	{
		for (kova_buf *buf : bufs)
			kova_buf_dec_refcount(buf, nullptr);
		kova_test_reset();
	}

	void SetUp() override
	{
		state.open_device_and_representor("03:00.0", {});
		pe = utility::make_pe();
		mmap = utility::make_mmap(memory, state.get_devices(), {});
		inventory = utility::make_inventory(1024);
	}

	static void on_success(kova_task *task, kova_data task_user_data, kova_data ctx_user_data)
	{
		static_cast<dma_fixture *>(ctx_user_data.ptr)->record(task, task_user_data, true);
	}

	static void on_error(kova_task *task, kova_data task_user_data, kova_data ctx_user_data)
	{
		static_cast<dma_fixture *>(ctx_user_data.ptr)->record(task, task_user_data, false);
	}

	void record(kova_task *task, kova_data task_user_data, bool success)
	{
		completions.push_back({task, task_user_data.u64, kova_task_get_status(task), success});
		if (on_complete)
			on_complete(task);
	}

	kova_data self() { return kova_data{.ptr = this}; }

	static object::attributes make_attributes(uint32_t task_pool_size, uint32_t job_count)
	{
		object::attributes attributes;
		attributes.task_pool_size = task_pool_size;
		attributes.job_count = job_count;
		return attributes;
	}

	// A buffer whose data is `text`.
	kova_buf *input(const std::string &text)
	{
		char *at = carve(text.size());
		std::memcpy(at, text.data(), text.size());
		kova_buf *buf = take(at, text.size());
		bufs.push_back(buf);
		return buf;
	}

	// An empty buffer of `room` bytes.
	kova_buf *output(std::size_t room)
	{
		kova_buf *buf = take(carve(room), room);
		EXPECT_EQ(kova_buf_reset_data_len(buf), KOVA_SUCCESS);
		bufs.push_back(buf);
		return buf;
	}

	// The data of every element of the list, concatenated.
	static std::string contents(const kova_buf *list)
	{
		std::string text;
		for (kova_buf *buf = const_cast<kova_buf *>(list); buf != nullptr;) {
			void *data = nullptr;
			std::size_t len = 0;
			kova_buf_get_data(buf, &data);
			kova_buf_get_data_len(buf, &len);
			text.append(static_cast<const char *>(data), len);
			kova_buf_get_next_in_list(buf, &buf);
		}
		return text;
	}

	// Drives the engine until `count` completions have been recorded in all, or gives up.
	void wait_for_completions(std::size_t count)
	{
		for (int i = 0; i < 100000 && completions.size() < count; ++i)
			kova_pe_progress(pe.get());
		ASSERT_EQ(completions.size(), count);
	}

	runtime_state state;
	std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> pe;
	aligned_buffer memory;
	std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>> mmap;
	std::unique_ptr<kova_buf_inventory, kova::delegated_deleter<kova_buf_inventory>> inventory;
	std::vector<kova_buf *> bufs;
	std::vector<completion> completions;
	std::function<void(kova_task *)> on_complete;

private:
	char *carve(std::size_t len)
	{
		char *at = reinterpret_cast<char *>(memory.data()) + used;
		used += len;
		EXPECT_LE(used, memory.size());
		return at;
	}

	// get_buffer gives a buffer whose data is its whole range.
	kova_buf *take(char *at, std::size_t len) { return utility::get_buffer(inventory.get(), mmap.get(), at, len); }

	std::size_t used = 0;
};

} // namespace kova::bench::step::test
