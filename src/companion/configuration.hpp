// The companion's command line as one record, its validity per method and its printout.
#pragma once

#include "kova_optional.hpp"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace kova::bench::companion {

enum class companion_method : uint8_t {
	main = 0,
	identify_dpu_device_address_matching_representor = 1,
	select_representor_address_visible_to_host = 2,
};

enum class comms_type : uint8_t {
	qrv_client = 0,
	qrv_server = 1,
	tcp_server = 2,
};

struct configuration {
	kova::optional<std::string> device_representor_pci_address;
	kova::optional<std::string> device_pci_address;
	kova::optional<std::string> remote_session_name;
	kova::optional<uint16_t> tcp_port;
	std::vector<std::string> candidates;
	companion_method method = companion_method::main;
	kova::optional<kova::bench::companion::comms_type> comms_type;
	kova::optional<std::string> gpu_pci_address;
};

// KOVA_ERROR_INVALID_VALUE "Unknown method: <text>" for a name that is none of the three.
companion_method method_from_string(const std::string &text);

// The identify probe needs exactly one candidate, the select probe at least one; main needs the
// comms type and the device, plus the representor for a qrv server and the port for a TCP server.
bool is_valid_configuration(const configuration &config);

std::ostream &operator<<(std::ostream &os, const configuration &config);

} // namespace kova::bench::companion
