// Tests for memory maps exported by one process and imported by another: the descriptor's checks,
// copies in both directions between the two processes, and memory that vanished.
#include "support/copy_library.hpp"

#include <kova/buf.h>
#include <kova/dev.h>
#include <kova/error.h>
#include <kova/mmap.h>
#include <kova/pe.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

constexpr std::size_t region_size = 256 * 1024;

kova_dev *open_first_device()
{
	kova_devinfo **list = nullptr;
	uint32_t count = 0;
	kova_dev *dev = nullptr;
	if (kova_devinfo_create_list(&list, &count) == KOVA_SUCCESS && count != 0)
		kova_dev_open(list[0], &dev);
	kova_devinfo_destroy_list(list);
	return dev;
}

bool read_all(int fd, void *to, std::size_t n)
{
	auto *bytes = static_cast<char *>(to);
	while (n != 0) {
		ssize_t const got = ::read(fd, bytes, n);
		if (got <= 0)
			return false;
		bytes += got;
		n -= static_cast<std::size_t>(got);
	}
	return true;
}

bool write_all(int fd, const void *from, std::size_t n)
{
	auto const *bytes = static_cast<const char *>(from);
	while (n != 0) {
		ssize_t const put = ::write(fd, bytes, n);
		if (put <= 0)
			return false;
		bytes += put;
		n -= static_cast<std::size_t>(put);
	}
	return true;
}

// A child process that exports a region filled with i % 251 and then obeys one-letter commands:
// 'r' sends the region back, 'd' destroys the map (the process stays), 'x' exits.
class exporter {
public:
	exporter()
	{
		int to_child[2];
		int from_child[2];
		if (::pipe(to_child) != 0 || ::pipe(from_child) != 0)
			throw std::runtime_error{"pipe"};
		m_pid = ::fork();
		if (m_pid == 0) {
			::close(to_child[1]);
			::close(from_child[0]);
			serve(to_child[0], from_child[1]);
			::_exit(0);
		}
		::close(to_child[0]);
		::close(from_child[1]);
		m_commands = to_child[1];
		m_replies = from_child[0];
		uint64_t length = 0;
		if (!read_all(m_replies, &length, sizeof(length)) || length == 0 || length > 4096)
			throw std::runtime_error{"no descriptor"};
		descriptor.resize(length);
		read_all(m_replies, descriptor.data(), length);
	}

	~exporter()
	{
		end();
		::close(m_commands);
		::close(m_replies);
	}

	void command(char c)
	{
		write_all(m_commands, &c, 1);
		char ack = 0;
		read_all(m_replies, &ack, 1);
	}

	std::vector<char> region()
	{
		char c = 'r';
		write_all(m_commands, &c, 1);
		std::vector<char> bytes(region_size);
		read_all(m_replies, bytes.data(), bytes.size());
		return bytes;
	}

	void end()
	{
		if (m_pid <= 0)
			return;
		command('x');
		int status = 0;
		::waitpid(m_pid, &status, 0);
		m_pid = -1;
	}

	std::vector<char> descriptor;

private:
	static void serve(int commands, int replies)
	{
		std::vector<char> memory(region_size);
		for (std::size_t i = 0; i != memory.size(); ++i)
			memory[i] = static_cast<char>(i % 251);
		kova_dev *dev = open_first_device();
		kova_mmap *map = nullptr;
		const void *desc = nullptr;
		std::size_t len = 0;
		if (dev == nullptr || kova_mmap_create(&map) != 0 || kova_mmap_add_dev(map, dev) != 0 ||
		    kova_mmap_set_memrange(map, memory.data(), memory.size()) != 0 || kova_mmap_start(map) != 0 ||
		    kova_mmap_export_pci(map, dev, &desc, &len) != 0)
			::_exit(2);
		uint64_t const length = len;
		write_all(replies, &length, sizeof(length));
		write_all(replies, desc, len);
		for (;;) {
			char c = 0;
			if (!read_all(commands, &c, 1) || c == 'x') {
				write_all(replies, &c, 1);
				::_exit(0);
			}
			if (c == 'r') {
				write_all(replies, memory.data(), memory.size());
				continue;
			}
			if (c == 'd' && map != nullptr) {
				kova_mmap_destroy(map);
				map = nullptr;
			}
			write_all(replies, &c, 1);
		}
	}

	pid_t m_pid = -1;
	int m_commands = -1;
	int m_replies = -1;
};

class remote_mmap : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		dev = open_first_device();
		ASSERT_NE(dev, nullptr);
		local.assign(region_size, 0);
		ASSERT_EQ(kova_mmap_create(&local_map), KOVA_SUCCESS);
		ASSERT_EQ(kova_mmap_set_memrange(local_map, local.data(), local.size()), KOVA_SUCCESS);
		ASSERT_EQ(kova_mmap_start(local_map), KOVA_SUCCESS);
		ASSERT_EQ(kova_buf_inventory_create(16, &inventory), KOVA_SUCCESS);
		ASSERT_EQ(kova_buf_inventory_start(inventory), KOVA_SUCCESS);
	}

	void TearDown() override
	{
		for (kova_buf *buf : bufs)
			kova_buf_dec_refcount(buf, nullptr);
		kova_buf_inventory_destroy(inventory);
		if (remote_map != nullptr)
			kova_mmap_destroy(remote_map);
		kova_mmap_destroy(local_map);
		kova_dev_close(dev);
	}

	kova_error import(const std::vector<char> &descriptor)
	{
		return kova_mmap_create_from_export(nullptr, descriptor.data(), descriptor.size(), dev, &remote_map);
	}

	kova_buf *buf(kova_mmap *map, std::size_t offset, std::size_t len, std::size_t data_len)
	{
		void *base = nullptr;
		std::size_t total = 0;
		kova_mmap_get_memrange(map, &base, &total);
		auto *at = static_cast<char *>(base) + offset;
		kova_buf *made = nullptr;
		EXPECT_EQ(kova_buf_inventory_buf_get_by_args(inventory, map, at, len, at, data_len, &made), KOVA_SUCCESS);
		bufs.push_back(made);
		return made;
	}

	static std::size_t data_len(const kova_buf *b)
	{
		std::size_t n = 0;
		kova_buf_get_data_len(b, &n);
		return n;
	}

	kova_dev *dev = nullptr;
	std::vector<char> local;
	kova_mmap *local_map = nullptr;
	kova_mmap *remote_map = nullptr;
	kova_buf_inventory *inventory = nullptr;
	std::vector<kova_buf *> bufs;
};

TEST_F(remote_mmap, copies_real_bytes_between_the_processes_both_ways)
{
	exporter peer;
	ASSERT_EQ(import(peer.descriptor), KOVA_SUCCESS);
	void *base = nullptr;
	std::size_t len = 0;
	ASSERT_EQ(kova_mmap_get_memrange(remote_map, &base, &len), KOVA_SUCCESS);
	EXPECT_EQ(len, region_size);

	// Remote source into local destination, one call.
	kova_buf *src = buf(remote_map, 1000, 70000, 70000);
	kova_buf *dst = buf(local_map, 0, 80000, 0);
	ASSERT_EQ(kova::sdk::list_copy(src, dst), KOVA_SUCCESS);
	EXPECT_EQ(data_len(dst), 70000u);
	for (std::size_t i = 0; i != 70000; ++i)
		ASSERT_EQ(local[i], static_cast<char>((1000 + i) % 251)) << i;

	// Local source into a chained remote destination: the bytes land in the exporter.
	std::memset(local.data() + 100000, 'L', 5000);
	kova_buf *from = buf(local_map, 100000, 5000, 5000);
	kova_buf *to_head = buf(remote_map, 0, 3000, 0);
	kova_buf *to_tail = buf(remote_map, 200000, 4000, 0);
	ASSERT_EQ(kova_buf_chain_list(to_head, to_tail), KOVA_SUCCESS);
	bufs.pop_back();
	ASSERT_EQ(kova::sdk::list_copy(from, to_head), KOVA_SUCCESS);
	EXPECT_EQ(data_len(to_head), 3000u);
	EXPECT_EQ(data_len(to_tail), 2000u);
	auto const region = peer.region();
	EXPECT_EQ(std::string(region.data(), 3000), std::string(3000, 'L'));
	EXPECT_EQ(std::string(region.data() + 200000, 2000), std::string(2000, 'L'));
	EXPECT_EQ(region[200000 + 2000], static_cast<char>((200000 + 2000) % 251));

	// Remote to remote goes through a bounce buffer.
	kova_buf *again = buf(remote_map, 3000, 40000, 40000);
	kova_buf *into = buf(remote_map, 150000, 40000, 0);
	ASSERT_EQ(kova::sdk::list_copy(again, into), KOVA_SUCCESS);
	auto const after = peer.region();
	EXPECT_EQ(std::memcmp(after.data() + 150000, after.data() + 3000, 40000), 0);

	// A destination without room changes nothing.
	kova_buf *small = buf(remote_map, 250000, 10, 0);
	EXPECT_EQ(kova::sdk::list_copy(from, small), KOVA_ERROR_NO_MEMORY);
	EXPECT_EQ(data_len(small), 0u);
}

TEST_F(remote_mmap, malformed_and_foreign_descriptors_are_refused)
{
	exporter peer;
	struct descriptor_case {
		const char *name;
		std::size_t offset; // byte to change; SIZE_MAX: cut the descriptor short
		char value;
		kova_error code;
	};
	// Layout: magic 0, format 8, pid 12, start time 16, addr 24, len 32, live fd 40, nonce 48, uid 56.
	for (auto const &c : {
		     descriptor_case{"cut short", SIZE_MAX, 0, KOVA_ERROR_INVALID_VALUE},
		     descriptor_case{"bad magic", 0, 'x', KOVA_ERROR_INVALID_VALUE},
		     descriptor_case{"other format", 8, 9, KOVA_ERROR_INVALID_VALUE},
		     descriptor_case{"other start time (a reused pid)", 16, 1, KOVA_ERROR_IO_FAILED},
		     descriptor_case{"other nonce (another map)", 48, 1, KOVA_ERROR_IO_FAILED},
		     descriptor_case{"other user", 59, 0x7f, KOVA_ERROR_IO_FAILED},
	     }) {
		SCOPED_TRACE(c.name);
		std::vector<char> descriptor = peer.descriptor;
		if (c.offset == SIZE_MAX)
			descriptor.resize(descriptor.size() - 1);
		else
			descriptor[c.offset] = static_cast<char>(descriptor[c.offset] ^ c.value);
		EXPECT_EQ(import(descriptor), c.code);
		EXPECT_EQ(remote_map, nullptr);
	}
	std::vector<char> zero_length = peer.descriptor;
	std::memset(zero_length.data() + 32, 0, 8);
	EXPECT_EQ(import(zero_length), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(import(peer.descriptor), KOVA_SUCCESS);
}

TEST_F(remote_mmap, memory_that_vanished_fails_the_copy_and_the_import)
{
	for (char const how : {'d', 'x'}) {
		SCOPED_TRACE(how == 'd' ? "map destroyed" : "exporter ended");
		exporter peer;
		ASSERT_EQ(import(peer.descriptor), KOVA_SUCCESS);
		kova_buf *remote_src = buf(remote_map, 0, 4096, 4096);
		kova_buf *local_dst = buf(local_map, 0, 4096, 0);
		kova_buf *local_src = buf(local_map, 8192, 4096, 4096);
		kova_buf *remote_dst = buf(remote_map, 8192, 4096, 0);
		ASSERT_EQ(kova::sdk::list_copy(remote_src, local_dst), KOVA_SUCCESS);
		if (how == 'd')
			peer.command('d');
		else
			peer.end();
		kova_buf_reset_data_len(local_dst);
		EXPECT_EQ(kova::sdk::list_copy(remote_src, local_dst), KOVA_ERROR_IO_FAILED);
		EXPECT_EQ(data_len(local_dst), 0u);
		EXPECT_EQ(kova::sdk::list_copy(local_src, remote_dst), KOVA_ERROR_IO_FAILED);
		EXPECT_EQ(data_len(remote_dst), 0u);
		kova_mmap *again = nullptr;
		EXPECT_EQ(kova_mmap_create_from_export(nullptr, peer.descriptor.data(), peer.descriptor.size(), dev, &again),
			  KOVA_ERROR_IO_FAILED);
		for (kova_buf *b : bufs)
			kova_buf_dec_refcount(b, nullptr);
		bufs.clear();
		EXPECT_EQ(kova_mmap_destroy(remote_map), KOVA_SUCCESS);
		remote_map = nullptr;
	}
}

void count_completion(kova_task *task, kova_data, kova_data ctx_user_data)
{
	auto *statuses = static_cast<std::vector<kova_error> *>(ctx_user_data.ptr);
	statuses->push_back(kova_task_get_status(task));
}

TEST_F(remote_mmap, tasks_reach_remote_memory_only_in_kinds_that_can_and_report_vanished_memory)
{
	exporter peer;
	ASSERT_EQ(import(peer.descriptor), KOVA_SUCCESS);
	kova_pe *pe = nullptr;
	ASSERT_EQ(kova_pe_create(&pe), KOVA_SUCCESS);
	auto *copier = kova::sdk_test::copy_create();
	std::vector<kova_error> statuses;
	ASSERT_EQ(kova_ctx_set_user_data(kova::sdk_test::copy_as_ctx(copier), kova_data{.ptr = &statuses}), KOVA_SUCCESS);
	ASSERT_EQ(kova::sdk_test::copy_set_conf(copier, count_completion, count_completion, 2), KOVA_SUCCESS);
	ASSERT_EQ(kova_pe_connect_ctx(pe, kova::sdk_test::copy_as_ctx(copier)), KOVA_SUCCESS);
	ASSERT_EQ(kova_ctx_start(kova::sdk_test::copy_as_ctx(copier)), KOVA_SUCCESS);

	kova_buf *src = buf(remote_map, 0, 1024, 1024);
	kova_buf *dst = buf(local_map, 0, 1024, 0);
	kova::sdk_test::copy_task *task = nullptr;
	ASSERT_EQ(kova::sdk_test::copy_alloc_init(copier, src, dst, kova_data{.u64 = 1}, &task), KOVA_SUCCESS);
	EXPECT_EQ(kova_task_submit(&task->task), KOVA_ERROR_NOT_SUPPORTED);

	copier->copy.remote_access = true;
	ASSERT_EQ(kova_task_submit(&task->task), KOVA_SUCCESS);
	while (statuses.empty())
		kova_pe_progress(pe);
	EXPECT_EQ(statuses.back(), KOVA_SUCCESS);
	EXPECT_EQ(local[5], static_cast<char>(5));

	peer.end();
	kova_buf_reset_data_len(dst);
	ASSERT_EQ(kova_task_submit(&task->task), KOVA_SUCCESS);
	while (statuses.size() != 2)
		kova_pe_progress(pe);
	EXPECT_EQ(statuses.back(), KOVA_ERROR_IO_FAILED);
	EXPECT_EQ(data_len(dst), 0u);

	kova_task_free(&task->task);
	kova_ctx_stop(kova::sdk_test::copy_as_ctx(copier));
	EXPECT_EQ(kova::sdk_test::copy_destroy(copier), KOVA_SUCCESS);
	kova_pe_destroy(pe);
}

} // namespace
