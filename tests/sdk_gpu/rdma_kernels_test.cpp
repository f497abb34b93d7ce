// The RDMA kernels between two processes: the receiver (this process) and the sender (a forked
// child), each with its queue pair's data path on its emulated GPU, paced by the flags; and the
// send kernel feeding a receiver whose data path stays on the CPU.
#include "sdk_gpu/gpu_side.hpp"

#include <kova_internal/gpu_handles.hpp>

#include <kova/bench_rhun_impl.h>
#include <kova/buf.h>
#include <kova/ctx.h>
#include <kova/rdma.h>
#include <kova/task.h>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace kova::gpu_test {
namespace {

constexpr uint32_t threads = 32;
constexpr uint32_t message_size = 64;

struct rdma_block {
	uint32_t blocks;
	uint32_t threads_per_block;
	void *stop_flag;
	void *counters;
	kova_gpu_dev_rdma *rdma;
	kova_gpu_buf_arr *buffers;
	kova_gpu_buf_arr *local_flag;
	kova_gpu_buf_arr *remote_flag;
	uint32_t buffer_size;
};
static_assert(offsetof(rdma_block, rdma) == 24 && offsetof(rdma_block, buffer_size) == 56 && sizeof(rdma_block) == 64);

uint8_t pattern(std::size_t i)
{
	return static_cast<uint8_t>(i * 13 + 5);
}

// Length-prefixed byte strings over the control socket.
bool send_bytes(int fd, const void *bytes, uint32_t len)
{
	return ::write(fd, &len, sizeof(len)) == sizeof(len) && ::write(fd, bytes, len) == static_cast<ssize_t>(len);
}

std::vector<uint8_t> receive_bytes(int fd)
{
	uint32_t len = 0;
	pollfd entry{fd, POLLIN, 0};
	if (::poll(&entry, 1, 10000) != 1 || ::read(fd, &len, sizeof(len)) != sizeof(len) || len > (1U << 20))
		return {};
	std::vector<uint8_t> bytes(len);
	std::size_t got = 0;
	while (got < len) {
		ssize_t const n = ::read(fd, bytes.data() + got, len - got);
		if (n <= 0)
			return {};
		got += static_cast<std::size_t>(n);
	}
	return bytes;
}

// One end: its queue pair connected to the peer's, its data buffers, flag, stop byte and counters.
struct end_point {
	explicit end_point(int control) : control{control} {}

	bool connect()
	{
		if (kova_rdma_create(side.dev, &rdma) != KOVA_SUCCESS ||
		    kova_ctx_set_datapath_on_gpu(kova_rdma_as_ctx(rdma), side.gpu) != KOVA_SUCCESS ||
		    kova_pe_connect_ctx(side.pe, kova_rdma_as_ctx(rdma)) != KOVA_SUCCESS ||
		    kova_ctx_start(kova_rdma_as_ctx(rdma)) != KOVA_SUCCESS ||
		    kova_rdma_get_gpu_handle(rdma, &handle) != KOVA_SUCCESS)
			return false;
		const void *details = nullptr;
		size_t size = 0;
		kova_rdma_connection *connection = nullptr;
		if (kova_rdma_export(rdma, &details, &size, &connection) != KOVA_SUCCESS ||
		    !send_bytes(control, details, static_cast<uint32_t>(size)))
			return false;
		auto const remote = receive_bytes(control);
		if (remote.empty() || kova_rdma_connect(rdma, remote.data(), remote.size(), connection) != KOVA_SUCCESS)
			return false;
		auto const limit = std::chrono::steady_clock::now() + std::chrono::seconds{10};
		kova_ctx_states state = KOVA_CTX_STATE_IDLE;
		while (kova_ctx_get_state(kova_rdma_as_ctx(rdma), &state) == KOVA_SUCCESS &&
		       state != KOVA_CTX_STATE_RUNNING && std::chrono::steady_clock::now() < limit)
			kova_pe_progress(side.pe);
		return state == KOVA_CTX_STATE_RUNNING && handle->fd.load() >= 0;
	}

	// Data, flag, stop byte and counters; when paced, the flag's export goes to the peer and the
	// peer's comes back.
	bool prepare(bool fill, bool paced = true)
	{
		data = side.make_region(threads * message_size);
		flag = side.make_region(8);
		if (fill) {
			for (std::size_t i = 0; i < threads * message_size; ++i)
				static_cast<uint8_t *>(data.on_cpu)[i] = pattern(i);
		}
		data_array = side.publish(data.mmap, threads, message_size, &block.buffers);
		flag_array = side.publish(flag.mmap, 1, 8, &block.local_flag);
		if (!paced)
			block.local_flag = nullptr;
		const void *descriptor = nullptr;
		size_t length = 0;
		if (paced) {
			if (kova_mmap_export_rdma(flag.mmap, side.dev, &descriptor, &length) != KOVA_SUCCESS ||
			    !send_bytes(control, descriptor, static_cast<uint32_t>(length)))
				return false;
			auto const peer_flag = receive_bytes(control);
			if (peer_flag.empty() || kova_mmap_create_from_export(nullptr, peer_flag.data(), peer_flag.size(),
									      side.dev, &remote_flag) != KOVA_SUCCESS)
				return false;
			remote_array = side.publish(remote_flag, 1, 8, &block.remote_flag);
		}
		if (kova_gpu_mem_alloc(side.gpu, 1, 4096, 1, &stop_gpu, &stop_cpu) != KOVA_SUCCESS ||
		    kova_gpu_mem_alloc(side.gpu, threads * 16, 4096, 1, &counters_gpu, &counters_cpu) != KOVA_SUCCESS)
			return false;
		*static_cast<uint8_t *>(stop_cpu) = 0;
		std::memset(counters_cpu, 0, threads * 16);
		block.blocks = 1;
		block.threads_per_block = threads;
		block.stop_flag = stop_gpu;
		block.counters = counters_gpu;
		block.rdma = handle;
		block.buffer_size = message_size;
		return true;
	}

	// Raises the stop byte and waits for the kernel's end mark.
	bool stop()
	{
		std::atomic_ref<uint8_t> byte{*static_cast<uint8_t *>(stop_cpu)};
		byte.store(1);
		auto const limit = std::chrono::steady_clock::now() + std::chrono::seconds{2};
		while (byte.load() != 2 && std::chrono::steady_clock::now() < limit)
			std::this_thread::sleep_for(std::chrono::microseconds{100});
		return byte.load() == 2;
	}

	uint64_t counter(uint32_t record, uint32_t which)
	{
		return std::atomic_ref<uint64_t>{static_cast<uint64_t *>(counters_cpu)[2 * record + which]}.load();
	}

	uint64_t total(uint32_t which)
	{
		uint64_t sum = 0;
		for (uint32_t t = 0; t < threads; ++t)
			sum += counter(t, which);
		return sum;
	}

	void release()
	{
		if (remote_array != nullptr)
			kova_buf_arr_destroy(remote_array);
		kova_buf_arr_destroy(flag_array);
		kova_buf_arr_destroy(data_array);
		if (remote_flag != nullptr)
			kova_mmap_destroy(remote_flag);
		kova_ctx_stop(kova_rdma_as_ctx(rdma));
		kova_rdma_destroy(rdma);
		side.free_region(flag);
		side.free_region(data);
		kova_gpu_mem_free(side.gpu, counters_gpu);
		kova_gpu_mem_free(side.gpu, stop_gpu);
	}

	int control;
	gpu_side side;
	kova_rdma *rdma = nullptr;
	kova_gpu_dev_rdma *handle = nullptr;
	gpu_side::region data;
	gpu_side::region flag;
	kova_mmap *remote_flag = nullptr;
	kova_buf_arr *data_array = nullptr;
	kova_buf_arr *flag_array = nullptr;
	kova_buf_arr *remote_array = nullptr;
	void *stop_gpu = nullptr;
	void *stop_cpu = nullptr;
	void *counters_gpu = nullptr;
	void *counters_cpu = nullptr;
	rdma_block block{};
};

// The sender's process: sends until told to stop, then reports its totals. Unpaced, it sends
// without waiting for a flag.
int run_sender(int control, bool paced = true)
{
	end_point sender{control};
	if (!sender.connect() || !sender.prepare(true, paced)) {
		std::fprintf(stderr, "sender: set-up failed\n");
		return 1;
	}
	// The sender reads only its own flag.
	sender.block.remote_flag = nullptr;
	if (kova_bench_rhun_start_rdma_send_kernel(&sender.block) != KOVA_SUCCESS) {
		std::fprintf(stderr, "sender: launch failed\n");
		return 1;
	}
	auto const order = receive_bytes(control);
	bool const stopped = sender.stop();
	// The ended kernel's threads are joined before the process exits.
	kova_bench_rhun_device_synchronize();
	uint64_t const totals[2] = {sender.total(0), sender.total(1)};
	send_bytes(control, totals, sizeof(totals));
	sender.release();
	return stopped && !order.empty() ? 0 : 1;
}

TEST(rdma_kernels, move_messages_between_two_processes_paced_by_the_flags)
{
	int pair[2];
	ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
	pid_t const child = ::fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		::close(pair[0]);
		::_exit(run_sender(pair[1]));
	}
	::close(pair[1]);
	{
		end_point receiver{pair[0]};
		ASSERT_TRUE(receiver.connect());
		ASSERT_TRUE(receiver.prepare(false));
		ASSERT_EQ(kova_bench_rhun_start_rdma_recv_kernel(&receiver.block), KOVA_SUCCESS);
		// Every GPU thread receives messages of the full size.
		auto const limit = std::chrono::steady_clock::now() + std::chrono::seconds{10};
		while (receiver.counter(threads - 1, 0) < 3 && std::chrono::steady_clock::now() < limit)
			std::this_thread::sleep_for(std::chrono::milliseconds{1});
		ASSERT_TRUE(receiver.stop());
		ASSERT_EQ(kova_bench_rhun_device_synchronize(), KOVA_SUCCESS);
		for (uint32_t t = 0; t < threads; ++t) {
			EXPECT_GT(receiver.counter(t, 0), 0U) << "thread " << t;
			EXPECT_EQ(receiver.counter(t, 1), receiver.counter(t, 0) * message_size) << "thread " << t;
		}
		// Buffer t holds what the sender's buffer t holds.
		auto const *received = static_cast<const uint8_t *>(receiver.data.on_cpu);
		for (std::size_t i = 0; i < threads * message_size; ++i)
			ASSERT_EQ(received[i], pattern(i)) << "byte " << i;
		uint64_t const received_jobs = receiver.total(0);
		// The receiver's flag was not written by the peer: the sender reads its own.
		EXPECT_EQ(*static_cast<uint64_t *>(receiver.flag.on_cpu), 0U);

		char const order = 's';
		ASSERT_TRUE(send_bytes(pair[0], &order, 1));
		auto const totals = receive_bytes(pair[0]);
		ASSERT_EQ(totals.size(), 16U);
		uint64_t sent[2];
		std::memcpy(sent, totals.data(), sizeof(sent));
		// The sender is at most one round ahead of what its flag allowed.
		EXPECT_GE(sent[0], received_jobs);
		EXPECT_LE(sent[0], received_jobs + 2 * threads);
		EXPECT_EQ(sent[1], sent[0] * message_size);
		receiver.release();
	}
	int status = 0;
	ASSERT_EQ(::waitpid(child, &status, 0), child);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
	::close(pair[0]);
}

// A receiver whose queue pair keeps its data path on the CPU: receives posted into host memory.
struct cpu_receiver {
	static constexpr uint32_t count = 3 * threads;

	explicit cpu_receiver(int control) : control{control} {}

	static void on_done(kova_task *task, kova_data user_data, kova_data /*ctx_user_data*/)
	{
		auto *self = static_cast<cpu_receiver *>(user_data.ptr);
		self->statuses.push_back(kova_task_get_status(task));
		for (uint32_t i = 0; i < count; ++i) {
			if (kova_rdma_task_receive_as_task(self->tasks[i]) == task)
				self->order.push_back(i);
		}
	}

	bool connect_and_post()
	{
		if (kova_rdma_create(side.dev, &rdma) != KOVA_SUCCESS ||
		    kova_rdma_task_receive_set_conf(rdma, on_done, on_done, count) != KOVA_SUCCESS ||
		    kova_pe_connect_ctx(side.pe, kova_rdma_as_ctx(rdma)) != KOVA_SUCCESS ||
		    kova_ctx_start(kova_rdma_as_ctx(rdma)) != KOVA_SUCCESS)
			return false;
		memory.assign(std::size_t{count} * message_size, 0);
		if (kova_mmap_create(&mmap) != KOVA_SUCCESS ||
		    kova_mmap_set_memrange(mmap, memory.data(), memory.size()) != KOVA_SUCCESS ||
		    kova_mmap_set_permissions(mmap, 5) != KOVA_SUCCESS || kova_mmap_add_dev(mmap, side.dev) != KOVA_SUCCESS ||
		    kova_mmap_start(mmap) != KOVA_SUCCESS || kova_buf_inventory_create(count, &inventory) != KOVA_SUCCESS ||
		    kova_buf_inventory_start(inventory) != KOVA_SUCCESS)
			return false;
		for (uint32_t i = 0; i < count; ++i) {
			uint8_t *at = memory.data() + std::size_t{i} * message_size;
			kova_buf *&buf = bufs[i];
			if (kova_buf_inventory_buf_get_by_args(inventory, mmap, at, message_size, at, 0, &buf) != KOVA_SUCCESS ||
			    kova_rdma_task_receive_allocate_init(rdma, buf, kova_data{.ptr = this}, &tasks[i]) != KOVA_SUCCESS ||
			    kova_task_submit(kova_rdma_task_receive_as_task(tasks[i])) != KOVA_SUCCESS)
				return false;
		}
		const void *details = nullptr;
		size_t size = 0;
		kova_rdma_connection *connection = nullptr;
		if (kova_rdma_export(rdma, &details, &size, &connection) != KOVA_SUCCESS ||
		    !send_bytes(control, details, static_cast<uint32_t>(size)))
			return false;
		auto const remote = receive_bytes(control);
		return !remote.empty() && kova_rdma_connect(rdma, remote.data(), remote.size(), connection) == KOVA_SUCCESS;
	}

	void release()
	{
		kova_ctx_stop(kova_rdma_as_ctx(rdma));
		for (int i = 0; i < 1000 && kova_pe_progress(side.pe) != 0; ++i) {
		}
		for (auto *task : tasks) {
			if (task != nullptr) {
				EXPECT_EQ(kova_task_free(kova_rdma_task_receive_as_task(task)), KOVA_SUCCESS);
			}
		}
		for (auto *buf : bufs) {
			if (buf != nullptr) {
				EXPECT_EQ(kova_buf_dec_refcount(buf, nullptr), KOVA_SUCCESS);
			}
		}
		EXPECT_EQ(kova_rdma_destroy(rdma), KOVA_SUCCESS);
		EXPECT_EQ(kova_buf_inventory_destroy(inventory), KOVA_SUCCESS);
		EXPECT_EQ(kova_mmap_destroy(mmap), KOVA_SUCCESS);
	}

	int control;
	gpu_side side;
	kova_rdma *rdma = nullptr;
	std::vector<uint8_t> memory;
	kova_mmap *mmap = nullptr;
	kova_buf_inventory *inventory = nullptr;
	kova_buf *bufs[count] = {};
	kova_rdma_task_receive *tasks[count] = {};
	std::vector<kova_error> statuses;
	std::vector<uint32_t> order;
};

TEST(rdma_kernels, a_cpu_receiver_takes_the_send_kernels_messages_in_order)
{
	int pair[2];
	ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
	pid_t const child = ::fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		::close(pair[0]);
		::_exit(run_sender(pair[1], false));
	}
	::close(pair[1]);
	{
		cpu_receiver receiver{pair[0]};
		ASSERT_TRUE(receiver.connect_and_post());
		auto const limit = std::chrono::steady_clock::now() + std::chrono::seconds{10};
		while (receiver.statuses.size() < cpu_receiver::count && std::chrono::steady_clock::now() < limit)
			kova_pe_progress(receiver.side.pe);
		ASSERT_EQ(receiver.statuses.size(), cpu_receiver::count);
		for (uint32_t i = 0; i < cpu_receiver::count; ++i) {
			EXPECT_EQ(receiver.statuses[i], KOVA_SUCCESS) << i;
			// Receives complete in the order they were posted, one whole message each.
			EXPECT_EQ(receiver.order[i], i);
			EXPECT_EQ(kova_rdma_task_receive_get_result_len(receiver.tasks[i]), message_size) << i;
		}
		// Receive i holds what the sender's GPU thread i mod threads sent from its buffer.
		for (std::size_t byte = 0; byte < receiver.memory.size(); ++byte) {
			std::size_t const from = (byte / message_size) % threads * message_size + byte % message_size;
			ASSERT_EQ(receiver.memory[byte], pattern(from)) << "byte " << byte;
		}

		char const order = 's';
		ASSERT_TRUE(send_bytes(pair[0], &order, 1));
		auto const totals = receive_bytes(pair[0]);
		ASSERT_EQ(totals.size(), 16U);
		uint64_t sent[2];
		std::memcpy(sent, totals.data(), sizeof(sent));
		EXPECT_GE(sent[0], uint64_t{cpu_receiver::count});
		EXPECT_EQ(sent[1], sent[0] * message_size);
		receiver.release();
	}
	int status = 0;
	ASSERT_EQ(::waitpid(child, &status, 0), child);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
	::close(pair[0]);
}

} // namespace
} // namespace kova::gpu_test
