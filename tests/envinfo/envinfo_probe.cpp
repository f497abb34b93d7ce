// Prints this machine's host environment map, one "key=value" line per fact in
// key order.
#include "kova_exception.hpp"
#include "utility/environment_information.hpp"

#include <cstdio>
#include <map>

int main()
{
	try {
		auto const facts = kova::bench::utility::environment_information{}.get_host_environment_information();
		for (const auto &[key, value] : std::map<std::string, std::string>(facts.begin(), facts.end()))
			std::printf("%s=%s\n", key.c_str(), value.c_str());
	} catch (const kova::exception &e) {
		std::fprintf(stderr, "%s\n", e.what());
		return 1;
	}
	return 0;
}
