// Starting kova_bench_companion on the peer over ssh, and asking it, over ssh,
// for the matching device or representor address.
#pragma once

#include "kova_optional.hpp"

#include <kova/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kova::bench::companion::remote_control {

// The ssh client that every remote command runs through.
inline constexpr const char *ssh_program = "/usr/bin/ssh";

struct ssh_config {
	std::string destination; // host, or user@host
	kova::optional<unsigned short> port;
	std::string companion_path; // the companion program on the remote machine
};

// A companion started over ssh; destroying it waits for the companion to end
// and stops it when it does not.
class remote_companion {
public:
	virtual ~remote_companion() = default;
};

// The ssh arguments that run the companion with the given arguments:
// -o PasswordAuthentication=no [-p <port>] -- <destination> <path> <arguments...>.
// The remote words (path and arguments) are single-quoted for the remote shell.
// Throws KOVA_ERROR_INVALID_VALUE for an empty destination or one that begins with '-'.
std::vector<std::string> execute_remote_application_args(const ssh_config &config,
							 const std::vector<std::string> &companion_arguments);

// The companion's arguments for serving the benchmark over TCP. Throws KOVA_ERROR_INVALID_VALUE
// when an address is not a PCI address (DDDD:BB:DD.F or BB:DD.F).
std::vector<std::string> tcp_companion_args(uint16_t tcp_port, const std::string &device,
					    const kova::optional<std::string> &representor,
					    const kova::optional<std::string> &gpu);

// Starts the companion over ssh and watches it: if ssh cannot be started, or
// ssh or the companion ends with a failure, the whole program ends with exit
// status 1 after printing the companion's output.
std::unique_ptr<remote_companion> launch_tcp_companion(const ssh_config &config, uint16_t tcp_port,
						       const std::string &device, const std::string &representor,
						       const kova::optional<std::string> &gpu);
std::unique_ptr<remote_companion> launch_tcp_companion(const ssh_config &config, uint16_t tcp_port,
						       const std::string &device,
						       const kova::optional<std::string> &gpu);

// Asks the companion which of its devices matches the representor. Throws
// KOVA_ERROR_UNKNOWN when the query fails or does not end with an address line, KOVA_ERROR_INVALID_VALUE
// when the companion printed nothing.
std::string determine_dpu_device_address_matching_representor(const ssh_config &config,
								const std::string &representor);

// Lists the device's representors and asks the companion which of them it can
// see from its side. Same failures as the address query.
std::string determine_representor_address_visible_to_host(const ssh_config &config, kova_dev *dev);

// Every line the getter gives, in order, until it gives none.
std::vector<std::string> collect_output_from(const std::function<kova::optional<std::string>()> &get_line);

} // namespace kova::bench::companion::remote_control
