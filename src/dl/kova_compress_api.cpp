// Function table of the compression library.
#include "dl/kova_compress_api.hpp"

namespace kova::bench::dl {

const kova_compress_api *kova_compress_api::singleton()
{
	static const std::unique_ptr<const kova_compress_api> instance =
		impl::make_api<kova_compress_api>(open("libkova_compress"), [](handle_impl &library, kova_compress_api &table) {
			KOVA_COMPRESS_API_FUNCTIONS(KOVA_DL_RESOLVE)
		});
	return instance.get();
}

} // namespace kova::bench::dl
