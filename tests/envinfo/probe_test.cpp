// Runs envinfo_probe on this machine, with its real tools.
#include "impl/shell_process.hpp"

#include <gtest/gtest.h>

#include <map>

namespace {

TEST(envinfo_probe, describes_this_host)
{
	auto probe = kova::bench::utility::make_process(KOVA_ENVINFO_PROBE, {});
	ASSERT_TRUE(kova::bench::utility::run_to_completion(*probe, std::chrono::minutes{5}));
	EXPECT_FALSE(probe->execution_failed());

	std::map<std::string, std::string> facts;
	for (auto line = probe->get_line_stdout(); line.has_value(); line = probe->get_line_stdout()) {
		auto const equals = line->find('=');
		ASSERT_NE(equals, std::string::npos) << *line;
		facts[line->substr(0, equals)] = line->substr(equals + 1);
	}
	EXPECT_NE(facts["host.hostname"], "N/A");
	EXPECT_NE(facts["host.os.name"], "N/A");
	EXPECT_NE(facts["host.os.kernel_version"], "N/A");
	EXPECT_EQ(facts["host.cpu.socket_count"].find_first_not_of("0123456789"), std::string::npos);
	EXPECT_EQ(facts["host.pci.device_count"], "0"); // no adapter of the maker here
	EXPECT_EQ(facts["host.kova_host_package_version"], "N/A");
	for (const auto &[key, value] : facts)
		EXPECT_EQ(key.rfind("host.", 0), 0u) << key;
}

} // namespace
