// Function table of the erasure-coding library.
#include "dl/kova_erasure_coding_api.hpp"

namespace kova::bench::dl {

namespace {

std::unique_ptr<kova_erasure_coding_api> make_kova_erasure_coding_api()
{
	return impl::make_api<kova_erasure_coding_api>(open("libkova_erasure_coding"), [](handle_impl &library, kova_erasure_coding_api &table) {
		KOVA_ERASURE_CODING_API_FUNCTIONS(KOVA_DL_RESOLVE)
	});
}

} // namespace

const kova_erasure_coding_api *kova_erasure_coding_api::singleton()
{
	static const std::unique_ptr<const kova_erasure_coding_api> instance = make_kova_erasure_coding_api();
	return instance.get();
}

} // namespace kova::bench::dl
