// The functions each SDK library exports for the function tables, read from
// data/exports.txt: sections "[file]" followed by one function per line.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kova::bench::test {

// Library file name -> its functions in table order.
std::map<std::string, std::vector<std::string>> read_exports_list();

} // namespace kova::bench::test
