// The text form of a PCI address: DDDD:BB:DD.F (domain, bus, device,
// function) or BB:DD.F, in hexadecimal digits.
#pragma once

#include <string>

namespace kova::bench::utility {

// True when the text is DDDD:BB:DD.F or BB:DD.F, and nothing else.
bool is_pci_address(const std::string &text);

// The address with its domain ("0000:" when it has none), in lower case; the
// text must be a PCI address.
std::string full_pci_address(const std::string &address);

} // namespace kova::bench::utility
