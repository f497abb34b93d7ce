// Capability record of the compression library.
#pragma once

#include "dl/kova_compress_api.hpp"
#include "step/capabilities.hpp"

#include <kova/types.h>

namespace kova::bench::step {

// "kova_compress" with its tasks "compress::deflate", "compress::lz4_stream",
// "decompress::deflate" and "decompress::lz4_stream"; not installed when the library is not loaded.
capabilities get_kova_compress_metadata(const kova_devinfo *devinfo);

task_capabilities get_kova_compress_compress_deflate_metadata(const dl::kova_compress_api *api,
							       const kova_devinfo *devinfo);
// Never supported: the benchmark has no lz4 compression step.
task_capabilities get_kova_compress_compress_lz4_stream_metadata(const dl::kova_compress_api *api,
								  const kova_devinfo *devinfo);
task_capabilities get_kova_compress_decompress_deflate_metadata(const dl::kova_compress_api *api,
								 const kova_devinfo *devinfo);
task_capabilities get_kova_compress_decompress_lz4_stream_metadata(const dl::kova_compress_api *api,
								    const kova_devinfo *devinfo);

} // namespace kova::bench::step
