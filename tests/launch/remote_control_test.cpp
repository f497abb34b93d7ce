// Unit tests for the ssh and companion argument lists of src/companion/remote_control.
#include "companion/remote_control.hpp"
#include "kova_exception.hpp"
#include "utility/join.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

namespace {

namespace rc = kova::bench::companion::remote_control;
using strings = std::vector<std::string>;

rc::ssh_config config(kova::optional<unsigned short> port = {})
{
	return rc::ssh_config{"user@peer", port, "/opt/tervane/kova/tools/kova_bench_companion"};
}

template <typename F>
void expect_invalid_value(F &&call, const std::string &message)
{
	EXPECT_KOVA_THROW(call(), static_cast<kova_error>(KOVA_ERROR_INVALID_VALUE), message);
}

TEST(remote_control, ssh_arguments_with_and_without_port)
{
	EXPECT_EQ(rc::execute_remote_application_args(config(2222), {"--method", "main"}),
		  (strings{"-o", "PasswordAuthentication=no", "-p", "2222", "--", "user@peer",
			   "'/opt/tervane/kova/tools/kova_bench_companion'", "'--method'", "'main'"}));
	EXPECT_EQ(rc::execute_remote_application_args(config(), {}),
		  (strings{"-o", "PasswordAuthentication=no", "--", "user@peer",
			   "'/opt/tervane/kova/tools/kova_bench_companion'"}));
}

TEST(remote_control, remote_words_are_single_quoted)
{
	rc::ssh_config c = config();
	c.companion_path = "/opt/my tools;rm -rf x/companion";
	auto const args = rc::execute_remote_application_args(c, {"a b;c", "it's", "$(id)", ""});
	EXPECT_EQ(strings(args.end() - 5, args.end()),
		  (strings{"'/opt/my tools;rm -rf x/companion'", "'a b;c'", "'it'\\''s'", "'$(id)'", "''"}));
}

TEST(remote_control, destination_that_looks_like_an_option_is_refused)
{
	for (const char *destination : {"-oProxyCommand=touch /tmp/x", "-p", ""}) {
		SCOPED_TRACE(destination);
		rc::ssh_config c = config();
		c.destination = destination;
		expect_invalid_value([&] { rc::execute_remote_application_args(c, {}); },
				     std::string{"Invalid ssh destination: \""} + destination + "\"");
	}
}

TEST(remote_control, companion_arguments_with_and_without_representor_and_gpu)
{
	EXPECT_EQ(rc::tcp_companion_args(12345, "0000:03:00.0", {}, {}),
		  (strings{"--method", "main", "--comms-type", "tcp", "--device", "0000:03:00.0", "--tcp-port", "12345"}));
	EXPECT_EQ(rc::tcp_companion_args(7, "03:00.0", std::string{"0000:03:00.1"}, std::string{"0000:AF:1f.7"}),
		  (strings{"--method", "main", "--comms-type", "tcp", "--device", "03:00.0", "--representor",
			   "0000:03:00.1", "--tcp-port", "7", "--gpu", "0000:AF:1f.7"}));
}

TEST(remote_control, text_that_is_not_a_pci_address_is_refused)
{
	const char *bad[] = {"0000:03:00.0;reboot", "03:00.0 ", " 03:00.0", "0000:3:00.0", "zz:00.0", "0000-03:00.0",
			     "03:00:0", "", "$(reboot)"};
	for (const char *text : bad) {
		SCOPED_TRACE(text);
		std::string const message = std::string{"Invalid PCI address: \""} + text + "\"";
		expect_invalid_value([&] { rc::tcp_companion_args(1, text, {}, {}); }, message);
		expect_invalid_value([&] { rc::tcp_companion_args(1, "03:00.0", std::string{text}, {}); }, message);
		expect_invalid_value([&] { rc::tcp_companion_args(1, "03:00.0", {}, std::string{text}); }, message);
		// Refused before any ssh is run.
		expect_invalid_value([&] { rc::determine_dpu_device_address_matching_representor(config(), text); },
				     message);
	}
}

TEST(remote_control, collect_output_and_join)
{
	strings source{"first", "", "third"};
	size_t next = 0;
	auto const lines = rc::collect_output_from([&]() -> kova::optional<std::string> {
		if (next == source.size())
			return {};
		return source[next++];
	});
	EXPECT_EQ(lines, source);
	EXPECT_EQ(kova::bench::utility::join(lines, "\n\t"), "first\n\t\n\tthird");
	EXPECT_EQ(kova::bench::utility::join({}, ", "), "");
	EXPECT_EQ(kova::bench::utility::join({"one"}, ", "), "one");
}

} // namespace
