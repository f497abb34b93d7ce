// Makes text from a peer safe to print: control and non-ASCII bytes are escaped.
#pragma once

#include <string>
#include <string_view>

namespace kova::bench::utility {

// Printable ASCII stays as it is; \n, \r and \t become their escapes and any
// other byte becomes \xHH.
std::string escape_non_printable(std::string_view text);

} // namespace kova::bench::utility
