// What the fixture libraries reported to this test program: "load <file>",
// "unload <file>", "kova_bench_rhun_init", in the order they happened.
#pragma once

#include <string>
#include <vector>

namespace kova::bench::test {

std::vector<std::string> library_events();
void clear_library_events();
long count_library_events(const std::string &event);

} // namespace kova::bench::test
