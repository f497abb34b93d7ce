#include "utility/environment_information.hpp"

#include "kova_exception.hpp"
#include "utility/command_runner.hpp"
#include "utility/pci_address.hpp"
#include "utility/pci_information.hpp"
#include "utility/string_utils.hpp"

#include <cmath>
#include <cstdint>
#include <climits>
#include <vector>

namespace kova::bench::utility {
namespace {

using detail::fact_map;
using detail::insert_or_replace;
using detail::regex_match;
using detail::run_available_command;
using detail::run_command_regex_match;
using detail::split_lines;
using detail::whole_output;

// More sockets than this are not described one by one.
constexpr unsigned long max_described_sockets = 1024;

// One record of dmidecode output: the lines between two blank lines, trimmed.
using dmi_block = std::vector<std::string>;

std::vector<dmi_block> dmi_blocks(const std::string &output)
{
	std::vector<dmi_block> blocks(1);
	for (const auto &line : split_lines(output)) {
		std::string const text = trim(line);
		if (text.empty()) {
			if (!blocks.back().empty())
				blocks.emplace_back();
			continue;
		}
		blocks.back().push_back(text);
	}
	if (blocks.back().empty())
		blocks.pop_back();
	return blocks;
}

// The value of the first "<key>: value" line of the block.
kova::optional<std::string> dmi_value(const dmi_block &block, const std::string &key)
{
	std::string const head = key + ":";
	for (const auto &line : block) {
		if (line.compare(0, head.size(), head) == 0)
			return trim(line.substr(head.size()));
	}
	return {};
}

bool has_line(const dmi_block &block, const std::string &text)
{
	for (const auto &line : block) {
		if (line == text)
			return true;
	}
	return false;
}

bool has_key(const dmi_block &block, const std::string &key)
{
	return dmi_value(block, key).has_value();
}

// The value of KEY=value at the start of a line of an os-release file, without
// the quotes around it.
kova::optional<std::string> os_release_value(const kova::optional<std::string> &text, const std::string &key)
{
	if (!text.has_value())
		return {};
	std::string const head = key + "=";
	for (const auto &line : split_lines(*text)) {
		if (line.compare(0, head.size(), head) != 0)
			continue;
		std::string value = trim(line.substr(head.size()));
		if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
			value = value.substr(1, value.size() - 2);
		return value;
	}
	return {};
}

kova::optional<unsigned long> read_number(const fact_map &facts, const std::string &key)
{
	auto const entry = facts.find(key);
	if (entry == facts.end())
		return {};
	auto const number = strto<unsigned long>(entry->second);
	if (!number.has_value())
		return {};
	return number->value;
}

void get_os_information(fact_map &facts)
{
	insert_or_replace(facts, "os.kernel_version", whole_output(run_available_command("uname", {"-r"})));
	insert_or_replace(facts, "os.family", whole_output(run_available_command("uname", {"-s"})));
	auto const os_release = run_available_command("cat", {"/etc/os-release"});
	insert_or_replace(facts, "os.name", os_release_value(os_release, "NAME"));
	insert_or_replace(facts, "os.version", os_release_value(os_release, "VERSION"));
}

void get_cpu_information(fact_map &facts)
{
	auto const lscpu = run_available_command("lscpu", {});
	auto const lscpu_match = [&](const std::string &expression) {
		return lscpu.has_value() ? regex_match(*lscpu, expression, 1) : kova::optional<std::string>{};
	};
	insert_or_replace(facts, "cpu.socket_count", lscpu_match("Socket\\(s\\):\\s*(\\d*?)\\n"));
	if (facts.find("numa_node_count") != facts.end())
		insert_or_replace(facts, "numa_node_count", lscpu_match("NUMA node\\(s\\):\\s*(\\d*?)\\n"));

	auto const socket_count = read_number(facts, "cpu.socket_count");
	if (!socket_count.has_value())
		return;

	auto const processors = run_available_command("dmidecode", {"-t", "processor"});
	auto const blocks = processors.has_value() ? dmi_blocks(*processors) : std::vector<dmi_block>{};
	auto const arch = lscpu_match("Architecture:\\s*(.*?)\\n");
	for (unsigned long i = 0; i < std::min(*socket_count, max_described_sockets); ++i) {
		// One socket is whichever is designated; several are named CPU1, CPU2, ...
		std::string const designation = "Socket Designation: CPU" + std::to_string(i + 1);
		const dmi_block *socket = nullptr;
		for (const auto &block : blocks) {
			if (*socket_count == 1 ? has_key(block, "Socket Designation") : has_line(block, designation)) {
				socket = &block;
				break;
			}
		}
		auto const value = [&](const std::string &key) {
			return socket != nullptr ? dmi_value(*socket, key) : kova::optional<std::string>{};
		};
		std::string const prefix = "cpu." + std::to_string(i) + ".";
		insert_or_replace(facts, prefix + "model", value("Version"));
		insert_or_replace(facts, prefix + "logical_cores", value("Thread Count"));
		insert_or_replace(facts, prefix + "physical_cores", value("Core Count"));
		insert_or_replace(facts, prefix + "arch", arch);
	}
}

void get_memory_information(fact_map &facts)
{
	auto const meminfo = run_available_command("cat", {"/proc/meminfo"});
	auto const total = meminfo.has_value() ? regex_match(*meminfo, "MemTotal:\\s*(\\d*)\\s+kB\\n", 1)
					       : kova::optional<std::string>{};
	if (total.has_value()) {
		auto const kilobytes = strto<unsigned long>(*total);
		if (kilobytes.has_value() && kilobytes->value <= ULONG_MAX / 1024)
			facts["memory.installed_capacity"] = std::to_string(kilobytes->value * 1024);
	}

	// Slots of every memory array together.
	kova::optional<std::string> slot_text;
	if (auto const arrays = run_available_command("dmidecode", {"-t", "16"}); arrays.has_value()) {
		unsigned long slots = 0;
		bool found = false;
		for (const auto &block : dmi_blocks(*arrays)) {
			auto const count = dmi_value(block, "Number Of Devices");
			auto const number = count.has_value() ? strto<unsigned long>(*count) : kova::optional<converted_value<unsigned long>>{};
			if (number.has_value() && !number->rest.has_value() && slots <= ULONG_MAX - number->value) {
				slots += number->value;
				found = true;
			}
		}
		if (found)
			slot_text = std::to_string(slots);
	}
	insert_or_replace(facts, "memory.dimm_slot_count", slot_text);

	auto const slots = read_number(facts, "memory.dimm_slot_count");
	if (!slots.has_value())
		return;
	auto const devices = run_available_command("dmidecode", {"-t", "17"});
	if (!devices.has_value())
		return;
	unsigned long empty = 0;
	for (const auto &line : split_lines(*devices)) {
		size_t const indent = line.find_first_not_of(" \t");
		if (indent != 0 && indent != std::string::npos && line.compare(indent, std::string::npos, "Speed: Unknown") == 0)
			++empty;
	}
	facts["memory.populated_dimm_count"] = empty <= *slots ? std::to_string(*slots - empty) : "N/A";
}

void set_defaults(fact_map &facts, std::initializer_list<const char *> keys)
{
	for (const char *key : keys)
		facts[key] = "N/A";
}

void get_common_information(fact_map &facts)
{
	insert_or_replace(facts, "hostname", whole_output(run_available_command("hostname", {})));
	auto const ofed = run_available_command("ofed_info", {"-s"});
	insert_or_replace(facts, "ofed_version",
			  ofed.has_value() ? regex_match(*ofed, "([^:\\n]*):?", 1) : kova::optional<std::string>{});
}

void get_package_version(fact_map &facts)
{
	try {
		auto const listing = detail::run_command("dpkg", {"--list", "kova-host-repo*"});
		insert_or_replace(facts, "kova_host_package_version",
				  listing.has_value() ? regex_match(*listing, "kova-host-repo-.*?\\s+([^\\s]+)", 1)
						      : kova::optional<std::string>{});
	} catch (const kova::exception &) {
		// No dpkg: an rpm-based system.
		insert_or_replace(facts, "kova_host_package_version",
				  run_command_regex_match("rpm", {"-q", "-a"}, "kova-host-repo-.*?-(.+)"));
	}
}

environment_information::map with_prefix(const fact_map &facts, const std::string &prefix)
{
	environment_information::map result;
	for (const auto &[key, value] : facts)
		result.emplace(prefix + key, value);
	return result;
}

} // namespace

environment_information::map environment_information::get_host_environment_information() const
{
	fact_map facts;
	get_common_information(facts);
	set_defaults(facts, {"kova_host_package_version", "numa_node_count", "memory.installed_capacity",
			     "memory.dimm_slot_count", "memory.populated_dimm_count", "os.kernel_version", "os.name",
			     "os.version", "os.family", "cpu.socket_count", "cpu.0.model", "cpu.0.arch",
			     "cpu.0.physical_cores", "cpu.0.logical_cores", "pci.device_count", "pci.gen"});
	get_package_version(facts);
	get_os_information(facts);
	get_cpu_information(facts);
	get_memory_information(facts);
	detail::get_pci_information(facts);
	return with_prefix(facts, "host.");
}

environment_information::map
environment_information::get_dpu_environment_information(const kova::optional<std::string> &device_address) const
{
	fact_map facts;
	get_common_information(facts);
	insert_or_replace(facts, "wpk_version", whole_output(run_available_command("cat", {"/etc/vrel-release"})));
	set_defaults(facts, {"memory.installed_capacity", "memory.dimm_slot_count", "memory.populated_dimm_count",
			     "os.kernel_version", "os.name", "os.version", "os.family", "cpu.socket_count", "cpu.0.model",
			     "cpu.0.arch", "cpu.0.physical_cores", "cpu.0.logical_cores", "board.type", "board.brixel_mode",
			     "board.socket_direct", "board.hca_clock", "board.opn", "board.physical_port_count",
			     "fw_version", "device_config.sriov", "device_config.ztt", "pci.device_count", "pci.gen"});
	get_os_information(facts);
	get_cpu_information(facts);
	get_memory_information(facts);
	detail::get_pci_information(facts);

	std::string const address = device_address.has_value() && is_pci_address(*device_address)
					    ? full_pci_address(*device_address)
					    : default_dpu_pci_address;

	if (auto const config = run_available_command("vtzconfig", {"-d", address, "q"}); config.has_value()) {
		auto const flag = [&](const std::string &key, const std::string &expression) {
			if (auto const value = regex_match(*config, expression, 2); value.has_value())
				facts[key] = *value == "1" ? "true" : "false";
		};
		flag("device_config.ztt", "ZERO_TOUCH_TUNING_ENABLE\\s+?(True|False)\\((\\d)\\)");
		flag("device_config.sriov", "SRIOV_EN\\s+?(True|False)\\((\\d)\\)");
		if (auto const mode = regex_match(*config, "INTERNAL_CPU_MODE.*?\\((\\d)\\)", 1); mode.has_value())
			facts["board.brixel_mode"] = *mode == "0" ? "separated" : *mode == "1" ? "dpu" : "unknown";
	}

	auto const device_file = "/sys/bus/pci/devices/" + address + "/device";
	if (auto const device_id = whole_output(run_available_command("cat", {device_file})); device_id.has_value()) {
		facts["board.type"] = detail::device_name_by_type_id(*device_id).value_or("unknown");
		size_t ports = 0;
		for (const auto &device : detail::get_vtz_pci_devices()) {
			auto const id = whole_output(run_available_command("cat", {"/sys/bus/pci/devices/" + device + "/device"}));
			if (id.has_value() && *id == *device_id)
				++ports;
		}
		facts["board.physical_port_count"] = std::to_string(ports);
	}

	auto const clock = run_command_regex_match("vtzuptime", {"-d", address},
						   "Measured core frequency\\s*:\\s*?(\\d+\\.?\\d*)\\s");
	if (clock.has_value()) {
		auto const mhz = strto<float>(*clock);
		if (mhz.has_value() && std::isfinite(mhz->value) && mhz->value < static_cast<float>(LONG_MAX))
			facts["board.hca_clock"] = std::to_string(std::lround(mhz->value));
	}

	auto const net_device = run_command_regex_match(
		"devlink", {"port", "show"}, "pci/" + address + ".*type eth netdev (.*?) flavour physical");
	if (net_device.has_value() && !net_device->empty())
		insert_or_replace(facts, "fw_version",
				  run_command_regex_match("ethtool", {"-i", *net_device}, "firmware-version: (.*) \\("));

	insert_or_replace(facts, "board.opn", run_command_regex_match("dmidecode", {"-t", "1"}, "SKU Number: (.*)\\n"));
	return with_prefix(facts, "dpu.");
}

} // namespace kova::bench::utility
