// Turns the parsed options into the run's configuration collection.
#pragma once

#include "configuration.hpp"
#include "impl/config_parameters.hpp"

namespace kova::bench::impl {

// Applies the defaults and every rule that involves more than one option,
// resolves core sets and the companion connection string, and expands the
// sweeps into permutations. Throws kova::exception KOVA_ERROR_INVALID_VALUE on the first broken rule.
configuration_collection configuration_from_config_params(const config_parameters &params);

} // namespace kova::bench::impl
