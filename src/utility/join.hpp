// Joining texts with a separator.
#pragma once

#include <string>
#include <vector>

namespace kova::bench::utility {

// The entries with the separator between them; an empty list gives "".
std::string join(const std::vector<std::string> &entries, const std::string &separator);

} // namespace kova::bench::utility
