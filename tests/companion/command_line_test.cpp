// Tests of the companion's command line, its validity per method and printout, and of the two
// probes run through the shipped kova_bench_companion.
#include "companion/configuration.hpp"
#include "companion/impl/configuration_parser.hpp"
#include "kova_exception.hpp"
#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <kova/error.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace kova::bench::companion;

struct parse_result {
	kova::optional<configuration> config;
	kova_error code = 0;
	std::string message;
};

parse_result parse(std::vector<std::string> args)
{
	args.insert(args.begin(), "kova_bench_companion");
	std::vector<char *> argv;
	for (auto &arg : args)
		argv.push_back(arg.data());
	argv.push_back(nullptr);
	parse_result result;
	try {
		result.config = make_companion_configuration_from_cli_args(static_cast<int>(args.size()), argv.data());
	} catch (const kova::exception &e) {
		result.code = e.code();
		result.message = e.what();
	}
	return result;
}

std::vector<std::string> server(std::vector<std::string> extra = {})
{
	std::vector<std::string> args{"--method", "main", "--comms-type", "tcp", "--device", "0000:03:00.0"};
	args.insert(args.end(), extra.begin(), extra.end());
	return args;
}

TEST(companion_command_line, argv_cases)
{
	struct argv_case {
		const char *name;
		std::vector<std::string> args;
		kova_error code;
		std::string message;
		bool valid;
	};
	std::vector<argv_case> const cases{
		{"server", server({"--tcp-port", "5000"}), 0, "", true},
		{"blanks around the method", {"--method", " main ", "--comms-type", "tcp", "--device", "x", "--tcp-port", "1"}, 0, "", true},
		{"server without port", server(), 0, "", false},
		{"highest port", server({"--tcp-port", "65535"}), 0, "", true},
		{"port above 16 bits", server({"--tcp-port", "70000"}), KOVA_ERROR_INVALID_VALUE, "Failed to parse cli arguments", false},
		{"port 0", server({"--tcp-port", "0"}), KOVA_ERROR_INVALID_VALUE, "Failed to parse cli arguments", false},
		{"negative port", server({"--tcp-port", "-5"}), KOVA_ERROR_INVALID_VALUE, "Failed to parse cli arguments", false},
		{"comms type with a blank", {"--method", "main", "--comms-type", " tcp", "--device", "x", "--tcp-port", "1"},
		 KOVA_ERROR_INVALID_VALUE, "Failed to parse cli arguments", false},
		{"no comms type", {"--method", "main", "--device", "x", "--tcp-port", "1"}, 0, "", false},
		{"no device", {"--method", "main", "--comms-type", "tcp", "--tcp-port", "1"}, 0, "", false},
		{"unknown method", {"--method", "bogus"}, KOVA_ERROR_INVALID_VALUE, "Unknown method: bogus", false},
		{"no method", {"--device", "x"}, KOVA_ERROR_INVALID_VALUE, "Failed to parse cli arguments", false},
		{"identify with one", {"-m", "identify_dpu_device_address_matching_representor", "--candidate", "a"}, 0, "", true},
		{"identify with two", {"-m", "identify_dpu_device_address_matching_representor", "--candidate", "a", "--candidate", "b"}, 0, "", false},
		{"select with none", {"-m", "select_representor_address_visible_to_host"}, 0, "", false},
		{"select with two", {"-m", "select_representor_address_visible_to_host", "--candidate", "a", "--candidate", "b"}, 0, "", true},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		auto const result = parse(c.args);
		EXPECT_EQ(result.code, c.code);
		EXPECT_EQ(result.message, c.message);
		if (result.config.has_value()) {
			EXPECT_EQ(is_valid_configuration(*result.config), c.valid);
		}
	}
}

TEST(companion_command_line, values_land_in_the_record)
{
	auto const result = parse({"-m", "select_representor_address_visible_to_host", "--candidate", " 0000:03:00.2 ",
				   "--candidate", "b", "--remote-session-name", "first", "--remote-session-name", " second",
				   "-A", " dev ", "-R", "rep", "-G", "gpu", "--comms-type", "tcp", "--tcp-port", "0x10"});
	ASSERT_TRUE(result.config.has_value()) << result.message;
	auto const &config = *result.config;
	EXPECT_EQ(config.method, companion_method::select_representor_address_visible_to_host);
	EXPECT_EQ(config.candidates, (std::vector<std::string>{"0000:03:00.2", "b"}));
	EXPECT_EQ(*config.remote_session_name, " second");
	EXPECT_EQ(*config.device_pci_address, " dev ");
	EXPECT_EQ(*config.device_representor_pci_address, "rep");
	EXPECT_EQ(*config.gpu_pci_address, "gpu");
	EXPECT_EQ(*config.comms_type, comms_type::tcp_server);
	EXPECT_EQ(*config.tcp_port, 16);
}

TEST(companion_command_line, validity_matrix_of_main)
{
	struct validity_case {
		kova::optional<comms_type> type;
		bool device;
		bool representor;
		bool port;
		bool valid;
	};
	for (auto const &c : std::vector<validity_case>{
		     {comms_type::tcp_server, true, false, true, true},
		     {comms_type::tcp_server, true, true, false, false},
		     {comms_type::tcp_server, false, true, true, false},
		     {comms_type::qrv_server, true, true, false, true},
		     {comms_type::qrv_server, true, false, true, false},
		     {comms_type::qrv_client, true, false, false, true},
		     {comms_type::qrv_client, false, false, false, false},
		     {{}, true, true, true, false},
	     }) {
		configuration config;
		config.comms_type = c.type;
		if (c.device)
			config.device_pci_address = std::string{"d"};
		if (c.representor)
			config.device_representor_pci_address = std::string{"r"};
		if (c.port)
			config.tcp_port = uint16_t{1};
		EXPECT_EQ(is_valid_configuration(config), c.valid);
	}
}

TEST(companion_command_line, printout)
{
	configuration config;
	config.device_pci_address = std::string{"0000:03:00.0"};
	config.comms_type = comms_type::tcp_server;
	config.tcp_port = uint16_t{5000};
	std::ostringstream tcp;
	tcp << config;
	EXPECT_EQ(tcp.str(), "KOVA bench companion configuration:\n"
			     "\tDevice: \"\"0000:03:00.0\"\"\n"
			     "\tDevice representor: \"-- not configured --\"\n"
			     "\tSession name: -- not configured --\n"
			     "\tComms type: tcp server\n"
			     "\tTCP Port: 5000\n");
	config.comms_type = comms_type::qrv_server;
	config.device_representor_pci_address = std::string{"0000:03:00.2"};
	config.remote_session_name = std::string{"s"};
	std::ostringstream qrv;
	qrv << config;
	EXPECT_EQ(qrv.str(), "KOVA bench companion configuration:\n"
			     "\tDevice: \"\"0000:03:00.0\"\"\n"
			     "\tDevice representor: \"\"0000:03:00.2\"\"\n"
			     "\tSession name: \"s\"\n"
			     "\tComms type: qrv server\n");
}

const std::string companion = std::string{KOVA_BIN_DIR} + "/kova_bench_companion";
const std::string banner = "kova_bench_companion : ";

TEST(companion_probes, print_one_address_or_fail_with_code_16)
{
	struct probe_case {
		const char *name;
		std::vector<std::string> args;
		int status;
		std::string out_tail;
		std::string err_text;
	};
	for (auto const &c : std::vector<probe_case>{
		     {"identify a known representor",
		      {"--method", "identify_dpu_device_address_matching_representor", "--candidate", "0000:03:00.2"}, 0,
		      "0000:03:00.0\n", ""},
		     {"identify in short form", {"-m", "identify_dpu_device_address_matching_representor", "--candidate", " 03:00.3"}, 0,
		      "0000:03:00.1\n", ""},
		     {"identify an unknown representor",
		      {"--method", "identify_dpu_device_address_matching_representor", "--candidate", "0000:03:00.7"}, 1, "",
		      "No device found which supports the given representor"},
		     {"select the first local candidate",
		      {"--method", "select_representor_address_visible_to_host", "--candidate", "0000:09:00.0",
		       "--candidate", " 0000:03:00.1 ", "--candidate", "0000:03:00.0"},
		      0, "0000:03:00.1\n", ""},
		     {"select none",
		      {"--method", "select_representor_address_visible_to_host", "--candidate", "0000:09:00.0", "--candidate", "bogus"},
		      1, "", "No device found which supports any of the given representors"},
		     {"invalid configuration", {"--method", "select_representor_address_visible_to_host"}, 1, " Invalid configuration\n", ""},
		     {"unknown method", {"--method", "nope"}, 1, "", "Unknown method: nope"},
	     }) {
		SCOPED_TRACE(c.name);
		auto const result = kova::test::run_program(companion, c.args);
		EXPECT_EQ(result.status, c.status) << result.err;
		EXPECT_EQ(result.out.rfind(banner, 0), 0u) << result.out;
		if (!c.out_tail.empty()) {
			ASSERT_GE(result.out.size(), c.out_tail.size());
			EXPECT_EQ(result.out.substr(result.out.size() - c.out_tail.size()), c.out_tail) << result.out;
		}
		if (!c.err_text.empty()) {
			EXPECT_NE(result.err.find(c.err_text), std::string::npos) << result.err;
			EXPECT_NE(result.err.find("Caught kova::exception. \n\tcode: \""), std::string::npos) << result.err;
		}
		if (c.status == 1 && c.err_text.find("No device") == 0) {
			EXPECT_NE(result.err.find(kova_error_get_name(KOVA_ERROR_NOT_FOUND)), std::string::npos);
		}
	}
}

} // namespace
