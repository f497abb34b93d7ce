// Function table of the DPDK bridge.
#include "dl/kova_dpdk_bridge_api.hpp"

namespace kova::bench::dl {

const kova_dpdk_bridge_api *kova_dpdk_bridge_api::singleton()
{
	static const std::unique_ptr<const kova_dpdk_bridge_api> instance = impl::make_api<kova_dpdk_bridge_api>(
		open("libkova_dpdk_bridge"), [](handle_impl &library, kova_dpdk_bridge_api &table) {
			KOVA_DPDK_BRIDGE_API_FUNCTIONS(KOVA_DL_RESOLVE)
		});
	return instance.get();
}

int kova_dpdk_bridge_api::last_errno() const noexcept
{
	// A thread-local variable: looked up on the calling thread, each time.
	const auto *value = static_cast<const int *>(handle->find_symbol("per_lcore__rte_errno"));
	return value != nullptr ? *value : 0;
}

} // namespace kova::bench::dl
