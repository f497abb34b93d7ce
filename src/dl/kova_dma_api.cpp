// Function table of the DMA library.
#include "dl/kova_dma_api.hpp"

namespace kova::bench::dl {

const kova_dma_api *kova_dma_api::singleton()
{
	static const std::unique_ptr<const kova_dma_api> instance =
		impl::make_api<kova_dma_api>(open("libkova_dma"), [](handle_impl &library, kova_dma_api &table) {
			KOVA_DMA_API_FUNCTIONS(KOVA_DL_RESOLVE)
		});
	return instance.get();
}

} // namespace kova::bench::dl
