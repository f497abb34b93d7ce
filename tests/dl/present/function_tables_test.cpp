// Tests for the function tables of dl/, built against the stand-ins of the build's lib/.
#include "dl/kova_aes_gcm_api.hpp"
#include "dl/kova_comch_api.hpp"
#include "dl/kova_compress_api.hpp"
#include "dl/kova_dma_api.hpp"
#include "dl/kova_dpdk_bridge_api.hpp"
#include "dl/kova_erasure_coding_api.hpp"
#include "dl/kova_eth_api.hpp"
#include "dl/kova_flow_api.hpp"
#include "dl/kova_rdma_api.hpp"
#include "dl/kova_sha_api.hpp"
#include "dl/kova_tessel_api.hpp"
#include "dl/support/exports_list.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace kova::bench::dl {
namespace {

// One library of a table as the test sees it: its handle, its path and the resolved functions in member order.
struct library_view {
	std::string file;
	const handle_impl *library;
	std::string path;
	std::vector<std::pair<std::string, const void *>> functions;
};

#define KOVA_TEST_ENTRY(name) {#name, reinterpret_cast<const void *>(table->name)},
#define KOVA_TEST_VIEW(api, file, list)                                                                          \
	[] {                                                                                                   \
		auto const *table = api::singleton();                                                         \
		if (table == nullptr)                                                                          \
			throw std::runtime_error{#api " did not load"};                                        \
		return library_view{file, table->handle.get(), table->path, {list(KOVA_TEST_ENTRY)}};          \
	}()

std::vector<library_view> every_library()
{
	auto const *gpu = kova_tessel_api::singleton();
	if (gpu == nullptr)
		throw std::runtime_error{"kova_tessel_api did not load"};
	auto const *table = gpu;
	return {
		KOVA_TEST_VIEW(kova_aes_gcm_api, "libkova_aes_gcm.so.2", KOVA_AES_GCM_API_FUNCTIONS),
		KOVA_TEST_VIEW(kova_compress_api, "libkova_compress.so.2", KOVA_COMPRESS_API_FUNCTIONS),
		KOVA_TEST_VIEW(kova_dma_api, "libkova_dma.so.2", KOVA_DMA_API_FUNCTIONS),
		KOVA_TEST_VIEW(kova_erasure_coding_api, "libkova_erasure_coding.so.2",
			       KOVA_ERASURE_CODING_API_FUNCTIONS),
		KOVA_TEST_VIEW(kova_sha_api, "libkova_sha.so.2", KOVA_SHA_API_FUNCTIONS),
		KOVA_TEST_VIEW(kova_comch_api, "libkova_comch.so.2", KOVA_COMCH_API_FUNCTIONS),
		KOVA_TEST_VIEW(kova_eth_api, "libkova_eth.so.2", KOVA_ETH_API_FUNCTIONS),
		KOVA_TEST_VIEW(kova_rdma_api, "libkova_rdma.so.2", KOVA_RDMA_API_FUNCTIONS),
		KOVA_TEST_VIEW(kova_flow_api, "libkova_flow.so.2", KOVA_FLOW_API_FUNCTIONS),
		KOVA_TEST_VIEW(kova_dpdk_bridge_api, "libkova_dpdk_bridge.so.2", KOVA_DPDK_BRIDGE_API_FUNCTIONS),
		library_view{"libkova_bench_rhun_impl.so.2", gpu->rhun_impl_handle.get(), gpu->rhun_impl_path,
			     {KOVA_BENCH_RHUN_IMPL_FUNCTIONS(KOVA_TEST_ENTRY)}},
		library_view{"libkova_tessel.so.2", gpu->handle.get(), gpu->path, {KOVA_TESSEL_FUNCTIONS(KOVA_TEST_ENTRY)}},
	};
}

TEST(dl_function_tables, every_table_resolves_its_list_in_order_from_its_library)
{
	auto const lists = test::read_exports_list();
	for (auto const &view : every_library()) {
		SCOPED_TRACE(view.file);
		EXPECT_EQ(view.path, view.library->get_path());
		EXPECT_TRUE(std::filesystem::equivalent(view.path, KOVA_LIB_DIR "/" + view.file)) << view.path;
		EXPECT_EQ(view.path.substr(view.path.rfind('/') + 1), view.file);

		std::vector<std::string> names;
		for (auto const &[name, address] : view.functions) {
			names.push_back(name);
			EXPECT_NE(address, nullptr) << name;
			EXPECT_EQ(address, view.library->find_symbol(name.c_str())) << name;
		}
		ASSERT_EQ(lists.count(view.file), 1U);
		EXPECT_EQ(names, lists.at(view.file));
	}
}

TEST(dl_function_tables, every_call_returns_the_same_table)
{
	EXPECT_EQ(kova_dma_api::singleton(), kova_dma_api::singleton());
	EXPECT_EQ(kova_sha_api::singleton(), kova_sha_api::singleton());
	EXPECT_EQ(kova_comch_api::singleton(), kova_comch_api::singleton());
	EXPECT_EQ(kova_tessel_api::singleton(), kova_tessel_api::singleton());
	EXPECT_NE(kova_dma_api::singleton(), nullptr);
}

TEST(dl_function_tables, the_aes_gcm_queue_settings_are_never_looked_up)
{
	auto const *table = kova_aes_gcm_api::singleton();
	ASSERT_NE(table, nullptr);
	EXPECT_EQ(table->kova_aes_gcm_set_log_qp_depth, nullptr);
	EXPECT_EQ(table->kova_aes_gcm_set_log_num_qps, nullptr);
}

TEST(dl_function_tables, the_stand_ins_answer_not_supported)
{
	auto const *rdma = kova_rdma_api::singleton();
	ASSERT_NE(rdma, nullptr);
	// The RDMA stand-in carries send and receive (and a GPU handle) only.
	kova_gpu_dev_rdma *gpu_rdma = nullptr;
	EXPECT_EQ(rdma->kova_rdma_get_gpu_handle(nullptr, &gpu_rdma), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(gpu_rdma, nullptr);
	EXPECT_EQ(rdma->kova_rdma_task_write_as_task(nullptr), nullptr);

	// The emulated GPU has one address; the Ethernet kernels refuse a block without geometry or queues.
	auto const *gpu = kova_tessel_api::singleton();
	ASSERT_NE(gpu, nullptr);
	kova_gpu *handle = nullptr;
	EXPECT_EQ(gpu->kova_gpu_create("0000:81:00.0", &handle), KOVA_ERROR_NOT_FOUND);
	EXPECT_EQ(handle, nullptr);
	uint64_t const block[8] = {};
	EXPECT_EQ(gpu->kova_bench_rhun_start_eth_recv_kernel(block), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(gpu->kova_bench_rhun_start_eth_send_kernel(block), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(gpu->kova_bench_rhun_start_eth_bidir_kernel(block), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(gpu->kova_bench_rhun_start_eth_send_kernel(nullptr), KOVA_ERROR_INVALID_VALUE);
}

} // namespace
} // namespace kova::bench::dl
