#include "utility/join.hpp"

namespace kova::bench::utility {

std::string join(const std::vector<std::string> &entries, const std::string &separator)
{
	std::string joined;
	for (size_t i = 0; i < entries.size(); ++i) {
		if (i != 0)
			joined += separator;
		joined += entries[i];
	}
	return joined;
}

} // namespace kova::bench::utility
