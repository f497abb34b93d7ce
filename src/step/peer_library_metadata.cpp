#include "step/peer_library_metadata.hpp"

#include "dl/kova_comch_api.hpp"

namespace kova::bench::step {

capabilities get_kova_comch_metadata(const kova_devinfo * /*devinfo*/)
{
	return library_capabilities("kova_comch", dl::kova_comch_api::singleton());
}

} // namespace kova::bench::step
