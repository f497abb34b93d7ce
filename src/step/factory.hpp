// The one place where step names are bound to step classes, and the list of the offload
// libraries' capability records.
#pragma once

#include "step/capabilities.hpp"
#include "step/object.hpp"

#include <kova/types.h>

#include <memory>
#include <string>
#include <vector>

namespace kova::bench::step::factory {

// A new step of the class named, exactly and case-sensitively, by `name` ("kova_dma",
// "kova_rdma::send", ...), built on the calling thread's engine with the callbacks and the context
// user data it hands to the SDK. Throws KOVA_ERROR_INVALID_VALUE for a name that names no step,
// KOVA_ERROR_NOT_SUPPORTED for a step
// whose class this build does not provide, and whatever the step's constructor throws.
std::unique_ptr<object> create_step(const std::string &name, const object::attributes &attributes,
				    runtime_state &state, kova_pe *pe, completion_callback success_cb,
				    completion_callback error_cb, kova_data ctx_user_data);

// The capability records of the eight offload libraries for an opened device, sorted by name.
// A library that is not installed gives a record that says so; a failing query throws.
std::vector<capabilities> create_step_info_list(const kova_dev *dev);

} // namespace kova::bench::step::factory
