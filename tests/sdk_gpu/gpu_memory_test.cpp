// GPU handles and GPU memory of the emulated GPU.
#include <kova/error.h>
#include <kova/tessel.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

class gpu_memory : public testing::Test {
protected:
	void SetUp() override { ASSERT_EQ(kova_gpu_create("65:00.0", &gpu), KOVA_SUCCESS); }
	void TearDown() override { EXPECT_EQ(kova_gpu_destroy(gpu), KOVA_SUCCESS); }

	kova_gpu *gpu = nullptr;
};

TEST(gpu_handle, only_the_emulated_gpu_opens)
{
	struct row {
		const char *address;
		kova_error expected;
	};
	for (row const &r : {row{"65:00.0", KOVA_SUCCESS}, row{"0000:65:00.0", KOVA_SUCCESS},
			     row{"0000:81:00.0", KOVA_ERROR_NOT_FOUND}, row{"65:00.1", KOVA_ERROR_NOT_FOUND},
			     row{"gpu0", KOVA_ERROR_NOT_FOUND}}) {
		kova_gpu *gpu = nullptr;
		EXPECT_EQ(kova_gpu_create(r.address, &gpu), r.expected) << r.address;
		EXPECT_EQ(gpu != nullptr, r.expected == KOVA_SUCCESS) << r.address;
		if (gpu != nullptr) {
			EXPECT_EQ(kova_gpu_destroy(gpu), KOVA_SUCCESS);
		}
	}
	kova_gpu *gpu = nullptr;
	EXPECT_EQ(kova_gpu_create(nullptr, &gpu), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_gpu_create("65:00.0", nullptr), KOVA_ERROR_INVALID_VALUE);
}

TEST_F(gpu_memory, host_visible_memory_has_two_addresses_over_the_same_bytes)
{
	void *on_gpu = nullptr;
	void *on_cpu = nullptr;
	ASSERT_EQ(kova_gpu_mem_alloc(gpu, 100, 4096, KOVA_GPU_MEM_TYPE_GPU_CPU, &on_gpu, &on_cpu), KOVA_SUCCESS);
	ASSERT_NE(on_gpu, nullptr);
	ASSERT_NE(on_cpu, nullptr);
#if !defined(__SANITIZE_THREAD__)
	EXPECT_NE(on_gpu, on_cpu);
#endif
	EXPECT_EQ(reinterpret_cast<uintptr_t>(on_gpu) % 4096, 0U);
	std::memcpy(on_cpu, "written by the cpu", 19);
	EXPECT_EQ(std::memcmp(on_gpu, "written by the cpu", 19), 0);
	EXPECT_EQ(kova_gpu_mem_free(gpu, on_gpu), KOVA_SUCCESS);
}

TEST_F(gpu_memory, fresh_memory_holds_poison_never_zero)
{
	for (uint32_t type : {0U, 1U, 2U}) {
		void *on_gpu = nullptr;
		void *on_cpu = reinterpret_cast<void *>(1);
		ASSERT_EQ(kova_gpu_mem_alloc(gpu, 64, 0, type, &on_gpu, &on_cpu), KOVA_SUCCESS) << type;
		auto const *bytes = static_cast<const uint8_t *>(on_gpu);
		for (int i = 0; i < 64; ++i)
			ASSERT_NE(bytes[i], 0) << "type " << type << " byte " << i;
		// Device-only memory has no host address.
		EXPECT_EQ(on_cpu == nullptr, type == 0) << type;
		EXPECT_EQ(kova_gpu_mem_free(gpu, on_gpu), KOVA_SUCCESS);
	}
}

TEST_F(gpu_memory, malformed_allocations_are_refused_with_6)
{
	void *on_gpu = nullptr;
	void *on_cpu = nullptr;
	EXPECT_EQ(kova_gpu_mem_alloc(gpu, 0, 4096, 1, &on_gpu, &on_cpu), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_gpu_mem_alloc(gpu, 8, 3000, 1, &on_gpu, &on_cpu), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_gpu_mem_alloc(gpu, 8, 4096, 7, &on_gpu, &on_cpu), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_gpu_mem_alloc(nullptr, 8, 4096, 1, &on_gpu, &on_cpu), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_gpu_mem_alloc(gpu, 8, 4096, 1, nullptr, &on_cpu), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(on_gpu, nullptr);
}

TEST_F(gpu_memory, freeing_what_is_not_an_allocation_is_refused)
{
	void *on_gpu = nullptr;
	void *on_cpu = nullptr;
	ASSERT_EQ(kova_gpu_mem_alloc(gpu, 4096, 0, 1, &on_gpu, &on_cpu), KOVA_SUCCESS);
	int local = 0;
	EXPECT_EQ(kova_gpu_mem_free(gpu, &local), KOVA_ERROR_INVALID_VALUE);
	// Inside an allocation but not its start; the CPU address is not the GPU address.
	EXPECT_EQ(kova_gpu_mem_free(gpu, static_cast<char *>(on_gpu) + 8), KOVA_ERROR_INVALID_VALUE);
#if !defined(__SANITIZE_THREAD__)
	EXPECT_EQ(kova_gpu_mem_free(gpu, on_cpu), KOVA_ERROR_INVALID_VALUE);
#endif
	// Another GPU handle's memory.
	kova_gpu *other = nullptr;
	ASSERT_EQ(kova_gpu_create("65:00.0", &other), KOVA_SUCCESS);
	EXPECT_EQ(kova_gpu_mem_free(other, on_gpu), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_gpu_destroy(other), KOVA_SUCCESS);
	// A GPU whose memory is still allocated stays.
	EXPECT_EQ(kova_gpu_destroy(gpu), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_gpu_mem_free(gpu, on_gpu), KOVA_SUCCESS);
	EXPECT_EQ(kova_gpu_mem_free(gpu, on_gpu), KOVA_ERROR_INVALID_VALUE);
}

TEST_F(gpu_memory, the_emulated_gpu_has_no_dmabuf)
{
	void *on_gpu = nullptr;
	ASSERT_EQ(kova_gpu_mem_alloc(gpu, 4096, 0, 0, &on_gpu, nullptr), KOVA_SUCCESS);
	int fd = -1;
	EXPECT_EQ(kova_gpu_dmabuf_fd(gpu, on_gpu, 4096, &fd), KOVA_ERROR_NOT_SUPPORTED);
	EXPECT_EQ(fd, -1);
	EXPECT_EQ(kova_gpu_mem_free(gpu, on_gpu), KOVA_SUCCESS);
}

} // namespace
