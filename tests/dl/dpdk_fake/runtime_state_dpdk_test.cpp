// Tests for runtime_state's DPDK context and GPU over the recording DPDK bridge (the "dpdk_fake"
// scenario, which has no GPU libraries).
#include "runtime_state.hpp"

#include "dl/kova_dpdk_bridge_api.hpp"
#include "dl/support/fake_dpdk_bridge_control.hpp"
#include "kova_exception.hpp"
#include "utility/dpdk_common.hpp"
#include "support/kova_throws.hpp"

#include <kova/error.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace kova::bench {
namespace {

TEST(runtime_state_dpdk, the_context_is_made_and_its_port_started_once_then_the_gpu_library_is_missing)
{
	kova_test_reset();
	runtime_state state;
	state.open_device_and_representor("03:00.0", {});
	ASSERT_NE(dl::kova_dpdk_bridge_api::singleton(), nullptr);
	test::fake_dpdk_bridge bridge;
	bridge.reset();
	bridge.set_port_id(5);

	state.prepare_dpdk_ctx();
	utility::dpdk_context *context = state.get_dpdk_ctx();
	ASSERT_NE(context, nullptr);
	EXPECT_EQ(context->get_dev_port_id(), 5);
	EXPECT_TRUE(context->is_dev_port_started());
	state.prepare_dpdk_ctx();
	EXPECT_EQ(state.get_dpdk_ctx(), context);

	auto const calls = bridge.calls();
	auto const count = [&calls](const std::string &prefix) {
		return std::count_if(calls.begin(), calls.end(),
				     [&prefix](const std::string &line) { return line.starts_with(prefix); });
	};
	EXPECT_EQ(count("rte_eal_init "), 1);
	EXPECT_EQ(count("rte_eth_dev_start 5"), 1);

	EXPECT_KOVA_THROW(state.open_gpu_device("81:00.0"), KOVA_ERROR_NOT_FOUND,
			  "kova_tessel library is not installed");
	EXPECT_EQ(state.get_gpu_device(), nullptr);
	EXPECT_EQ(state.get_dpdk_ctx(), context);
}

} // namespace
} // namespace kova::bench
