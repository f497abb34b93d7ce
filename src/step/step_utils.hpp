// Helpers shared by the step implementations.
#pragma once

#include "kova_optional.hpp"
#include "step/object.hpp"

#include <kova/types.h>

#include <cstdint>
#include <string>
#include <utility>

namespace kova::bench::step {

// Returns the code when it is success or "not supported"; any other code is
// thrown with "Failed to query " + what.
kova_error throw_if_query_fails(kova_error code, const std::string &what);

// log2 of the smallest power of two not below the task pool size.
uint8_t log_num_tasks_from_cfg(const object::attributes &attrs);

// The value of the attribute `key`; null when it is not given.
const std::string *find_attribute(const object::attributes &attributes, const std::string &key);

// {log number of queue pairs, log queue-pair depth} from "zoption.mmo.log_num_qps"
// and "zoption.mmo.log_qp_depth"; each empty when not configured. A negative
// value throws KOVA_ERROR_INVALID_VALUE.
std::pair<kova::optional<uint8_t>, kova::optional<uint8_t>> qp_dimensions_from_cfg(const object::attributes &attrs);

} // namespace kova::bench::step
