// Function table of the SHA library.
#include "dl/kova_sha_api.hpp"

namespace kova::bench::dl {

namespace {

std::unique_ptr<kova_sha_api> make_kova_sha_api()
{
	return impl::make_api<kova_sha_api>(open("libkova_sha"), [](handle_impl &library, kova_sha_api &table) {
		KOVA_SHA_API_FUNCTIONS(KOVA_DL_RESOLVE)
	});
}

} // namespace

const kova_sha_api *kova_sha_api::singleton()
{
	static const std::unique_ptr<const kova_sha_api> instance = make_kova_sha_api();
	return instance.get();
}

} // namespace kova::bench::dl
