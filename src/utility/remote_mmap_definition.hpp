// A memory region created on the peer, known by its export descriptor.
#pragma once

#include <vector>

namespace kova::bench::utility {

struct remote_mmap_definition {
	// The opaque descriptor the peer exported, passed unchanged to kova_mmap_create_from_export.
	std::vector<char> export_descriptor;
};

} // namespace kova::bench::utility
