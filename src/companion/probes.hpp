// The companion's one-shot probes: each prints one PCI address on standard output.
#pragma once

#include <string>
#include <vector>

namespace kova::bench::companion {

// Prints the PCI address of the local device whose network representors include the candidate.
// KOVA_ERROR_NOT_FOUND "No device found which supports the given representor" when none does.
void identify_dpu_device_address_matching_representor(const std::string &representor);

// Prints the first candidate that is the PCI address of a local device. KOVA_ERROR_NOT_FOUND "No device found
// which supports any of the given representors" when none is.
void select_representor_address_visible_to_host(const std::vector<std::string> &candidates);

} // namespace kova::bench::companion
