#include "companion/remote_control.hpp"

#include "companion/companion_app_lifetime.hpp"
#include "impl/shell_process.hpp"
#include "kova_exception.hpp"
#include "utility/join.hpp"
#include "utility/kova_utils.hpp"
#include "utility/pci_address.hpp"
#include "utility/string_utils.hpp"

#include <kova/dev.h>
#include <kova/error.h>

#include <set>

namespace kova::bench::companion::remote_control {
namespace {

void throw_unless_pci_address(const std::string &text)
{
	if (!utility::is_pci_address(text))
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid PCI address: \"" + text + "\"");
}

// One word for a POSIX shell, taken literally.
std::string single_quoted(const std::string &word)
{
	std::string quoted = "'";
	for (char c : word) {
		if (c == '\'')
			quoted += "'\\''";
		else
			quoted += c;
	}
	return quoted + "'";
}

// Runs a query method of the companion and returns the address it printed last.
std::string query_companion(const ssh_config &config, const std::vector<std::string> &companion_arguments,
			    const std::string &failure_message, const std::string &nothing_message)
{
	auto process = utility::make_process(ssh_program, execute_remote_application_args(config, companion_arguments));
	bool const completed = utility::run_to_completion(*process);
	auto const output = collect_output_from([&] { return process->get_line_stdout(); });
	auto const errors = collect_output_from([&] { return process->get_line_stderr(); });

	std::string const report = failure_message + " stdout: [" + utility::join(output, ", ") + "], stderr: [" +
				   utility::join(errors, ", ") + "]";
	if (!completed || process->execution_failed())
		KOVA_THROW(KOVA_ERROR_UNKNOWN, report);
	if (output.empty())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, nothing_message);
	// Only an address counts: a banner or a message must never pass for one.
	std::string const address = utility::trim(output.back());
	if (!utility::is_pci_address(address))
		KOVA_THROW(KOVA_ERROR_UNKNOWN, report);
	return address;
}

} // namespace

std::vector<std::string> execute_remote_application_args(const ssh_config &config,
							 const std::vector<std::string> &companion_arguments)
{
	if (config.destination.empty() || config.destination.front() == '-')
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid ssh destination: \"" + config.destination + "\"");

	std::vector<std::string> arguments{"-o", "PasswordAuthentication=no"};
	if (config.port.has_value()) {
		arguments.emplace_back("-p");
		arguments.push_back(std::to_string(*config.port));
	}
	arguments.emplace_back("--");
	arguments.push_back(config.destination);
	// ssh hands the remote words to the remote user's shell as one command line.
	arguments.push_back(single_quoted(config.companion_path));
	for (const auto &argument : companion_arguments)
		arguments.push_back(single_quoted(argument));
	return arguments;
}

std::vector<std::string> tcp_companion_args(uint16_t tcp_port, const std::string &device,
					    const kova::optional<std::string> &representor,
					    const kova::optional<std::string> &gpu)
{
	throw_unless_pci_address(device);
	std::vector<std::string> arguments{"--method", "main", "--comms-type", "tcp", "--device", device};
	if (representor.has_value()) {
		throw_unless_pci_address(*representor);
		arguments.emplace_back("--representor");
		arguments.push_back(*representor);
	}
	arguments.emplace_back("--tcp-port");
	arguments.push_back(std::to_string(tcp_port));
	if (gpu.has_value()) {
		throw_unless_pci_address(*gpu);
		arguments.emplace_back("--gpu");
		arguments.push_back(*gpu);
	}
	return arguments;
}

std::unique_ptr<remote_companion> launch_tcp_companion(const ssh_config &config, uint16_t tcp_port,
						       const std::string &device, const std::string &representor,
						       const kova::optional<std::string> &gpu)
{
	auto process = utility::make_process(
		ssh_program, execute_remote_application_args(config, tcp_companion_args(tcp_port, device, representor, gpu)));
	return std::make_unique<companion_app_lifetime>(std::move(process));
}

std::unique_ptr<remote_companion> launch_tcp_companion(const ssh_config &config, uint16_t tcp_port,
						       const std::string &device,
						       const kova::optional<std::string> &gpu)
{
	auto process = utility::make_process(
		ssh_program, execute_remote_application_args(config, tcp_companion_args(tcp_port, device, {}, gpu)));
	return std::make_unique<companion_app_lifetime>(std::move(process));
}

std::string determine_dpu_device_address_matching_representor(const ssh_config &config,
								const std::string &representor)
{
	throw_unless_pci_address(representor);
	return query_companion(config,
			       {"--method", "identify_dpu_device_address_matching_representor", "--candidate", representor},
			       "Failed to identify dpu side address for device.",
			       "No supported address identified by companion");
}

std::string determine_representor_address_visible_to_host(const ssh_config &config, kova_dev *dev)
{
	std::set<std::string> addresses;
	auto representors = utility::make_devinfo_rep_list_from_dev(dev);
	for (kova_devinfo_rep *representor : representors) {
		char address[KOVA_DEVINFO_PCI_ADDR_SIZE] = {};
		if (kova_devinfo_rep_get_pci_addr_str(representor, address) == KOVA_SUCCESS)
			addresses.insert(address);
	}

	std::vector<std::string> arguments{"--method", "select_representor_address_visible_to_host"};
	for (const auto &address : addresses) {
		arguments.emplace_back("--candidate");
		arguments.push_back(address);
	}
	return query_companion(config, arguments, "Failed to get representor list from companion.",
			       "No supported representor identified by companion");
}

std::vector<std::string> collect_output_from(const std::function<kova::optional<std::string>()> &get_line)
{
	std::vector<std::string> lines;
	for (auto line = get_line(); line.has_value(); line = get_line())
		lines.push_back(std::move(*line));
	return lines;
}

} // namespace kova::bench::companion::remote_control
