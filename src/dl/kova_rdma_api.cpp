// Function table of the RDMA library.
#include "dl/kova_rdma_api.hpp"

namespace kova::bench::dl {

const kova_rdma_api *kova_rdma_api::singleton()
{
	static const std::unique_ptr<const kova_rdma_api> instance =
		impl::make_api<kova_rdma_api>(open("libkova_rdma"), [](handle_impl &library, kova_rdma_api &table) {
			KOVA_RDMA_API_FUNCTIONS(KOVA_DL_RESOLVE)
		});
	return instance.get();
}

} // namespace kova::bench::dl
