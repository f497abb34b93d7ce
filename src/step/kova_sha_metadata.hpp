// Capability record of the SHA library and its algorithm checks.
#pragma once

#include "dl/kova_sha_api.hpp"
#include "step/capabilities.hpp"

#include <kova/types.h>

namespace kova::bench::step {

// "kova_sha" with its task "hash"; not installed when the library is not loaded.
capabilities get_kova_sha_metadata(const kova_devinfo *devinfo);

// Supported when any algorithm is; lists them under "Algorithms".
task_capabilities get_kova_sha_hash_metadata(const dl::kova_sha_api *api, const kova_devinfo *devinfo);

// Whether the device hashes with that algorithm; a failing query throws.
bool supports_sha1_hash_task(const dl::kova_sha_api *api, const kova_devinfo *devinfo);
bool supports_sha256_hash_task(const dl::kova_sha_api *api, const kova_devinfo *devinfo);
bool supports_sha512_hash_task(const dl::kova_sha_api *api, const kova_devinfo *devinfo);

} // namespace kova::bench::step
