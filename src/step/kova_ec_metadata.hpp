// Capability record of the erasure-coding library.
#pragma once

#include "dl/kova_erasure_coding_api.hpp"
#include "step/capabilities.hpp"

#include <kova/types.h>

namespace kova::bench::step {

// "kova_ec" with its tasks "create", "recover" and "update"; not installed when the library is not
// loaded.
capabilities get_kova_ec_metadata(const kova_devinfo *devinfo);

// A supported task takes buffers of up to 2 MiB and lists the device's "Max block size".
task_capabilities get_kova_ec_create_metadata(const dl::kova_erasure_coding_api *api, const kova_devinfo *devinfo);
task_capabilities get_kova_ec_recover_metadata(const dl::kova_erasure_coding_api *api, const kova_devinfo *devinfo);
task_capabilities get_kova_ec_update_metadata(const dl::kova_erasure_coding_api *api, const kova_devinfo *devinfo);

} // namespace kova::bench::step
