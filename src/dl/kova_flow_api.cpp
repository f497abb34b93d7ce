// Function table of the flow library.
#include "dl/kova_flow_api.hpp"

namespace kova::bench::dl {

const kova_flow_api *kova_flow_api::singleton()
{
	static const std::unique_ptr<const kova_flow_api> instance =
		impl::make_api<kova_flow_api>(open("libkova_flow"), [](handle_impl &library, kova_flow_api &table) {
			KOVA_FLOW_API_FUNCTIONS(KOVA_DL_RESOLVE)
		});
	return instance.get();
}

} // namespace kova::bench::dl
