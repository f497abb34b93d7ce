// The emulated devices: a process-wide table that enumeration copies from.
#pragma once

#include "pci_address.hpp"

#include <kova/types.h>

#include <cstdint>
#include <vector>

namespace kova::sdk {

inline constexpr uint32_t max_reps_per_device = 8;
inline constexpr uint32_t max_device_name_size = 64;

} // namespace kova::sdk

struct kova_devinfo {
	kova::sdk::pci_address address;
	char ibdev_name[kova::sdk::max_device_name_size];
	char iface_name[kova::sdk::max_device_name_size];
	uint8_t rep_filter_net_supported;
	uint32_t num_reps;
	kova::sdk::pci_address reps[kova::sdk::max_reps_per_device];
};

struct kova_devinfo_rep {
	kova::sdk::pci_address address;
};

struct kova_dev {
	kova_devinfo info;
};

struct kova_dev_rep {
	kova_devinfo_rep info;
};

namespace kova::sdk {

// A copy of the current table. Thread-safe.
std::vector<kova_devinfo> device_table_snapshot();

// Replaces the table. Thread-safe.
void device_table_replace(std::vector<kova_devinfo> table);

// The built-in table: two devices with one network representor each.
std::vector<kova_devinfo> default_device_table();

} // namespace kova::sdk
