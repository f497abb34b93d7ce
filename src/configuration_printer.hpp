// Text forms of the run configuration, printed once at start-up.
#pragma once

#include "configuration.hpp"
#include "kova_optional.hpp"

#include <chrono>
#include <ostream>
#include <string>

// "<n> seconds"
std::ostream &operator<<(std::ostream &os, std::chrono::seconds duration);

namespace kova {

inline constexpr const char *not_configured = "-- not configured --";

std::ostream &operator<<(std::ostream &os, const kova::optional<std::chrono::seconds> &value);
// The text in double quotes.
std::ostream &operator<<(std::ostream &os, const kova::optional<std::string> &value);
std::ostream &operator<<(std::ostream &os, const kova::optional<bool> &value);

} // namespace kova

namespace kova::bench {

namespace configuration {

std::ostream &operator<<(std::ostream &os, benchmark_mode mode);
std::ostream &operator<<(std::ostream &os, batch_mode mode);
std::ostream &operator<<(std::ostream &os, const stats_configuration &stats);

std::string to_string(const pipeline_configuration &pipeline);
std::string to_string(const pipeline_configuration::step_definition &step);

} // namespace configuration

std::ostream &operator<<(std::ostream &os, const fixed_configuration &config);
std::string to_string(const dynamic_configuration &config);
std::ostream &operator<<(std::ostream &os, const dynamic_configuration &config);
std::ostream &operator<<(std::ostream &os, const configuration_collection &collection);

} // namespace kova::bench
