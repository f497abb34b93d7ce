// Calls the command-line driver with an argument list, as main would.
#pragma once

#include "impl/configuration_parser.hpp"

#include <string>
#include <vector>

namespace kova::bench::test {

inline configuration_collection configuration_from(std::vector<std::string> args)
{
	args.insert(args.begin(), "kova_bench");
	std::vector<char *> argv;
	for (auto &arg : args)
		argv.push_back(arg.data());
	argv.push_back(nullptr);
	return make_configuration_from_cli_args(static_cast<int>(args.size()), argv.data());
}

} // namespace kova::bench::test
