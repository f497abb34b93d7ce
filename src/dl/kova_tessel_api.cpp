// Function table of the GPU libraries.
#include "dl/kova_tessel_api.hpp"

namespace kova::bench::dl {

const kova_tessel_api *kova_tessel_api::singleton()
{
	static const std::unique_ptr<const kova_tessel_api> instance = []() -> std::unique_ptr<kova_tessel_api> {
		// Each library is opened only when the one before it loaded. The runtime is not kept: it only has
		// to be installed for the other two to work.
		auto const runtime = open_non_kova("librhunrt");
		if (!runtime->is_loaded())
			return nullptr;
		auto rhun_impl = open("libkova_bench_rhun_impl");
		if (!rhun_impl->is_loaded())
			return nullptr;
		auto tessel = open("libkova_tessel");
		if (!tessel->is_loaded())
			return nullptr;

		auto built = std::make_unique<kova_tessel_api>();
		kova_tessel_api &table = *built;
		table.handle = std::move(tessel);
		table.path = table.handle->get_path();
		table.rhun_impl_handle = std::move(rhun_impl);
		table.rhun_impl_path = table.rhun_impl_handle->get_path();
		{
			handle_impl &library = *table.rhun_impl_handle;
			KOVA_BENCH_RHUN_IMPL_FUNCTIONS(KOVA_DL_RESOLVE)
		}
		{
			handle_impl &library = *table.handle;
			KOVA_TESSEL_FUNCTIONS(KOVA_DL_RESOLVE)
		}
		// Its result is not looked at: a GPU that failed to initialise fails the first real call.
		(void)table.kova_bench_rhun_init();
		return built;
	}();
	return instance.get();
}

} // namespace kova::bench::dl
