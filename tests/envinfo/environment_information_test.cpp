// Tests of src/utility/environment_information and pci_information against
// machines made of fake tools.
#include "utility/environment_information.hpp"
#include "utility/pci_information.hpp"

#include "fake_machine.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <map>

namespace {

using kova::bench::utility::environment_information;
using kova::test::fake_machine;
using sorted_map = std::map<std::string, std::string>;

sorted_map sorted(const environment_information::map &facts)
{
	return sorted_map(facts.begin(), facts.end());
}

const std::initializer_list<const char *> host_tools = {"hostname", "ofed_info", "dpkg",      "uname", "cat",
							 "lscpu",    "dmidecode", "lspci",     "setpci", "devlink"};

TEST(environment_information, one_socket_host)
{
	fake_machine machine{"host_one_socket"};
	machine.install(host_tools);
	EXPECT_EQ(sorted(environment_information{}.get_host_environment_information()),
		  (sorted_map{
			  {"host.hostname", "testhost-1"},
			  {"host.ofed_version", "KOVA_OFED-5.8-1.0.1"},
			  {"host.kova_host_package_version", "2.9.0-1"},
			  {"host.numa_node_count", "1"},
			  {"host.os.kernel_version", "6.1.0-18-amd64"},
			  {"host.os.family", "Linux"},
			  {"host.os.name", "Debian GNU/Linux"},
			  {"host.os.version", "12 (bookworm)"},
			  {"host.cpu.socket_count", "1"},
			  {"host.cpu.0.model", "Example Processor 8-Core"},
			  {"host.cpu.0.logical_cores", "16"},
			  {"host.cpu.0.physical_cores", "8"},
			  {"host.cpu.0.arch", "x86_64"},
			  {"host.memory.installed_capacity", "16710123520"},
			  {"host.memory.dimm_slot_count", "16"},
			  {"host.memory.populated_dimm_count", "4"},
			  {"host.pci.device_count", "0"},
			  {"host.pci.gen", "Gen4"},
		  }));
}

TEST(environment_information, two_socket_host_with_two_adapters_and_rpm)
{
	fake_machine machine{"host_two_sockets"};
	// No dpkg and no ofed_info on this one.
	machine.install({"hostname", "rpm", "uname", "cat", "lscpu", "dmidecode", "lspci", "setpci", "devlink"});
	EXPECT_EQ(sorted(environment_information{}.get_host_environment_information()),
		  (sorted_map{
			  {"host.hostname", "testhost-2"},
			  {"host.ofed_version", "N/A"},
			  {"host.kova_host_package_version", "2.9.0-1.x86_64"},
			  {"host.numa_node_count", "2"},
			  {"host.os.kernel_version", "5.14.0-362.el9.x86_64"},
			  {"host.os.family", "Linux"},
			  {"host.os.name", "Rocky Linux"},
			  {"host.os.version", "9.3 (Blue Onyx)"},
			  {"host.cpu.socket_count", "2"},
			  {"host.cpu.0.model", "Example Server Processor A"},
			  {"host.cpu.0.logical_cores", "32"},
			  {"host.cpu.0.physical_cores", "16"},
			  {"host.cpu.0.arch", "x86_64"},
			  {"host.cpu.1.model", "Example Server Processor B"},
			  {"host.cpu.1.logical_cores", "24"},
			  {"host.cpu.1.physical_cores", "12"},
			  {"host.cpu.1.arch", "x86_64"},
			  {"host.memory.installed_capacity", "270255697920"},
			  {"host.memory.dimm_slot_count", "16"},
			  {"host.memory.populated_dimm_count", "N/A"}, // more empty slots listed than slots
			  {"host.pci.device_count", "2"},
			  {"host.pci.gen", "N/A"},
			  {"host.pci.0.address", "0000:03:00.0"},
			  {"host.pci.0.link_type", "Ethernet"},
			  {"host.pci.0.port_speed", "25000000000"},
			  {"host.pci.0.eswitch_mode", "switchdev"},
			  {"host.pci.0.gen", "Gen4"},
			  {"host.pci.0.width", "x16"},
			  {"host.pci.0.ext_tag", "true"},
			  {"host.pci.0.relaxed_ordering", "true"},
			  {"host.pci.0.max_payload_size", "256"},
			  {"host.pci.0.max_read_request", "512"},
			  // Reads 0xffff: the device is gone.
			  {"host.pci.1.address", "0000:81:00.0"},
			  {"host.pci.1.link_type", "Infiniband"},
			  {"host.pci.1.port_speed", "N/A"},
			  {"host.pci.1.eswitch_mode", "N/A"},
			  {"host.pci.1.gen", "N/A"},
			  {"host.pci.1.width", "N/A"},
			  {"host.pci.1.ext_tag", "N/A"},
			  {"host.pci.1.relaxed_ordering", "N/A"},
			  {"host.pci.1.max_payload_size", "N/A"},
			  {"host.pci.1.max_read_request", "N/A"},
		  }));
}

TEST(environment_information, package_version_sources)
{
	fake_machine machine{"host_one_socket"};
	machine.install({"dpkg", "rpm"});
	machine.output("rpm_-q_-a", "kova-host-repo-rhel9-1.0-1.x86_64\n");
	// dpkg is there but lists no such package: no fall-back to rpm.
	machine.exit_status("dpkg_--list_kova-host-repo%", 1);
	machine.output("dpkg_--list_kova-host-repo%", "");
	auto const facts = environment_information{}.get_host_environment_information();
	EXPECT_EQ(facts.at("host.kova_host_package_version"), "N/A");
}

TEST(environment_information, host_without_any_tool)
{
	fake_machine machine;
	auto const facts = sorted(environment_information{}.get_host_environment_information());
	EXPECT_EQ(facts.at("host.pci.device_count"), "0");
	for (const auto &[key, value] : facts) {
		SCOPED_TRACE(key);
		EXPECT_EQ(key.rfind("host.", 0), 0u);
		if (key != "host.pci.device_count") {
			EXPECT_EQ(value, "N/A");
		}
	}
	EXPECT_EQ(facts.size(), 18u);
}

TEST(environment_information, os_name_is_read_from_its_own_key)
{
	fake_machine machine;
	machine.install({"cat"});
	machine.file("/etc/os-release", "PRETTY_NAME=\"Pretty Name 1\"\nVERSION_ID=\"1\"\nNAME=Plain\nVERSION=\"1 (one)\"\n");
	auto const facts = environment_information{}.get_host_environment_information();
	EXPECT_EQ(facts.at("host.os.name"), "Plain");
	EXPECT_EQ(facts.at("host.os.version"), "1 (one)");
}

TEST(environment_information, failing_and_oversized_dmidecode)
{
	fake_machine machine{"host_one_socket"};
	machine.install(host_tools);
	// As on a machine without DMI tables: a banner, then failure.
	for (const char *key : {"dmidecode_-t_16", "dmidecode_-t_17", "dmidecode_-t_9"}) {
		machine.output(key, "# dmidecode 3.4\nScanning /dev/mem for entry point.\n");
		machine.exit_status(key, 1);
	}
	// 50 KB of processor records before the one that counts.
	std::string processors = "# dmidecode 3.4\n\n";
	while (processors.size() < 50000)
		processors += "Handle 0x0100, DMI type 4, 48 bytes\nProcessor Information\n\tType: Other\n\tFlags:\n"
			      "\t\tFPU (Floating-point unit on-chip)\n\t\tVME (Virtual mode extension)\n\n";
	processors += "Handle 0x0004, DMI type 4, 48 bytes\nProcessor Information\n\tSocket Designation: CPU1\n"
		      "\tVersion: Late Processor\n\tCore Count: 4\n\tThread Count: 8\n";
	machine.output("dmidecode_-t_processor", processors);

	auto const facts = environment_information{}.get_host_environment_information();
	EXPECT_EQ(facts.at("host.cpu.0.model"), "Late Processor");
	EXPECT_EQ(facts.at("host.cpu.0.physical_cores"), "4");
	EXPECT_EQ(facts.at("host.memory.dimm_slot_count"), "N/A");
	EXPECT_EQ(facts.at("host.memory.populated_dimm_count"), "N/A");
	EXPECT_EQ(facts.at("host.pci.gen"), "N/A");
}

TEST(environment_information, socket_designations_are_matched_exactly)
{
	fake_machine machine{"host_one_socket"};
	machine.install({"lscpu", "dmidecode"});
	machine.output("lscpu", "Architecture: x86_64\nSocket(s): 2\n");
	machine.output("dmidecode_-t_processor", "Processor Information\n\tSocket Designation: CPU10\n\tVersion: Wrong\n\n"
						 "Processor Information\n\tSocket Designation: CPU1\n\tVersion: Right\n\n");
	auto const facts = environment_information{}.get_host_environment_information();
	EXPECT_EQ(facts.at("host.cpu.0.model"), "Right");
	EXPECT_EQ(facts.at("host.cpu.1.model"), "N/A");
	EXPECT_EQ(facts.at("host.cpu.1.arch"), "x86_64");
}

TEST(environment_information, hanging_tool_is_aborted)
{
	fake_machine machine{"host_one_socket"};
	machine.install(host_tools);
	machine.hang("hostname");
	auto const start = std::chrono::steady_clock::now();
	auto const facts = environment_information{}.get_host_environment_information();
	EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds{45});
	EXPECT_EQ(facts.at("host.hostname"), "N/A");
	EXPECT_EQ(facts.at("host.os.name"), "Debian GNU/Linux");
}

sorted_map expected_dpu()
{
	return {
		{"dpu.hostname", "dpu-arm"},
		{"dpu.ofed_version", "KOVA_OFED-5.8-2.0.3"},
		{"dpu.wpk_version", "VRT 4.5.0.12993 2024-02-01"},
		{"dpu.os.kernel_version", "5.15.0-1035-vtz"},
		{"dpu.os.family", "Linux"},
		{"dpu.os.name", "Ubuntu"},
		{"dpu.os.version", "22.04.3 LTS (Jammy Jellyfish)"},
		{"dpu.cpu.socket_count", "1"},
		{"dpu.cpu.0.model", "Example Arm Cores"},
		{"dpu.cpu.0.logical_cores", "16"},
		{"dpu.cpu.0.physical_cores", "16"},
		{"dpu.cpu.0.arch", "aarch64"},
		{"dpu.memory.installed_capacity", "33367715840"},
		{"dpu.memory.dimm_slot_count", "1"},
		{"dpu.memory.populated_dimm_count", "1"},
		{"dpu.board.type", "Brixel-20 DPU"},
		{"dpu.board.brixel_mode", "dpu"},
		{"dpu.board.socket_direct", "N/A"},
		{"dpu.board.hca_clock", "2750"},
		{"dpu.board.opn", "VTZ-B20-DPU-2P"},
		{"dpu.board.physical_port_count", "2"},
		{"dpu.fw_version", "24.39.1002"},
		{"dpu.device_config.sriov", "true"},
		{"dpu.device_config.ztt", "false"},
		{"dpu.pci.device_count", "3"},
		{"dpu.pci.gen", "N/A"},
		{"dpu.pci.0.address", "0000:00:00.0"},
		{"dpu.pci.0.link_type", "N/A"},
		{"dpu.pci.0.port_speed", "N/A"},
		{"dpu.pci.0.eswitch_mode", "N/A"},
		{"dpu.pci.0.gen", "N/A"},
		{"dpu.pci.0.width", "N/A"},
		{"dpu.pci.0.ext_tag", "false"},
		{"dpu.pci.0.relaxed_ordering", "true"},
		{"dpu.pci.0.max_payload_size", "128"},
		{"dpu.pci.0.max_read_request", "512"},
		{"dpu.pci.1.address", "0000:03:00.0"},
		{"dpu.pci.1.link_type", "Ethernet"},
		{"dpu.pci.1.port_speed", "100000000000"},
		{"dpu.pci.1.eswitch_mode", "switchdev"},
		{"dpu.pci.1.gen", "Gen3"},
		{"dpu.pci.1.width", "x16"},
		{"dpu.pci.1.ext_tag", "true"},
		{"dpu.pci.1.relaxed_ordering", "true"},
		{"dpu.pci.1.max_payload_size", "256"},
		{"dpu.pci.1.max_read_request", "4096"},
		{"dpu.pci.2.address", "0000:03:00.1"},
		{"dpu.pci.2.link_type", "Ethernet"},
		{"dpu.pci.2.port_speed", "Unknown"},
		{"dpu.pci.2.eswitch_mode", "legacy"},
		{"dpu.pci.2.gen", "Gen3"},
		{"dpu.pci.2.width", "x16"},
		{"dpu.pci.2.ext_tag", "true"},
		{"dpu.pci.2.relaxed_ordering", "true"},
		{"dpu.pci.2.max_payload_size", "256"},
		{"dpu.pci.2.max_read_request", "4096"},
	};
}

const std::initializer_list<const char *> dpu_tools = {"hostname", "ofed_info", "uname",   "cat",       "lscpu",
						       "dmidecode", "lspci",   "setpci", "devlink",   "ethtool",
						       "vtzconfig", "vtzuptime"};

TEST(environment_information, dpu_with_its_maker_tools)
{
	fake_machine machine{"dpu"};
	machine.install(dpu_tools);
	EXPECT_EQ(sorted(environment_information{}.get_dpu_environment_information()), expected_dpu());
}

TEST(environment_information, dpu_mode_and_device_address)
{
	fake_machine machine{"dpu"};
	machine.install({"vtzconfig"});
	struct mode_case {
		const char *digit;
		const char *mode;
	};
	for (const auto &c : {mode_case{"0", "separated"}, mode_case{"1", "dpu"}, mode_case{"2", "unknown"}}) {
		SCOPED_TRACE(c.digit);
		machine.output("vtzconfig_-d_0000:03:00.0_q",
			       std::string{"  INTERNAL_CPU_MODE   SEPARATED_HOST("} + c.digit + ")\n");
		auto const facts = environment_information{}.get_dpu_environment_information();
		EXPECT_EQ(facts.at("dpu.board.brixel_mode"), c.mode);
		EXPECT_EQ(facts.at("dpu.device_config.sriov"), "N/A");
	}
	// The companion's device, in either form, is the one asked about.
	machine.output("vtzconfig_-d_0000:0a:00.1_q", "SRIOV_EN   True(1)\n");
	for (const char *address : {"0A:00.1", "0000:0a:00.1"}) {
		SCOPED_TRACE(address);
		auto const facts = environment_information{}.get_dpu_environment_information(std::string{address});
		EXPECT_EQ(facts.at("dpu.device_config.sriov"), "true");
	}
}

TEST(environment_information, dpu_without_device_file_or_net_device)
{
	fake_machine machine{"dpu"};
	machine.install(dpu_tools);
	machine.remove_file("/sys/bus/pci/devices/0000:03:00.0/device");
	machine.output("devlink_port_show", "");
	machine.output("ethtool_-i_ib0", "firmware-version: 1.0 (X)\n");
	auto const facts = environment_information{}.get_dpu_environment_information();
	EXPECT_EQ(facts.at("dpu.board.type"), "N/A");
	EXPECT_EQ(facts.at("dpu.board.physical_port_count"), "N/A");
	EXPECT_EQ(facts.at("dpu.fw_version"), "N/A"); // no guess at another interface
	EXPECT_EQ(facts.count("dpu.numa_node_count"), 0u);
	EXPECT_EQ(facts.count("dpu.kova_host_package_version"), 0u);
}

TEST(pci_information, device_model_table)
{
	namespace detail = kova::bench::utility::detail;
	EXPECT_EQ(detail::device_name_by_type_id("0x4c20").value_or(""), "Brixel-20 DPU");
	EXPECT_FALSE(detail::device_name_by_type_id("0x4C20").has_value());
	EXPECT_FALSE(detail::device_name_by_type_id("4c20").has_value());
}

TEST(pci_information, unparsable_register_words_leave_defaults)
{
	namespace detail = kova::bench::utility::detail;
	fake_machine machine;
	machine.install({"setpci"});
	for (const char *word : {"zz12", "", "-1", "123456789", "0x10ffff"}) {
		SCOPED_TRACE(word);
		machine.output("setpci_-s_0000:03:00.0_0x72.w", word);
		machine.output("setpci_-s_0000:03:00.0_0x68.w", word);
		detail::fact_map facts;
		detail::get_pci_device_attributes(facts, "pci.0.", "0000:03:00.0");
		EXPECT_EQ(facts.at("pci.0.gen"), "N/A");
		EXPECT_EQ(facts.at("pci.0.max_payload_size"), "N/A");
	}
	machine.output("setpci_-s_0000:03:00.0_0x72.w", " 0x1104\n");
	detail::fact_map facts;
	detail::get_pci_device_attributes(facts, "pci.0.", "0000:03:00.0");
	EXPECT_EQ(facts.at("pci.0.gen"), "Gen4");
	EXPECT_EQ(facts.at("pci.0.width"), "x16");
}

} // namespace
