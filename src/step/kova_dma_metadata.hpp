// Capability record of the DMA library.
#pragma once

#include "dl/kova_dma_api.hpp"
#include "step/capabilities.hpp"

#include <kova/types.h>

namespace kova::bench::step {

// "kova_dma" with its task "memcpy"; not installed when the library is not loaded.
capabilities get_kova_dma_metadata(const kova_devinfo *devinfo);

task_capabilities get_kova_dma_memcpy_metadata(const dl::kova_dma_api *api, const kova_devinfo *devinfo);

} // namespace kova::bench::step
