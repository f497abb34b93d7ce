// Checks that libkova_common.so.2 exports every function the system calls, and nothing of its
// internals beyond the kernel that the other stand-in libraries use.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

std::set<std::string> defined_dynamic_symbols(const std::string &library)
{
	std::set<std::string> symbols;
	std::string const command = "nm -D --defined-only '" + library + "'";
	FILE *pipe = ::popen(command.c_str(), "r");
	if (pipe == nullptr)
		return symbols;
	char line[1024];
	while (std::fgets(line, sizeof(line), pipe) != nullptr) {
		std::istringstream fields{line};
		std::string address;
		std::string type;
		std::string name;
		if (fields >> address >> type >> name && type == "T")
			symbols.insert(name);
	}
	::pclose(pipe);
	return symbols;
}

TEST(exported_symbols, every_function_the_system_calls_is_exported)
{
	std::set<std::string> const exported = defined_dynamic_symbols(std::string{KOVA_LIB_DIR} + "/libkova_common.so.2");
	ASSERT_FALSE(exported.empty()) << "nm found no symbols";
	std::ifstream list{std::string{KOVA_TEST_SOURCE_DIR} + "/sdk/data/common_symbols.txt"};
	ASSERT_TRUE(list.is_open());
	int checked = 0;
	for (std::string name; std::getline(list, name);) {
		if (name.empty() || name[0] == '#')
			continue;
		EXPECT_TRUE(exported.count(name) != 0) << name;
		++checked;
	}
	EXPECT_GT(checked, 50);
	for (const std::string &name : exported) {
		bool const public_c = name.rfind("kova_", 0) == 0 || name.rfind("priv_kova_", 0) == 0;
		bool const kernel = name.rfind("_ZN4kova3sdk", 0) == 0;
		EXPECT_TRUE(public_c || kernel) << "unexpected export " << name;
	}
}

} // namespace
