#include "companion/configuration.hpp"

#include "kova_exception.hpp"
#include "kova_optional_printing.hpp"

namespace kova::bench::companion {

companion_method method_from_string(const std::string &text)
{
	if (text == "main")
		return companion_method::main;
	if (text == "identify_dpu_device_address_matching_representor")
		return companion_method::identify_dpu_device_address_matching_representor;
	if (text == "select_representor_address_visible_to_host")
		return companion_method::select_representor_address_visible_to_host;
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unknown method: " + text);
}

bool is_valid_configuration(const configuration &config)
{
	switch (config.method) {
	case companion_method::identify_dpu_device_address_matching_representor:
		return config.candidates.size() == 1;
	case companion_method::select_representor_address_visible_to_host:
		return !config.candidates.empty();
	case companion_method::main:
		break;
	}
	if (!config.comms_type.has_value() || !config.device_pci_address.has_value())
		return false;
	switch (*config.comms_type) {
	case comms_type::qrv_server:
		return config.device_representor_pci_address.has_value();
	case comms_type::tcp_server:
		return config.tcp_port.has_value();
	case comms_type::qrv_client:
		return true;
	}
	return false;
}

std::ostream &operator<<(std::ostream &os, const configuration &config)
{
	os << "KOVA bench companion configuration:\n";
	os << "\tDevice: \"" << config.device_pci_address << "\"\n";
	os << "\tDevice representor: \"" << config.device_representor_pci_address << "\"\n";
	os << "\tSession name: " << config.remote_session_name << "\n";
	os << "\tComms type: ";
	auto const type = config.comms_type.has_value() ? static_cast<int>(*config.comms_type) : -1;
	switch (type) {
	case static_cast<int>(comms_type::qrv_client): os << "qrv client"; break;
	case static_cast<int>(comms_type::qrv_server): os << "qrv server"; break;
	case static_cast<int>(comms_type::tcp_server): os << "tcp server"; break;
	default: os << "UNKNOWN"; break;
	}
	os << "\n";
	if (type == static_cast<int>(comms_type::tcp_server)) {
		os << "\tTCP Port: ";
		if (config.tcp_port.has_value())
			os << *config.tcp_port;
		else
			os << "-- not configured --";
		os << "\n";
	}
	return os;
}

} // namespace kova::bench::companion
