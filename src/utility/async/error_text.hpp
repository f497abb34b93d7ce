// Text forms of the failures of asynchronous activities.
#pragma once

#include "utility/async/activity.hpp"

#include <string>
#include <vector>

namespace kova::bench::utility {

namespace async {
// error: {code: <SDK name> message: "<message>"}
std::string stringify(const error &err);
} // namespace async

// "[" + each error's text joined by ", " + "]"; "[]" when empty.
std::string format_errors(const std::vector<async::error> &errors);

} // namespace kova::bench::utility
