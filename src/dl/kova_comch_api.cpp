// Function table of the communication channel library.
#include "dl/kova_comch_api.hpp"

namespace kova::bench::dl {

namespace {

std::unique_ptr<kova_comch_api> make_kova_comch_api()
{
	return impl::make_api<kova_comch_api>(open("libkova_comch"), [](handle_impl &library, kova_comch_api &table) {
		KOVA_COMCH_API_FUNCTIONS(KOVA_DL_RESOLVE)
	});
}

} // namespace

const kova_comch_api *kova_comch_api::singleton()
{
	static const std::unique_ptr<const kova_comch_api> instance = make_kova_comch_api();
	return instance.get();
}

} // namespace kova::bench::dl
