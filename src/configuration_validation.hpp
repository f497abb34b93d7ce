// Checks of a finished configuration that the builder does not already refuse.
#pragma once

#include "configuration.hpp"

#include <vector>

namespace kova::bench {

// Every finding, in a fixed order; the empty list means the configuration may run.
// Never throws for a bad configuration and prints nothing.
std::vector<configuration::validation_report> validate(const configuration_collection &collection);

} // namespace kova::bench
