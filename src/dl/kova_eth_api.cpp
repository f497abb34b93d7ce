// Function table of the Ethernet library.
#include "dl/kova_eth_api.hpp"

namespace kova::bench::dl {

const kova_eth_api *kova_eth_api::singleton()
{
	static const std::unique_ptr<const kova_eth_api> instance =
		impl::make_api<kova_eth_api>(open("libkova_eth"), [](handle_impl &library, kova_eth_api &table) {
			KOVA_ETH_API_FUNCTIONS(KOVA_DL_RESOLVE)
		});
	return instance.get();
}

} // namespace kova::bench::dl
