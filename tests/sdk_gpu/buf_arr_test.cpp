// Buffer arrays over GPU memory, contexts with their data path on the GPU, and RDMA exports.
#include "sdk_gpu/gpu_side.hpp"

#include <kova_internal/gpu_handles.hpp>

#include <kova/buf_arr.h>
#include <kova/ctx.h>
#include <kova/rdma.h>

#include <gtest/gtest.h>

namespace kova::gpu_test {
namespace {

TEST(buf_arr, publishes_equal_elements_of_a_started_map_and_holds_the_map)
{
	gpu_side side;
	auto region = side.make_region(4 * 256 + 64);
	kova_buf_arr *array = nullptr;
	EXPECT_EQ(kova_buf_arr_create(0, &array), KOVA_ERROR_INVALID_VALUE);
	ASSERT_EQ(kova_buf_arr_create(4, &array), KOVA_SUCCESS);
	kova_gpu_buf_arr *handle = nullptr;
	EXPECT_EQ(kova_buf_arr_get_gpu_handle(array, &handle), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_buf_arr_start(array), KOVA_ERROR_BAD_STATE);
	// Four elements of 256 bytes after 64 fit; 65 do not.
	EXPECT_EQ(kova_buf_arr_set_params(array, region.mmap, 256, 65), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_buf_arr_set_params(array, region.mmap, 0, 0), KOVA_ERROR_INVALID_VALUE);
	ASSERT_EQ(kova_buf_arr_set_params(array, region.mmap, 256, 64), KOVA_SUCCESS);
	EXPECT_EQ(kova_buf_arr_start(array), KOVA_ERROR_BAD_STATE); // no target GPU yet
	ASSERT_EQ(kova_buf_arr_set_target_gpu(array, side.gpu), KOVA_SUCCESS);
	ASSERT_EQ(kova_buf_arr_start(array), KOVA_SUCCESS);
	ASSERT_EQ(kova_buf_arr_get_gpu_handle(array, &handle), KOVA_SUCCESS);
	EXPECT_EQ(handle->base, static_cast<std::byte *>(region.on_gpu) + 64);
	EXPECT_EQ(handle->elem_size, 256U);
	EXPECT_EQ(handle->num_elems, 4U);
	EXPECT_EQ(handle->pid, 0);
	// The map stays while the array is published.
	EXPECT_EQ(kova_mmap_destroy(region.mmap), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_buf_arr_destroy(array), KOVA_SUCCESS);
	side.free_region(region);
}

TEST(buf_arr, a_map_that_is_not_started_is_refused)
{
	gpu_side side;
	kova_mmap *mmap = nullptr;
	ASSERT_EQ(kova_mmap_create(&mmap), KOVA_SUCCESS);
	kova_buf_arr *array = nullptr;
	ASSERT_EQ(kova_buf_arr_create(1, &array), KOVA_SUCCESS);
	EXPECT_EQ(kova_buf_arr_set_params(array, mmap, 8, 0), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_buf_arr_destroy(array), KOVA_SUCCESS);
	EXPECT_EQ(kova_mmap_destroy(mmap), KOVA_SUCCESS);
}

TEST(gpu_datapath, only_an_idle_context_moves_its_data_path_and_then_has_a_gpu_handle)
{
	gpu_side side;
	kova_rdma *rdma = nullptr;
	ASSERT_EQ(kova_rdma_create(side.dev, &rdma), KOVA_SUCCESS);
	kova_gpu_dev_rdma *handle = nullptr;
	EXPECT_EQ(kova_rdma_get_gpu_handle(rdma, &handle), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(kova_ctx_set_datapath_on_gpu(nullptr, side.gpu), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_ctx_set_datapath_on_gpu(kova_rdma_as_ctx(rdma), nullptr), KOVA_ERROR_INVALID_VALUE);
	ASSERT_EQ(kova_ctx_set_datapath_on_gpu(kova_rdma_as_ctx(rdma), side.gpu), KOVA_SUCCESS);
	ASSERT_EQ(kova_pe_connect_ctx(side.pe, kova_rdma_as_ctx(rdma)), KOVA_SUCCESS);
	// No task kind configured: the GPU posts the work.
	ASSERT_EQ(kova_ctx_start(kova_rdma_as_ctx(rdma)), KOVA_SUCCESS);
	EXPECT_EQ(kova_ctx_set_datapath_on_gpu(kova_rdma_as_ctx(rdma), side.gpu), KOVA_ERROR_BAD_STATE);
	ASSERT_EQ(kova_rdma_get_gpu_handle(rdma, &handle), KOVA_SUCCESS);
	// Not connected yet.
	EXPECT_EQ(handle->fd.load(), -1);
	EXPECT_EQ(kova_ctx_stop(kova_rdma_as_ctx(rdma)), KOVA_SUCCESS);
	EXPECT_EQ(kova_rdma_destroy(rdma), KOVA_SUCCESS);
}

TEST(gpu_datapath, an_rdma_export_of_gpu_memory_imports_as_the_same_range)
{
	gpu_side side;
	auto region = side.make_region(8);
	const void *descriptor = nullptr;
	size_t length = 0;
	ASSERT_EQ(kova_mmap_export_rdma(region.mmap, side.dev, &descriptor, &length), KOVA_SUCCESS);
	ASSERT_GT(length, 0U);
	kova_mmap *imported = nullptr;
	ASSERT_EQ(kova_mmap_create_from_export(nullptr, descriptor, length, side.dev, &imported), KOVA_SUCCESS);
	void *addr = nullptr;
	size_t len = 0;
	ASSERT_EQ(kova_mmap_get_memrange(imported, &addr, &len), KOVA_SUCCESS);
	EXPECT_EQ(addr, region.on_gpu);
	EXPECT_EQ(len, 8U);
	kova_gpu_buf_arr *handle = nullptr;
	kova_buf_arr *array = side.publish(imported, 1, 8, &handle);
	EXPECT_EQ(handle->pid, ::getpid());
	EXPECT_EQ(kova_buf_arr_destroy(array), KOVA_SUCCESS);
	EXPECT_EQ(kova_mmap_destroy(imported), KOVA_SUCCESS);
	EXPECT_EQ(kova_mmap_export_rdma(nullptr, side.dev, &descriptor, &length), KOVA_ERROR_INVALID_VALUE);
	side.free_region(region);
}

} // namespace
} // namespace kova::gpu_test
