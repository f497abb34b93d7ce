// Printing of optional text: the value between double quotes, or "-- not configured --".
#pragma once

#include "kova_optional.hpp"

#include <ostream>
#include <string>

namespace kova {

std::ostream &operator<<(std::ostream &os, const kova::optional<std::string> &value);

} // namespace kova
