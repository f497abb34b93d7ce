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

} // namespace kova::bench::dl
