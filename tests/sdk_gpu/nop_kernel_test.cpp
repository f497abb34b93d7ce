// The nop kernel on the emulated GPU: launch, per-thread counters, stop byte, synchronisation.
#include <kova/bench_rhun_impl.h>
#include <kova/test_gpu.h>
#include <kova/error.h>
#include <kova/tessel.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>

namespace {

// The nop kernel's parameter block as the benchmark lays it out.
struct nop_block {
	uint32_t blocks;
	uint32_t threads_per_block;
	void *stop_flag;
	void *counters;
};
static_assert(offsetof(nop_block, threads_per_block) == 4 && offsetof(nop_block, stop_flag) == 8 &&
	      offsetof(nop_block, counters) == 16 && sizeof(nop_block) == 24);

class nop_kernel : public testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(kova_gpu_create("65:00.0", &gpu), KOVA_SUCCESS);
		ASSERT_EQ(kova_gpu_mem_alloc(gpu, 1, 4096, 1, &stop_gpu, &stop_cpu), KOVA_SUCCESS);
		ASSERT_EQ(kova_gpu_mem_alloc(gpu, threads * 16, 4096, 1, &counters_gpu, &counters_cpu), KOVA_SUCCESS);
		std::memset(counters_cpu, 0, threads * 16);
		*static_cast<uint8_t *>(stop_cpu) = 0;
		std::memset(&block, 0, sizeof(block));
		block = nop_block{2, 32, stop_gpu, counters_gpu};
	}

	void TearDown() override
	{
		stop_byte().store(1);
		EXPECT_EQ(kova_bench_rhun_device_synchronize(), KOVA_SUCCESS);
		EXPECT_EQ(kova_gpu_mem_free(gpu, counters_gpu), KOVA_SUCCESS);
		EXPECT_EQ(kova_gpu_mem_free(gpu, stop_gpu), KOVA_SUCCESS);
		EXPECT_EQ(kova_gpu_destroy(gpu), KOVA_SUCCESS);
		kova_test_gpu_record_params(0);
	}

	std::atomic_ref<uint8_t> stop_byte() { return std::atomic_ref<uint8_t>{*static_cast<uint8_t *>(stop_cpu)}; }
	uint64_t counter(uint32_t record, uint32_t which)
	{
		return std::atomic_ref<uint64_t>{static_cast<uint64_t *>(counters_cpu)[2 * record + which]}.load();
	}

	static constexpr uint32_t threads = 64;
	kova_gpu *gpu = nullptr;
	void *stop_gpu = nullptr;
	void *stop_cpu = nullptr;
	void *counters_gpu = nullptr;
	void *counters_cpu = nullptr;
	nop_block block{};
};

TEST_F(nop_kernel, every_gpu_thread_counts_until_the_stop_byte_and_the_end_is_marked)
{
	ASSERT_EQ(kova_bench_rhun_start_nop_kernel(&block), KOVA_SUCCESS);
	auto const limit = std::chrono::steady_clock::now() + std::chrono::seconds{5};
	for (uint32_t record = 0; record < threads; ++record) {
		while (counter(record, 0) == 0 && std::chrono::steady_clock::now() < limit)
			std::this_thread::yield();
		EXPECT_GT(counter(record, 0), 0U) << "record " << record;
		EXPECT_EQ(counter(record, 1), 0U) << "record " << record;
	}
	// Memory the running kernel uses cannot be freed.
	EXPECT_EQ(kova_gpu_mem_free(gpu, counters_gpu), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_test_gpu_running_kernels(), 1U);

	auto const stopped = std::chrono::steady_clock::now();
	stop_byte().store(1, std::memory_order_release);
	ASSERT_EQ(kova_bench_rhun_device_synchronize(), KOVA_SUCCESS);
	EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds{50});
	EXPECT_EQ(stop_byte().load(), 2);
	EXPECT_EQ(kova_test_gpu_running_kernels(), 0U);
	// Nothing counts any more.
	uint64_t const before = counter(0, 0);
	std::this_thread::sleep_for(std::chrono::milliseconds{5});
	EXPECT_EQ(counter(0, 0), before);
}

TEST_F(nop_kernel, the_launcher_copies_its_block_at_once)
{
	kova_test_gpu_record_params(1);
	ASSERT_EQ(kova_bench_rhun_start_nop_kernel(&block), KOVA_SUCCESS);
	nop_block const launched = block;
	// The caller's block may change right after the launch.
	block.counters = nullptr;
	unsigned char recorded[64] = {};
	ASSERT_EQ(kova_test_gpu_recorded_params("kova_bench_rhun_start_nop_kernel", recorded, sizeof(recorded)),
		  sizeof(nop_block));
	EXPECT_EQ(std::memcmp(recorded, &launched, sizeof(launched)), 0);
	auto const limit = std::chrono::steady_clock::now() + std::chrono::seconds{5};
	while (counter(threads - 1, 0) == 0 && std::chrono::steady_clock::now() < limit)
		std::this_thread::yield();
	EXPECT_GT(counter(threads - 1, 0), 0U);
}

TEST_F(nop_kernel, malformed_blocks_are_refused_with_6)
{
	int not_gpu_memory = 0;
	struct row {
		const char *what;
		nop_block block;
	};
	row const rows[] = {
		{"no blocks", {0, 32, stop_gpu, counters_gpu}},
		{"no threads", {2, 0, stop_gpu, counters_gpu}},
		{"more than 2^32 - 1 GPU threads", {65536, 65536, stop_gpu, counters_gpu}},
		{"counters larger than their memory", {3, 32, stop_gpu, counters_gpu}},
		{"stop byte outside GPU memory", {2, 32, &not_gpu_memory, counters_gpu}},
		{"no counters", {2, 32, stop_gpu, nullptr}},
	};
	for (row const &r : rows)
		EXPECT_EQ(kova_bench_rhun_start_nop_kernel(&r.block), KOVA_ERROR_INVALID_VALUE) << r.what;
	EXPECT_EQ(kova_bench_rhun_start_nop_kernel(nullptr), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_test_gpu_running_kernels(), 0U);
}

TEST(kernel_launch_library, queries_and_malformed_ethernet_blocks)
{
	EXPECT_EQ(kova_bench_rhun_init(), KOVA_SUCCESS);
	testing::internal::CaptureStdout();
	EXPECT_EQ(kova_bench_rhun_device_query("65:00.0"), KOVA_SUCCESS);
	EXPECT_NE(testing::internal::GetCapturedStdout().find("software path"), std::string::npos);
	EXPECT_EQ(kova_bench_rhun_device_query("81:00.0"), KOVA_ERROR_NOT_FOUND);
	// The Ethernet kernels take no block without geometry, counters and queues, and launch nothing.
	uint64_t const block[8] = {};
	EXPECT_EQ(kova_bench_rhun_start_eth_recv_kernel(block), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_bench_rhun_start_eth_send_kernel(block), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_bench_rhun_start_eth_bidir_kernel(block), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_bench_rhun_start_eth_bidir_kernel(nullptr), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_test_gpu_running_kernels(), 0U);
	EXPECT_EQ(kova_bench_rhun_device_synchronize(), KOVA_SUCCESS);
}

} // namespace
