// A non-owning view of contiguous elements.
#pragma once

#include <cstddef>
#include <span>

namespace kova::bench::utility {

template <typename T>
using span = std::span<T>;

} // namespace kova::bench::utility
