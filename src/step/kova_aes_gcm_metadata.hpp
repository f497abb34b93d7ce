// Capability record of the AES-GCM library.
#pragma once

#include "dl/kova_aes_gcm_api.hpp"
#include "step/capabilities.hpp"

#include <kova/types.h>

namespace kova::bench::step {

// "kova_aes_gcm" with its tasks "decrypt" and "encrypt"; not installed when the library is not loaded.
capabilities get_kova_aes_gcm_metadata(const kova_devinfo *devinfo);

// Supported tasks list their "Key sizes" and "Tag sizes" in bits.
task_capabilities get_kova_aes_gcm_encrypt_metadata(const dl::kova_aes_gcm_api *api, const kova_devinfo *devinfo);
task_capabilities get_kova_aes_gcm_decrypt_metadata(const dl::kova_aes_gcm_api *api, const kova_devinfo *devinfo);

} // namespace kova::bench::step
