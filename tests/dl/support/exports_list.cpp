// Reader of data/exports.txt.
#include "dl/support/exports_list.hpp"

#include <fstream>
#include <stdexcept>

namespace kova::bench::test {

std::map<std::string, std::vector<std::string>> read_exports_list()
{
	std::ifstream file{KOVA_TEST_SOURCE_DIR "/dl/data/exports.txt"};
	if (!file)
		throw std::runtime_error{"cannot read dl/data/exports.txt"};
	std::map<std::string, std::vector<std::string>> libraries;
	std::vector<std::string> *current = nullptr;
	for (std::string line; std::getline(file, line);) {
		if (line.empty() || line[0] == '#')
			continue;
		if (line.front() == '[' && line.back() == ']') {
			current = &libraries[line.substr(1, line.size() - 2)];
			continue;
		}
		if (current == nullptr)
			throw std::runtime_error{"dl/data/exports.txt: a function outside a library: " + line};
		current->push_back(line);
	}
	return libraries;
}

} // namespace kova::bench::test
