// Worker types by name: one row per type, each row a function that builds the worker from its
// id, its command map and the companion's state (devices, representor, DPDK context, GPU).
#pragma once

#include "companion/worker/worker.hpp"
#include "utility/span.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kova::bench::companion {
class runtime_state;
} // namespace kova::bench::companion

namespace kova::bench::companion::worker {

// Builds a worker or throws; no worker exists after a throw.
using factory_function = std::unique_ptr<worker> (*)(uint32_t id, const attribute_map &attributes,
						      runtime_state &state);

struct worker_type {
	std::string_view name;
	factory_function create;
};

// The types kova_bench_companion serves.
utility::span<const worker_type> shipped_worker_types();

// The worker of the row whose name equals `type` exactly; KOVA_ERROR_INVALID_VALUE "Unknown worker type: \"<type>\""
// when no row has it. The row's errors propagate.
std::unique_ptr<worker> create_worker(utility::span<const worker_type> types, const std::string &type, uint32_t id,
				      const attribute_map &attributes, runtime_state &state);

// Over the shipped types.
std::unique_ptr<worker> create_worker(const std::string &type, uint32_t id, const attribute_map &attributes,
				      runtime_state &state);

} // namespace kova::bench::companion::worker
