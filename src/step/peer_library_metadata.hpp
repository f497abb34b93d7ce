// Capability records of the libraries behind the peer steps comch and RDMA.
//
// These records say whether each library is installed and where it was loaded from. Their task
// records ("consumer"/"producer", "send"/"receive"/"bidir") belong with the peer
// steps and are not queried yet.
#pragma once

#include "step/capabilities.hpp"

#include <kova/types.h>

namespace kova::bench::step {

capabilities get_kova_comch_metadata(const kova_devinfo *devinfo);
capabilities get_kova_rdma_metadata(const kova_devinfo *devinfo);

} // namespace kova::bench::step
