// Registration of command-line options with the SDK's argument parser.
#include "utility/arg_parser.hpp"

#include "kova_exception.hpp"

#include <memory>
#include <string>

void kova_deleter(kova_argp_param *param)
{
	if (param != nullptr)
		kova_argp_param_destroy(param);
}

namespace kova::bench::utility {

namespace details {

namespace {

struct argp_param_deleter {
	void operator()(kova_argp_param *param) const { kova_deleter(param); }
};

using argp_param_ptr = std::unique_ptr<kova_argp_param, argp_param_deleter>;

} // namespace

void register_kova_argp_arg(kova_argp_type type, const char *short_name, const char *long_name,
			    const char *description, argp_callback callback, bool mandatory, bool multiple)
{
	if (short_name == nullptr && long_name == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Tried to register arg parser parameter with no name");

	kova_argp_param *raw = nullptr;
	kova_error const created = kova_argp_param_create(&raw);
	if (created != KOVA_SUCCESS)
		KOVA_THROW(created, "Unable to create arg parser parameter");
	argp_param_ptr param{raw};

	if (short_name != nullptr)
		kova_argp_param_set_short_name(param.get(), short_name);
	if (long_name != nullptr)
		kova_argp_param_set_long_name(param.get(), long_name);
	kova_argp_param_set_description(param.get(), description);
	kova_argp_param_set_callback(param.get(), callback);
	kova_argp_param_set_type(param.get(), type);
	if (mandatory)
		kova_argp_param_set_mandatory(param.get());
	if (multiple)
		kova_argp_param_set_multiplicity(param.get());

	kova_error const registered = kova_argp_register_param(param.get());
	if (registered == KOVA_SUCCESS) {
		static_cast<void>(param.release()); // the parser owns it now
		return;
	}
	std::string message = "Unable to register arg parser parameter: ";
	if (short_name != nullptr)
		message += std::string{"-"} + short_name;
	if (short_name != nullptr && long_name != nullptr)
		message += " aka ";
	if (long_name != nullptr)
		message += std::string{"--"} + long_name;
	message += " reason: ";
	message += kova_error_get_descr(registered);
	KOVA_THROW(registered, message);
}

void register_kova_argp_arg(kova_argp_type type, kova::optional<const char *> short_name,
			    kova::optional<const char *> long_name, const char *description, argp_callback callback,
			    field_is presence, bool multiple)
{
	register_kova_argp_arg(type, short_name.has_value() ? *short_name : nullptr,
			       long_name.has_value() ? *long_name : nullptr, description, callback,
			       presence == field_is::mandatory, multiple);
}

} // namespace details

configuration_parser::configuration_parser(void *config)
{
	kova_error const result = kova_argp_init(nullptr, config);
	if (result != KOVA_SUCCESS)
		KOVA_THROW(result, "Failed to create arg parser");
}

configuration_parser::~configuration_parser()
{
	kova_argp_destroy();
}

void configuration_parser::register_version_callback(argp_callback callback)
{
	kova_error const result = kova_argp_register_version_callback(callback);
	if (result != KOVA_SUCCESS)
		KOVA_THROW(result, "Failed to register_version_callback");
}

kova_error configuration_parser::parse_args(int argc, char **argv)
{
	return kova_argp_start(argc, argv);
}

} // namespace kova::bench::utility
