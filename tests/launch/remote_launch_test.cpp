// Tests of the remote launch (src/companion/remote_control, companion_app_lifetime)
// through a real ssh client and sshd on loopback, with the stub companion.
#include "companion/api/tcp_connect.hpp"
#include "companion/remote_control.hpp"
#include "kova_exception.hpp"
#include "ssh_peer.hpp"
#include "support/unused_port.hpp"
#include "utility/kova_utils.hpp"
#include "support/kova_throws.hpp"

#include <kova/dev.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

namespace rc = kova::bench::companion::remote_control;
namespace api = kova::bench::companion::api;
using namespace std::chrono_literals;

class remote_launch : public kova::test::ssh_peer_suite {
protected:

	// A companion path on the peer that runs the stub with the given test
	// controls (shell words). It lies in a directory whose name needs quoting.
	static rc::ssh_config companion(const std::string &name, const std::string &controls)
	{
		auto const directory = s_peer->directory() / "stub dir;x";
		std::filesystem::create_directories(directory);
		auto const path = directory / ("companion-" + name);
		{
			std::ofstream script{path};
			script << "#!/bin/sh\nexec '" KOVA_STUB_COMPANION "' " << controls << " \"$@\"\n";
		}
		std::filesystem::permissions(path, std::filesystem::perms::owner_all);
		return rc::ssh_config{s_peer->destination(), s_peer->port(), path.string()};
	}

};

using kova::test::thrown_by;

TEST_F(remote_launch, clean_run_ends_with_status_0)
{
	auto const config = companion("main", "");
	uint16_t const port = kova::test::unused_port();
	EXPECT_EXIT(
		{
			auto launched = rc::launch_tcp_companion(config, port, "0000:03:00.0", {});
			auto link = api::connect_via_tcp_as_client("127.0.0.1", port, 30);
			link.reset(); // says bye; the stub then ends with 0
			launched.reset();
			::_exit(0);
		},
		::testing::ExitedWithCode(0), "");
}

TEST_F(remote_launch, failing_companion_is_reported_at_once_with_status_1)
{
	auto const config = companion("exit3", "--exit-code 3");
	EXPECT_EXIT(
		{
			auto launched = rc::launch_tcp_companion(config, 40000, "0000:03:00.0", std::string{"0000:07:00.0"});
			std::this_thread::sleep_for(20s); // the watcher must not wait for the teardown
			::_exit(0);
		},
		::testing::ExitedWithCode(1),
		"Failed to Execute companion app\\. stdout: \\[\n\tkova_bench_companion \\(stub\\) method main\n\\], "
		"stderr: \\[\n\t(.*\n\t)?stub exiting with 3\n\\]\n");
}

TEST_F(remote_launch, ssh_that_cannot_connect_is_reported_at_once)
{
	rc::ssh_config config = companion("main", "");
	config.port = kova::test::unused_port();
	EXPECT_EXIT(
		{
			auto launched = rc::launch_tcp_companion(config, 40000, "0000:03:00.0", {});
			std::this_thread::sleep_for(20s);
			::_exit(0);
		},
		::testing::ExitedWithCode(1), "Failed to Execute companion app\\. stdout: \\[\n\t\n\\], stderr: \\[\n\t.*refused");
}

TEST_F(remote_launch, destroying_the_launcher_at_once_waits_for_the_companion_only)
{
	auto const config = companion("quick", "--exit-code 0");
	EXPECT_EXIT(
		{
			auto const start = std::chrono::steady_clock::now();
			rc::launch_tcp_companion(config, 40000, "0000:03:00.0", {}).reset();
			::_exit(std::chrono::steady_clock::now() - start < 10s ? 0 : 2);
		},
		::testing::ExitedWithCode(0), "");
}

TEST_F(remote_launch, companion_that_outlives_its_owner_is_stopped_and_reported)
{
	auto const config = companion("main", "");
	uint16_t const port = kova::test::unused_port();
	EXPECT_EXIT(
		{
			rc::launch_tcp_companion(config, port, "0000:03:00.0", {}).reset(); // no benchmark ever connects
			::_exit(0);
		},
		::testing::ExitedWithCode(1), "Failed to Execute companion app\\. stdout: \\[\n\t");
}

TEST_F(remote_launch, address_query_returns_the_last_line)
{
	auto const config = companion("query", "--print 'log line'");
	EXPECT_EQ(rc::determine_dpu_device_address_matching_representor(config, "0000:03:00.1"), "0000:03:00.1");
}

TEST_F(remote_launch, address_query_failures)
{
	struct failure_case {
		const char *name;
		const char *controls;
		kova_error code;
		std::string message;
	};
	std::string const banner = "kova_bench_companion (stub) method identify_dpu_device_address_matching_representor";
	const failure_case cases[] = {
		{"failing companion", "--exit-code 1", KOVA_ERROR_UNKNOWN,
		 "Failed to identify dpu side address for device. stdout: [" + banner + "], stderr: [stub exiting with 1]"},
		{"banner only", "--exit-code 0", KOVA_ERROR_UNKNOWN,
		 "Failed to identify dpu side address for device. stdout: [" + banner + "], stderr: [stub exiting with 0]"},
		{"no output", "--silent", KOVA_ERROR_INVALID_VALUE, "No supported address identified by companion"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		auto const config = companion(c.name, c.controls);
		auto const e = thrown_by(
			[&] { rc::determine_dpu_device_address_matching_representor(config, "0000:03:00.1"); });
		EXPECT_EQ(e.code(), c.code);
		EXPECT_EQ(std::string{e.what()}, c.message);
	}
}

TEST_F(remote_launch, representor_query_offers_the_sorted_representors)
{
	const char *const reps[] = {"03:00.5", "0000:03:00.4", "03:00.4", "0000:03:00.2"};
	kova_test_device const table[] = {{"0000:03:00.0", "kova_0", "kovap0", 1, reps, 4}};
	ASSERT_EQ(kova_test_set_device_table(table, 1), KOVA_SUCCESS);
	auto devices = kova::bench::utility::make_devinfo_list();
	kova_dev *dev = nullptr;
	ASSERT_EQ(kova_dev_open(*devices.begin(), &dev), KOVA_SUCCESS);

	EXPECT_EQ(rc::determine_representor_address_visible_to_host(companion("select", ""), dev), "0000:03:00.5");
	auto const e = thrown_by(
		[&] { rc::determine_representor_address_visible_to_host(companion("select-none", "--no-answer"), dev); });
	EXPECT_EQ(e.code(), static_cast<kova_error>(KOVA_ERROR_UNKNOWN));
	EXPECT_EQ(std::string{e.what()},
		  "Failed to get representor list from companion. stdout: [kova_bench_companion (stub) method "
		  "select_representor_address_visible_to_host, candidates: 0000:03:00.2 0000:03:00.4 0000:03:00.5], "
		  "stderr: []");

	auto const silent = thrown_by(
		[&] { rc::determine_representor_address_visible_to_host(companion("select-silent", "--silent"), dev); });
	EXPECT_EQ(silent.code(), static_cast<kova_error>(KOVA_ERROR_INVALID_VALUE));
	EXPECT_STREQ(silent.what(), "No supported representor identified by companion");

	EXPECT_EQ(kova_dev_close(dev), KOVA_SUCCESS);
	kova_test_reset();
}

} // namespace
