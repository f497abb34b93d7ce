// Unit tests for the companion connection string in src/utility/configuration_utils.cpp.
#include "configuration.hpp"
#include "kova_exception.hpp"
#include "utility/configuration_utils.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kova::bench::utility {
namespace {

std::string text_of(const kova::optional<std::string> &value)
{
	return value.has_value() ? *value : "<unset>";
}

TEST(parse_companion_connection_string, fills_the_companion_configuration)
{
	struct test_case {
		std::string text;
		uint32_t protocol;
		std::string address;
		std::string remote_address;
		uint16_t port;
		std::string representor;
		bool no_launch;
		std::string output; // on standard output
	};
	std::string const warning = "WARNING: QRV IS DEPRECATED, USING TCP CONNECTION INSTEAD\n";
	std::vector<test_case> const cases = {
		{"proto=tcp,port=12345,addr=127.0.0.1,dev=3b:00.0", 2, "127.0.0.1", "127.0.0.1", 12345, "<unset>", false, ""},
		{" proto = tcp , port = 1 , addr = host-1.example , dev = 3b:00.0 , , unknown=x , port=2 ", 2,
		 "host-1.example", "host-1.example", 1, "<unset>", false, ""},
		{"proto=tcp,port=65535,addr=fe80::1%lo,user=root,dev=3b:00.0,mode=dpu,channel-name=c", 2, "fe80::1%lo",
		 "root@fe80::1%lo", 65535, "<unset>", false, ""},
		{"proto=qrv,mode=dpu,user=root,addr=127.0.0.1,dev=03:00.0,rep=3b:00.0,port=7", 1, "127.0.0.1",
		 "root@127.0.0.1", 12345, "3b:00.0", false, warning},
		{"proto=qrv,mode=host,user=root,addr=127.0.0.1,dev=3b:00.0", 0, "127.0.0.1", "root@127.0.0.1", 12345,
		 "<unset>", false, warning},
		{"proto=qrv,mode=host,dev=3b:00.0,no-launch", 0, "<unset>", "<unset>", 12345, "<unset>", true, warning},
		{"proto=tcp,port=9,addr=127.0.0.1,dev=3b:00.0,no-launch=yes", 2, "127.0.0.1", "127.0.0.1", 9, "<unset>", true,
		 ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		configuration::companion_configuration companion;
		::testing::internal::CaptureStdout();
		parse_companion_connection_string(c.text, companion);
		EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.output);
		EXPECT_EQ(companion.connection_string.value(), c.text);
		EXPECT_EQ(companion.protocol, c.protocol);
		EXPECT_EQ(text_of(companion.address), c.address);
		EXPECT_EQ(text_of(companion.remote_address), c.remote_address);
		EXPECT_EQ(companion.port.value(), c.port);
		EXPECT_EQ(text_of(companion.representor), c.representor);
		EXPECT_EQ(companion.no_launch, c.no_launch);
	}
}

TEST(parse_connection_string, keeps_the_whole_value_and_drops_qrv_only_keys_for_tcp)
{
	companion_connection_string_fields const fields = parse_connection_string(
		"proto=tcp,port=1,addr=127.0.0.1,dev=a=b,mode=dpu,channel-name=c,gpu=01:00.0,ssh-port=22");
	EXPECT_EQ(fields.protocol, "tcp");
	EXPECT_EQ(fields.device, "a=b");
	EXPECT_FALSE(fields.mode.has_value());
	EXPECT_FALSE(fields.channel_name.has_value());
	EXPECT_EQ(fields.gpu.value(), "01:00.0");
	EXPECT_EQ(fields.ssh_port.value(), 22u);
}

TEST(parse_connection_string, refuses_bad_strings)
{
	struct test_case {
		std::string text;
		std::string message;
	};
	std::vector<test_case> const cases = {
		{"dev=3b:00.0", "Invalid connection string, no protocol defined"},
		{"", "Invalid connection string, no protocol defined"},
		{"proto=udp", "Invalid connection string, no device defined"},
		{"proto=udp,dev=x", "Invalid connection string, invalid protocol: \"udp\""},
		{"proto=tcp,addr=127.0.0.1,dev=x", "Invalid connection string, port not specified"},
		{"proto=tcp,port=1,dev=x", "Invalid connection string, address not specified"},
		{"proto=tcp,port=1,addr=127.0.0.1", "Invalid connection string, no device defined"},
		{"proto=qrv,dev=x,addr=127.0.0.1", "Invalid connection string, mode not specified"},
		{"proto=qrv,mode=DPU,dev=x,addr=127.0.0.1", "Invalid connection string, invalid mode: \"DPU\""},
		{"proto=qrv,mode=dpu,dev=x", "Invalid connection string, address not specified"},
		{"proto=tcp,port=abc,addr=127.0.0.1,dev=x", "Unable to parse port value: \"abc\""},
		{"proto=qrv,mode=dpu,port=abc,addr=127.0.0.1,dev=x", "Unable to parse port value: \"abc\""},
		{"proto=tcp,port=0,addr=127.0.0.1,dev=x", "Unable to parse port value: \"0\""},
		{"proto=tcp,port=65536,addr=127.0.0.1,dev=x", "Unable to parse port value: \"65536\""},
		{"proto=tcp,port=80x,addr=127.0.0.1,dev=x", "Unable to parse port value: \"80x\""},
		{"proto=tcp,port=-1,addr=127.0.0.1,dev=x", "Unable to parse port value: \"-1\""},
		{"proto=tcp,port=,addr=127.0.0.1,dev=x", "Unable to parse port value: \"\""},
		{"proto=tcp,port=1,ssh-port=99999,addr=127.0.0.1,dev=x", "Unable to parse port value: \"99999\""},
		{"proto=tcp,port=1,addr=-oProxyCommand=x,dev=x", "Invalid connection string, invalid address: \"-oProxyCommand=x\""},
		{"proto=tcp,port=1,addr=a;reboot,dev=x", "Invalid connection string, invalid address: \"a;reboot\""},
		{"proto=tcp,port=1,addr=a b,dev=x", "Invalid connection string, invalid address: \"a b\""},
		{"proto=tcp,port=1,addr=$(id),dev=x", "Invalid connection string, invalid address: \"$(id)\""},
		{"proto=tcp,port=1,addr=,dev=x", "Invalid connection string, invalid address: \"\""},
		{"proto=tcp,port=1,addr=127.0.0.1,user=,dev=x", "Invalid connection string, invalid user: \"\""},
		{"proto=tcp,port=1,addr=127.0.0.1,user=-l,dev=x", "Invalid connection string, invalid user: \"-l\""},
		{"proto=tcp,port=1,addr=127.0.0.1,user=a`b`,dev=x", "Invalid connection string, invalid user: \"a`b`\""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		::testing::internal::CaptureStdout();
		kova::exception const error = kova::test::thrown_by([&] { parse_connection_string(c.text); });
		EXPECT_EQ(error.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_EQ(std::string{error.what()}, c.message);
		EXPECT_STREQ(error.function(), "parse_connection_string");
		::testing::internal::GetCapturedStdout();
	}
}

TEST(parse_companion_connection_string, leaves_the_configuration_alone_on_failure)
{
	configuration::companion_configuration companion;
	companion.device = "before";
	EXPECT_THROW(parse_companion_connection_string("proto=tcp,dev=x", companion), kova::exception);
	EXPECT_EQ(companion.device, "before");
	EXPECT_FALSE(companion.connection_string.has_value());
}

} // namespace
} // namespace kova::bench::utility
