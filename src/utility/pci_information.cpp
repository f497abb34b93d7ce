#include "utility/pci_information.hpp"

#include "utility/pci_address.hpp"
#include "utility/string_utils.hpp"

#include <charconv>
#include <climits>
#include <cstdint>
#include <functional>

namespace kova::bench::utility::detail {
namespace {

// The maker's models by PCI device id.
struct model {
	const char *device_id;
	const char *name;
};

constexpr model models[] = {
	{"0x4b10", "Brixel-10 adapter"},    {"0x4b11", "Brixel-10 Lx adapter"}, {"0x4b20", "Brixel-20 adapter"},
	{"0x4b21", "Brixel-20 Dx adapter"}, {"0x4b30", "Brixel-30 adapter"},    {"0x4b31", "Brixel-30 Lx adapter"},
	{"0x4b40", "Brixel-40 adapter"},    {"0x4c10", "Brixel-10 DPU"},        {"0x4c20", "Brixel-20 DPU"},
	{"0x4c30", "Brixel-30 DPU"},        {"0x4c31", "Brixel-30 DPU integrated"}, {"0x4c40", "Brixel-40 DPU"},
	{"0x4cf0", "Brixel DPU bridge"},
};

struct pci_register_field {
	const char *reg;
	uint8_t shift;
	uint8_t mask;
	std::function<void(fact_map &, const std::string &, uint16_t)> setter;
};

std::string true_or_false(uint16_t field)
{
	return field == 1 ? "true" : "false";
}

// 128 to 4096 bytes, encoded as 0 to 5.
void set_size(fact_map &facts, const std::string &key, uint16_t field)
{
	if (field <= 5)
		facts[key] = std::to_string(1u << (field + 7));
}

// Offsets 0x72 and 0x68: Link Status and Device Control of a device whose PCI
// Express capability starts at 0x60.
const pci_register_field register_fields[] = {
	{"0x72", 0, 0x0F, [](fact_map &f, const std::string &p, uint16_t v) { f[p + "gen"] = "Gen" + std::to_string(v); }},
	{"0x72", 4, 0x3F, [](fact_map &f, const std::string &p, uint16_t v) { f[p + "width"] = "x" + std::to_string(v); }},
	{"0x68", 8, 0x01, [](fact_map &f, const std::string &p, uint16_t v) { f[p + "ext_tag"] = true_or_false(v); }},
	{"0x68", 4, 0x01,
	 [](fact_map &f, const std::string &p, uint16_t v) { f[p + "relaxed_ordering"] = true_or_false(v); }},
	{"0x68", 5, 0x07, [](fact_map &f, const std::string &p, uint16_t v) { set_size(f, p + "max_payload_size", v); }},
	{"0x68", 12, 0x07, [](fact_map &f, const std::string &p, uint16_t v) { set_size(f, p + "max_read_request", v); }},
};

// A configuration word printed by setpci: hexadecimal, optionally after white
// space and "0x". Empty for anything else, and for 0xffff (the device is gone).
kova::optional<uint16_t> parse_register_word(const std::string &output)
{
	std::string text = trim(output);
	if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
		text.erase(0, 2);
	uint32_t value = 0;
	auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
	if (error != std::errc{} || end == text.data() || value > 0xffff || value == 0xffff)
		return {};
	return static_cast<uint16_t>(value);
}

std::string regex_escaped(const std::string &text)
{
	std::string escaped;
	for (char c : text) {
		if (c == '.')
			escaped += '\\';
		escaped += c;
	}
	return escaped;
}

std::string sysfs_device_file(const std::string &address, const std::string &file)
{
	return "/sys/bus/pci/devices/" + address + "/" + file;
}

} // namespace

kova::optional<std::string> device_name_by_type_id(const std::string &device_id)
{
	for (const auto &row : models) {
		if (device_id == row.device_id)
			return std::string{row.name};
	}
	return {};
}

std::vector<std::string> get_vtz_pci_devices()
{
	std::vector<std::string> devices;
	auto const listing = run_available_command("lspci", {"-D"});
	if (!listing.has_value())
		return devices;
	for (const auto &line : split_lines(*listing)) {
		auto const address = regex_match(line, "([0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\\.[0-9a-f]).*Brixel", 1);
		if (!address.has_value())
			continue;
		auto const vendor = whole_output(run_available_command("cat", {sysfs_device_file(*address, "vendor")}));
		if (!vendor.has_value() || *vendor != vtz_pci_vendor_id)
			continue;
		auto const device = whole_output(run_available_command("cat", {sysfs_device_file(*address, "device")}));
		if (!device.has_value() || !device_name_by_type_id(*device).has_value())
			continue;
		devices.push_back(*address);
	}
	return devices;
}

void get_pci_information(fact_map &facts)
{
	auto const devices = get_vtz_pci_devices();
	facts["pci.device_count"] = std::to_string(devices.size());

	// The first slot whose next line names its PCI Express generation.
	if (auto const slots = run_available_command("dmidecode", {"-t", "9"}); slots.has_value()) {
		auto const lines = split_lines(*slots);
		for (size_t i = 0; i + 1 < lines.size(); ++i) {
			if (!regex_match(lines[i] + "\n", "Designation: PCIe Slot \\d+\\n", 0).has_value())
				continue;
			if (auto const gen = regex_match(lines[i + 1], "PCI Express (\\d)", 1); gen.has_value()) {
				facts["pci.gen"] = "Gen" + *gen;
				break;
			}
		}
	}

	for (size_t i = 0; i < devices.size(); ++i)
		get_pci_device_attributes(facts, "pci." + std::to_string(i) + ".", devices[i]);
}

void get_pci_device_attributes(fact_map &facts, const std::string &prefix, const std::string &address)
{
	if (facts.find(prefix + "address") == facts.end()) {
		for (const char *key : {"link_type", "port_speed", "eswitch_mode", "address", "max_payload_size",
					"max_read_request", "ext_tag", "gen", "width", "relaxed_ordering"})
			facts[prefix + key] = "N/A";
	}
	facts[prefix + "address"] = address;

	for (const auto &field : register_fields) {
		auto const output = run_available_command("setpci", {"-s", address, std::string{field.reg} + ".w"});
		if (!output.has_value())
			continue;
		auto const word = parse_register_word(*output);
		if (!word.has_value())
			continue;
		field.setter(facts, prefix, static_cast<uint16_t>((*word >> field.shift) & field.mask));
	}

	if (is_pci_address(address) && address.size() == 12) {
		std::string const expression = "(" + regex_escaped(address) + "|" + regex_escaped(address.substr(5)) +
					       ")\\s*(Infiniband|Ethernet) controller";
		auto const listing = run_available_command("lspci", {});
		insert_or_replace(facts, prefix + "link_type",
				  listing.has_value() ? regex_match(*listing, expression, 2) : kova::optional<std::string>{});
	}

	auto const net_device = run_command_regex_match(
		"devlink", {"port", "show"}, "pci/" + regex_escaped(address) + ".*type eth netdev (.*?) flavour physical");
	if (net_device.has_value() && !net_device->empty() && net_device->find('/') == std::string::npos &&
	    *net_device != "." && *net_device != "..") {
		auto const speed =
			whole_output(run_available_command("cat", {sysfs_device_file(address, "net/" + *net_device + "/speed")}));
		auto const mbps = speed.has_value() ? strto<long>(*speed) : kova::optional<converted_value<long>>{};
		if (mbps.has_value()) {
			long const value = mbps->value;
			if (value == -1)
				facts[prefix + "port_speed"] = "Unknown";
			else if (value <= LONG_MAX / 1000000 && value >= LONG_MIN / 1000000)
				facts[prefix + "port_speed"] = std::to_string(value * 1000000); // bit/s
		}
	}

	insert_or_replace(facts, prefix + "eswitch_mode",
			  run_command_regex_match("devlink", {"dev", "eswitch", "show", "pci/" + address},
						  "mode (legacy|switchdev)"));
}

} // namespace kova::bench::utility::detail
