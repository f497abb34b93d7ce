// Tables over libraries that lack functions of their lists (fixtures of the "missing" scenario).
#include "dl/kova_dma_api.hpp"
#include "dl/kova_dpdk_bridge_api.hpp"
#include "dl/kova_erasure_coding_api.hpp"
#include "dl/kova_sha_api.hpp"
#include "dl/kova_tessel_api.hpp"
#include "dl/support/library_events.hpp"
#include "kova_exception.hpp"
#include "utility/dpdk_common.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kova::bench::dl {
namespace {

using test::clear_library_events;
using test::library_events;

// Runs build, expecting KOVA_ERROR_INVALID_VALUE naming the function.
void expect_missing(const std::function<void()> &build, const std::string &function)
{
	EXPECT_KOVA_THROW(build(), KOVA_ERROR_INVALID_VALUE, "Symbol: \"" + function + "\" not found in library");
}

TEST(dl_missing_symbol, every_call_opens_the_library_fails_and_closes_it_again)
{
	clear_library_events();
	for (int call = 0; call < 3; ++call) {
		SCOPED_TRACE(call);
		expect_missing([] { (void)kova_dma_api::singleton(); }, "kova_dma_as_ctx");
	}
	std::vector<std::string> const once{"load libkova_dma.so.2", "unload libkova_dma.so.2"};
	std::vector<std::string> expected;
	for (int call = 0; call < 3; ++call)
		expected.insert(expected.end(), once.begin(), once.end());
	EXPECT_EQ(library_events(), expected);
}

TEST(dl_missing_symbol, the_first_missing_function_in_list_order_is_named)
{
	struct case_t {
		const char *library;
		std::function<void()> build;
		const char *function;
	};
	std::vector<case_t> const cases{
		{"erasure coding, two functions missing", [] { (void)kova_erasure_coding_api::singleton(); },
		 "kova_ec_matrix_create_from_raw"},
		{"sha", [] { (void)kova_sha_api::singleton(); }, "kova_sha_task_partial_hash_reset"},
		{"dpdk bridge, last function missing", [] { (void)kova_dpdk_bridge_api::singleton(); },
		 "rte_eth_tx_queue_setup"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.library);
		expect_missing(c.build, c.function);
	}
}

TEST(dl_missing_symbol, a_gpu_kernel_library_without_a_launcher_is_not_initialised)
{
	clear_library_events();
	expect_missing([] { (void)kova_tessel_api::singleton(); }, "kova_bench_rhun_start_eth_bidir_kernel");
	// The runtime, then the kernel library, then the GPU networking library; all closed again.
	std::vector<std::string> const opened{"load librhunrt.so", "load libkova_bench_rhun_impl.so.2",
					      "load libkova_tessel.so.2"};
	auto const events = library_events();
	ASSERT_GE(events.size(), opened.size());
	EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 3), opened);
	EXPECT_EQ(test::count_library_events("kova_bench_rhun_init"), 0);
	for (const char *file : {"librhunrt.so", "libkova_bench_rhun_impl.so.2", "libkova_tessel.so.2"})
		EXPECT_EQ(test::count_library_events(std::string{"unload "} + file), 1) << file;
}

TEST(dl_missing_symbol, the_dpdk_context_passes_the_table_s_failure_on)
{
	int device = 0;
	expect_missing([&device] { (void)utility::create_dpdk_context(reinterpret_cast<kova_dev *>(&device)); },
		       "rte_eth_tx_queue_setup");
}

} // namespace
} // namespace kova::bench::dl
