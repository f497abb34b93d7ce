// Capability record of the library behind the comch peer steps.
//
// It says whether the library is installed and where it was loaded from. Its task
// records ("consumer"/"producer") belong with the peer
// steps and are not queried yet.
#pragma once

#include "step/capabilities.hpp"

#include <kova/types.h>

namespace kova::bench::step {

capabilities get_kova_comch_metadata(const kova_devinfo *devinfo);

} // namespace kova::bench::step
