#include "companion/impl/configuration_parser.hpp"

#include "kova_exception.hpp"
#include "utility/arg_parser.hpp"
#include "utility/string_utils.hpp"

#include <kova/argp.h>
#include <kova/version.h>

#include <cstdio>
#include <utility>

namespace kova::bench::companion {
namespace impl {
namespace {

template <typename Value, kova_error (*Callback)(const Value *, configuration *)>
kova_error callback(void *value, void *config)
{
	return Callback(static_cast<const Value *>(value), static_cast<configuration *>(config));
}

struct option_row {
	kova_argp_type type;
	const char *short_name;
	const char *long_name;
	const char *description;
	utility::argp_callback callback;
	bool mandatory;
	bool repeatable;
};

const option_row option_table[] = {
	{KOVA_ARGP_TYPE_STRING, "A", "device", "Specify the PCI address of the device to use",
	 callback<char, set_device_pci_address>, false, false},
	{KOVA_ARGP_TYPE_STRING, "R", "representor", "Specify the PCI address of the device representor to use",
	 callback<char, set_device_representor_pci_address>, false, false},
	{KOVA_ARGP_TYPE_STRING, "m", "method", "Specify the companion method to execute", callback<char, set_method>,
	 true, false},
	{KOVA_ARGP_TYPE_STRING, nullptr, "candidate", "Specify candidate PCI address", callback<char, add_candidate>,
	 false, true},
	{KOVA_ARGP_TYPE_STRING, nullptr, "remote-session-name",
	 "Provide a name for the remote session to allow for multiple distinct remote sessions to co-exist",
	 callback<char, set_remote_session_name>, false, true},
	{KOVA_ARGP_TYPE_STRING, nullptr, "comms-type", "Specify the communications method",
	 callback<char, set_comms_type>, false, false},
	{KOVA_ARGP_TYPE_INT, nullptr, "tcp-port", "Specify the tcp comms listen port", callback<int, set_tcp_port>,
	 false, false},
	{KOVA_ARGP_TYPE_STRING, "G", "gpu", "Specify the PCI address of the GPU to use", callback<char, set_gpu_addr>,
	 false, false},
};

} // namespace

kova_error set_device_pci_address(const char *value, configuration *config)
{
	config->device_pci_address = std::string{value};
	return KOVA_SUCCESS;
}

kova_error set_device_representor_pci_address(const char *value, configuration *config)
{
	config->device_representor_pci_address = std::string{value};
	return KOVA_SUCCESS;
}

kova_error set_method(const char *value, configuration *config)
{
	config->method = method_from_string(utility::trim(std::string{value}));
	return KOVA_SUCCESS;
}

kova_error add_candidate(const char *value, configuration *config)
{
	config->candidates.push_back(utility::trim(std::string{value}));
	return KOVA_SUCCESS;
}

kova_error set_remote_session_name(const char *value, configuration *config)
{
	config->remote_session_name = std::string{value};
	return KOVA_SUCCESS;
}

kova_error set_comms_type(const char *value, configuration *config)
{
	if (std::string{value} != "tcp")
		return KOVA_ERROR_INVALID_VALUE;
	config->comms_type = comms_type::tcp_server;
	return KOVA_SUCCESS;
}

kova_error set_tcp_port(const int *value, configuration *config)
{
	if (*value < 1 || *value > 65535)
		return KOVA_ERROR_INVALID_VALUE;
	config->tcp_port = static_cast<uint16_t>(*value);
	return KOVA_SUCCESS;
}

kova_error set_gpu_addr(const char *value, configuration *config)
{
	config->gpu_pci_address = std::string{value};
	return KOVA_SUCCESS;
}

kova_error print_kova_bench_companion_version(void * /*value*/, void * /*config*/)
{
	std::printf("KOVA SDK     Version (Compilation): %s\n", KOVA_VERSION_STRING);
	std::printf("KOVA Runtime Version (Runtime):     %s\n", kova_version_runtime());
	return KOVA_SUCCESS;
}

} // namespace impl

configuration make_companion_configuration_from_cli_args(int argc, char **argv)
{
	configuration scratch;
	utility::configuration_parser parser{&scratch};
	parser.register_version_callback(impl::print_kova_bench_companion_version);
	for (auto const &row : impl::option_table)
		utility::details::register_kova_argp_arg(row.type, row.short_name, row.long_name, row.description,
							 row.callback, row.mandatory, row.repeatable);
	if (kova_error const result = parser.parse_args(argc, argv))
		KOVA_THROW(result, "Failed to parse cli arguments");
	return scratch;
}

} // namespace kova::bench::companion
