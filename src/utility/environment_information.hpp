// A description of the machine a run used, as a flat map of text facts learnt
// from the machine's own tools. Tools are found through PATH.
#pragma once

#include "kova_optional.hpp"

#include <string>
#include <unordered_map>

namespace kova::bench::utility {

class environment_information {
public:
	using map = std::unordered_map<std::string, std::string>;

	// The DPU address used when the companion was given none.
	static constexpr const char *default_dpu_pci_address = "0000:03:00.0";

	// Facts about the host, every key beginning with "host.".
	[[nodiscard]] map get_host_environment_information() const;

	// Facts about the DPU whose device has the given PCI address (the
	// companion's device), every key beginning with "dpu.".
	[[nodiscard]] map get_dpu_environment_information(const kova::optional<std::string> &device_address = {}) const;
};

} // namespace kova::bench::utility
