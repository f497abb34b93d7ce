// A device, an engine and the emulated GPU for the GPU stand-in tests.
#pragma once

#include <kova/buf_arr.h>
#include <kova/dev.h>
#include <kova/error.h>
#include <kova/mmap.h>
#include <kova/pe.h>
#include <kova/tessel.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include <unistd.h>

namespace kova::gpu_test {

class gpu_side {
public:
	gpu_side()
	{
		uint32_t count = 0;
		EXPECT_EQ(kova_devinfo_create_list(&devinfos, &count), KOVA_SUCCESS);
		EXPECT_EQ(kova_dev_open(devinfos[0], &dev), KOVA_SUCCESS);
		EXPECT_EQ(kova_pe_create(&pe), KOVA_SUCCESS);
		EXPECT_EQ(kova_gpu_create("65:00.0", &gpu), KOVA_SUCCESS);
	}
	~gpu_side()
	{
		EXPECT_EQ(kova_gpu_destroy(gpu), KOVA_SUCCESS);
		EXPECT_EQ(kova_pe_destroy(pe), KOVA_SUCCESS);
		EXPECT_EQ(kova_dev_close(dev), KOVA_SUCCESS);
		EXPECT_EQ(kova_devinfo_destroy_list(devinfos), KOVA_SUCCESS);
	}
	gpu_side(const gpu_side &) = delete;
	gpu_side &operator=(const gpu_side &) = delete;

	// Host-visible GPU memory of `size` bytes, zeroed, with a started map over its GPU address.
	struct region {
		void *on_gpu = nullptr;
		void *on_cpu = nullptr;
		kova_mmap *mmap = nullptr;
	};
	region make_region(std::size_t size)
	{
		region r;
		EXPECT_EQ(kova_gpu_mem_alloc(gpu, size, 4096, 1, &r.on_gpu, &r.on_cpu), KOVA_SUCCESS);
		std::memset(r.on_cpu, 0, size);
		EXPECT_EQ(kova_mmap_create(&r.mmap), KOVA_SUCCESS);
		EXPECT_EQ(kova_mmap_set_memrange(r.mmap, r.on_gpu, size), KOVA_SUCCESS);
		EXPECT_EQ(kova_mmap_set_permissions(r.mmap, 5), KOVA_SUCCESS);
		EXPECT_EQ(kova_mmap_add_dev(r.mmap, dev), KOVA_SUCCESS);
		EXPECT_EQ(kova_mmap_start(r.mmap), KOVA_SUCCESS);
		return r;
	}
	void free_region(region &r)
	{
		EXPECT_EQ(kova_mmap_destroy(r.mmap), KOVA_SUCCESS);
		EXPECT_EQ(kova_gpu_mem_free(gpu, r.on_gpu), KOVA_SUCCESS);
	}
	// A started buffer array of count elements over the map.
	kova_buf_arr *publish(kova_mmap *mmap, uint32_t count, std::size_t elem_size, kova_gpu_buf_arr **handle)
	{
		kova_buf_arr *array = nullptr;
		EXPECT_EQ(kova_buf_arr_create(count, &array), KOVA_SUCCESS);
		EXPECT_EQ(kova_buf_arr_set_params(array, mmap, elem_size, 0), KOVA_SUCCESS);
		EXPECT_EQ(kova_buf_arr_set_target_gpu(array, gpu), KOVA_SUCCESS);
		EXPECT_EQ(kova_buf_arr_start(array), KOVA_SUCCESS);
		EXPECT_EQ(kova_buf_arr_get_gpu_handle(array, handle), KOVA_SUCCESS);
		return array;
	}

	kova_devinfo **devinfos = nullptr;
	kova_dev *dev = nullptr;
	kova_pe *pe = nullptr;
	kova_gpu *gpu = nullptr;
};

} // namespace kova::gpu_test
