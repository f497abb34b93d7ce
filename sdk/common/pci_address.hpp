// PCI addresses as the device table and the address comparisons read them.
#pragma once

#include <cstdint>

namespace kova::sdk {

struct pci_address {
	uint16_t domain;
	uint8_t bus;
	uint8_t device;
	uint8_t function;

	friend bool operator==(const pci_address &, const pci_address &) = default;
};

// Reads "BB:DD.F" (domain 0) or "DDDD:BB:DD.F", hexadecimal digits in any case, device at most
// 1f and function at most 7. Returns false for anything else.
bool parse_pci_address(const char *text, pci_address *address) noexcept;

} // namespace kova::sdk
