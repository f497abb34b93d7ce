// Function table of the AES-GCM library.
#include "dl/kova_aes_gcm_api.hpp"

namespace kova::bench::dl {

const kova_aes_gcm_api *kova_aes_gcm_api::singleton()
{
	static const std::unique_ptr<const kova_aes_gcm_api> instance =
		impl::make_api<kova_aes_gcm_api>(open("libkova_aes_gcm"), [](handle_impl &library, kova_aes_gcm_api &table) {
			KOVA_AES_GCM_API_FUNCTIONS(KOVA_DL_RESOLVE)
		});
	return instance.get();
}

} // namespace kova::bench::dl
