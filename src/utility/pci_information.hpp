// The maker's adapters and DPUs on the PCI bus, as facts of the environment
// map: their count, the slots' PCI Express generation, and per device its
// address, link type, port speed, e-switch mode and PCI Express settings.
#pragma once

#include "kova_optional.hpp"
#include "utility/command_runner.hpp"

#include <string>
#include <vector>

namespace kova::bench::utility::detail {

// What a device's sysfs "vendor" file holds for the maker's devices.
inline constexpr const char *vtz_pci_vendor_id = "0x7e57";

// The maker's model name for a device id as sysfs shows it ("0x" and four
// lower-case hexadecimal digits); empty for an id of another device.
kova::optional<std::string> device_name_by_type_id(const std::string &device_id);

// Addresses (DDDD:BB:DD.F) of the maker's devices, in the order lspci lists them.
std::vector<std::string> get_vtz_pci_devices();

// Writes "pci.device_count", "pci.gen" and every device's "pci.<i>." keys.
void get_pci_information(fact_map &facts);

// Writes one device's keys under the prefix ("pci.<i>.").
void get_pci_device_attributes(fact_map &facts, const std::string &prefix, const std::string &address);

} // namespace kova::bench::utility::detail
