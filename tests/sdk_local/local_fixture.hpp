// A device, a progress engine, memory with a map and an inventory, buffers and a completion record:
// what a test of a local-offload library needs around one of its instances.
#pragma once

#include <kova/buf.h>
#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/error.h>
#include <kova/mmap.h>
#include <kova/pe.h>
#include <kova/task.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace kova::sdk_local_test {

using bytes = std::vector<uint8_t>;

inline bytes random_bytes(std::size_t len, uint64_t seed = 1)
{
	bytes data(len);
	std::mt19937_64 generator{seed};
	for (auto &byte : data)
		byte = static_cast<uint8_t>(generator());
	return data;
}

// Words and blanks: compresses as text does.
inline bytes text_bytes(std::size_t len)
{
	static const char *const words[] = {"offload ", "pipeline ", "the ", "of ", "buffer ", "and ", "worker\n"};
	bytes data;
	std::mt19937_64 generator{7};
	while (data.size() < len) {
		const char *word = words[generator() % std::size(words)];
		data.insert(data.end(), word, word + std::strlen(word));
	}
	data.resize(len);
	return data;
}

inline bytes from_hex(const std::string &hex)
{
	bytes out;
	for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
		out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
	return out;
}

inline std::string to_hex(const bytes &data)
{
	static const char digits[] = "0123456789abcdef";
	std::string out;
	for (uint8_t byte : data) {
		out += digits[byte >> 4];
		out += digits[byte & 0xf];
	}
	return out;
}

inline bytes concat(bytes a, const bytes &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

struct completion {
	kova_task *task;
	uint64_t user_data;
	kova_error status;
	bool success_callback;
};

class local_fixture : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		uint32_t count = 0;
		ASSERT_EQ(kova_devinfo_create_list(&devinfos, &count), KOVA_SUCCESS);
		ASSERT_GT(count, 0u);
		devinfo = devinfos[0];
		ASSERT_EQ(kova_dev_open(devinfo, &dev), KOVA_SUCCESS);
		ASSERT_EQ(kova_pe_create(&pe), KOVA_SUCCESS);
		completions.reserve(256);
		memory.assign(memory_size, 0);
		ASSERT_EQ(kova_mmap_create(&mmap), KOVA_SUCCESS);
		ASSERT_EQ(kova_mmap_add_dev(mmap, dev), KOVA_SUCCESS);
		ASSERT_EQ(kova_mmap_set_memrange(mmap, memory.data(), memory.size()), KOVA_SUCCESS);
		ASSERT_EQ(kova_mmap_start(mmap), KOVA_SUCCESS);
		ASSERT_EQ(kova_buf_inventory_create(4096, &inventory), KOVA_SUCCESS);
		ASSERT_EQ(kova_buf_inventory_start(inventory), KOVA_SUCCESS);
	}

	void TearDown() override
	{
		for (kova_buf *buf : heads)
			kova_buf_dec_refcount(buf, nullptr);
		if (inventory != nullptr) {
			EXPECT_EQ(kova_buf_inventory_destroy(inventory), KOVA_SUCCESS);
		}
		if (mmap != nullptr) {
			EXPECT_EQ(kova_mmap_destroy(mmap), KOVA_SUCCESS);
		}
		if (pe != nullptr) {
			EXPECT_EQ(kova_pe_destroy(pe), KOVA_SUCCESS);
		}
		if (dev != nullptr)
			kova_dev_close(dev);
		if (devinfos != nullptr)
			kova_devinfo_destroy_list(devinfos);
		kova_test_reset();
	}

	// Sets the context's user data to this fixture, connects it and (after the caller configured
	// its task kinds) starts it.
	void connect_and_start(kova_ctx *ctx)
	{
		ASSERT_EQ(kova_ctx_set_user_data(ctx, kova_data{.ptr = this}), KOVA_SUCCESS);
		ASSERT_EQ(kova_pe_connect_ctx(pe, ctx), KOVA_SUCCESS);
		ASSERT_EQ(kova_ctx_start(ctx), KOVA_SUCCESS);
	}

	// Stops a context, delivering what is in flight.
	void stop(kova_ctx *ctx)
	{
		kova_error err = kova_ctx_stop(ctx);
		for (int i = 0; err == KOVA_ERROR_IN_PROGRESS && i < 1000; ++i) {
			kova_pe_progress(pe);
			err = kova_ctx_stop(ctx);
		}
		EXPECT_EQ(err, KOVA_SUCCESS);
	}

	static void on_success(kova_task *task, kova_data user_data, kova_data ctx_user_data)
	{
		static_cast<local_fixture *>(ctx_user_data.ptr)
			->completions.push_back({task, user_data.u64, kova_task_get_status(task), true});
	}

	static void on_error(kova_task *task, kova_data user_data, kova_data ctx_user_data)
	{
		static_cast<local_fixture *>(ctx_user_data.ptr)
			->completions.push_back({task, user_data.u64, kova_task_get_status(task), false});
	}

	// Submits a task and drives the engine until it completed; returns its status (checked to
	// match the callback that reported it).
	kova_error run(kova_task *task)
	{
		std::size_t const before = completions.size();
		kova_error const submitted = kova_task_submit(task);
		if (submitted != KOVA_SUCCESS)
			return submitted;
		for (int i = 0; i < 100 && completions.size() == before; ++i)
			kova_pe_progress(pe);
		EXPECT_EQ(completions.size(), before + 1);
		if (completions.size() != before + 1)
			return KOVA_ERROR_TIME_OUT;
		const completion &done = completions.back();
		EXPECT_EQ(done.task, task);
		EXPECT_EQ(done.success_callback, done.status == KOVA_SUCCESS);
		return done.status;
	}

	// One buffer holding data, with room for `room` bytes in all.
	kova_buf *input(const bytes &data, std::size_t room = 0)
	{
		std::size_t const len = room > data.size() ? room : data.size();
		uint8_t *at = carve(len);
		if (!data.empty())
			std::memcpy(at, data.data(), data.size());
		return take(at, len, data.size());
	}

	// A list whose elements hold the data cut at the given sizes (the last one takes the rest).
	kova_buf *input_list(const bytes &data, const std::vector<std::size_t> &sizes)
	{
		kova_buf *head = nullptr;
		std::size_t offset = 0;
		for (std::size_t i = 0; i <= sizes.size(); ++i) {
			std::size_t const len = i < sizes.size() ? sizes[i] : data.size() - offset;
			bytes const chunk(data.begin() + static_cast<long>(offset),
					  data.begin() + static_cast<long>(offset + len));
			offset += len;
			head = chain(head, input(chunk));
		}
		return head;
	}

	kova_buf *output(std::size_t room) { return take(carve(room), room, 0); }

	// A list of empty elements of the given rooms.
	kova_buf *output_list(const std::vector<std::size_t> &rooms)
	{
		kova_buf *head = nullptr;
		for (std::size_t room : rooms)
			head = chain(head, output(room));
		return head;
	}

	// The data of every element of a list, in order.
	static bytes contents(const kova_buf *list)
	{
		bytes out;
		for (auto *buf = const_cast<kova_buf *>(list); buf != nullptr;) {
			void *data = nullptr;
			std::size_t len = 0;
			kova_buf_get_data(buf, &data);
			kova_buf_get_data_len(buf, &len);
			out.insert(out.end(), static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + len);
			kova_buf_get_next_in_list(buf, &buf);
		}
		return out;
	}

	static constexpr std::size_t memory_size = 24u << 20;

	kova_devinfo **devinfos = nullptr;
	const kova_devinfo *devinfo = nullptr;
	kova_dev *dev = nullptr;
	kova_pe *pe = nullptr;
	bytes memory;
	std::size_t used = 0;
	kova_mmap *mmap = nullptr;
	kova_buf_inventory *inventory = nullptr;
	std::vector<kova_buf *> heads;
	std::vector<completion> completions;

private:
	uint8_t *carve(std::size_t len)
	{
		used = (used + 63) / 64 * 64;
		uint8_t *at = memory.data() + used;
		used += len;
		EXPECT_LE(used, memory.size()) << "the fixture's memory is too small";
		return at;
	}

	kova_buf *take(uint8_t *at, std::size_t len, std::size_t data_len)
	{
		kova_buf *buf = nullptr;
		EXPECT_EQ(kova_buf_inventory_buf_get_by_args(inventory, mmap, at, len, at, data_len, &buf), KOVA_SUCCESS);
		heads.push_back(buf);
		return buf;
	}

	// Appends a list to another (null: a new list); the result stays the only head to release.
	kova_buf *chain(kova_buf *head, kova_buf *tail)
	{
		if (head == nullptr)
			return tail;
		EXPECT_EQ(kova_buf_chain_list(head, tail), KOVA_SUCCESS);
		heads.pop_back();
		return head;
	}
};

} // namespace kova::sdk_local_test
