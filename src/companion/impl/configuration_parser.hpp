// The companion's command line: its options registered with the SDK's argument parser, their
// callbacks, and the version callback.
#pragma once

#include "companion/configuration.hpp"

#include <kova/types.h>

namespace kova::bench::companion {

// Throws "Failed to create arg parser", "Failed to register_version_callback" or "Failed to parse
// cli arguments" with the parser's code; a callback's kova::exception passes through.
configuration make_companion_configuration_from_cli_args(int argc, char **argv);

namespace impl {

kova_error set_device_pci_address(const char *value, configuration *config);
kova_error set_device_representor_pci_address(const char *value, configuration *config);
kova_error set_method(const char *value, configuration *config);
kova_error add_candidate(const char *value, configuration *config);
kova_error set_remote_session_name(const char *value, configuration *config);
// Exactly "tcp"; anything else is refused with KOVA_ERROR_INVALID_VALUE.
kova_error set_comms_type(const char *value, configuration *config);
// 1 to 65535; anything else is refused with KOVA_ERROR_INVALID_VALUE.
kova_error set_tcp_port(const int *value, configuration *config);
kova_error set_gpu_addr(const char *value, configuration *config);
kova_error print_kova_bench_companion_version(void *value, void *config);

} // namespace impl
} // namespace kova::bench::companion
