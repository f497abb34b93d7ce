// How the companion prints a caught kova::exception.
#pragma once

#include "kova_exception.hpp"

#include <ostream>

namespace kova::bench::companion {

// "Caught kova::exception. " then the code name, message, source location and both SDK versions,
// one per line.
std::ostream &operator<<(std::ostream &os, const kova::exception &e);

} // namespace kova::bench::companion
