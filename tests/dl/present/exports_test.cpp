// Compares what each stand-in library of the build's lib/ exports (nm -D --defined-only) with the functions
// of its table in data/exports.txt.
#include "dl/support/exports_list.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace kova::bench::dl {
namespace {

// The names of the dynamic symbols a library defines.
std::set<std::string> defined_symbols(const std::string &path)
{
	std::string const command = "nm -D --defined-only '" + path + "' 2>&1";
	std::unique_ptr<FILE, int (*)(FILE *)> pipe{::popen(command.c_str(), "r"), ::pclose};
	if (!pipe)
		throw std::runtime_error{"cannot run nm"};
	std::string output;
	char chunk[4096];
	for (std::size_t n; (n = std::fread(chunk, 1, sizeof(chunk), pipe.get())) > 0;)
		output.append(chunk, n);
	if (::pclose(pipe.release()) != 0)
		throw std::runtime_error{"nm failed: " + output};

	std::set<std::string> names;
	std::istringstream lines{output};
	for (std::string line; std::getline(lines, line);) {
		// "<address> <type> <name>"
		std::istringstream fields{line};
		std::string address;
		std::string type;
		std::string name;
		if (fields >> address >> type >> name)
			names.insert(name.substr(0, name.find('@')));
	}
	return names;
}

TEST(dl_exports, every_stand_in_exports_exactly_the_functions_of_its_table)
{
	auto const lists = test::read_exports_list();
	ASSERT_EQ(lists.size(), 13U);
	for (auto const &[file, functions] : lists) {
		SCOPED_TRACE(file);
		// DPDK's functions of the bridge's table come from DPDK, which the bridge links, except those
		// through which the bridge presents its ports as the device.
		static std::set<std::string> const presented{"rte_eth_dev_info_get", "rte_eth_dev_configure",
							     "rte_eth_tx_queue_setup"};
		std::set<std::string> expected;
		for (auto const &function : functions) {
			if (function.rfind("rte_", 0) != 0 ||
			    (file == "libkova_dpdk_bridge.so.2" && presented.count(function) != 0))
				expected.insert(function);
		}
		EXPECT_EQ(defined_symbols(KOVA_LIB_DIR "/" + file), expected);
	}
}

} // namespace
} // namespace kova::bench::dl
