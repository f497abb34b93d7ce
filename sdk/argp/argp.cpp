// Parser lifetime and parameter registration of the stand-in argument parser.
#include "argp_state.hpp"

#include <cstring>
#include <new>

namespace kova_argp_internal {

namespace {

std::unique_ptr<parser> the_parser;

bool is_reserved(const kova_argp_param &param)
{
	if (param.has_short_name && (param.short_name == "h" || param.short_name == "v"))
		return true;
	return param.has_long_name && (param.long_name == "help" || param.long_name == "version");
}

bool is_valid_long_name(const std::string &name)
{
	if (name.empty() || name[0] == '-')
		return false;
	for (char c : name) {
		if (c == '=' || c == ' ' || c == '\t' || c == '\n')
			return false;
	}
	return true;
}

bool is_valid_short_name(const std::string &name)
{
	return name.size() == 1 && name[0] != '-' && name[0] != '=' && name[0] != ' ';
}

bool clashes(const kova_argp_param &a, const kova_argp_param &b)
{
	if (a.has_short_name && b.has_short_name && a.short_name == b.short_name)
		return true;
	return a.has_long_name && b.has_long_name && a.long_name == b.long_name;
}

void set_name(std::string &target, bool &present, const char *name)
{
	if (name == nullptr) {
		target.clear();
		present = false;
	} else {
		target = name;
		present = true;
	}
}

} // namespace

parser *current_parser() noexcept
{
	return the_parser.get();
}

std::string display_name(const kova_argp_param &param)
{
	return param.has_long_name ? "--" + param.long_name : "-" + param.short_name;
}

} // namespace kova_argp_internal

using kova_argp_internal::current_parser;
using kova_argp_internal::the_parser;

KOVA_EXPORT kova_error kova_argp_init(const char *program_name, void *config)
{
	if (the_parser)
		return KOVA_ERROR_IN_USE;
	try {
		auto state = std::make_unique<kova_argp_internal::parser>();
		if (program_name != nullptr)
			state->program_name = program_name;
		state->config = config;
		the_parser = std::move(state);
	} catch (const std::bad_alloc &) {
		return KOVA_ERROR_NO_MEMORY;
	}
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_argp_destroy(void)
{
	if (!the_parser)
		return KOVA_ERROR_BAD_STATE;
	the_parser.reset();
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_argp_register_version_callback(kova_argp_param_cb_t callback)
{
	if (!the_parser)
		return KOVA_ERROR_BAD_STATE;
	if (callback == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	the_parser->version_callback = callback;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_argp_param_create(kova_argp_param **param)
{
	if (param == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*param = new (std::nothrow) kova_argp_param{};
	return *param == nullptr ? KOVA_ERROR_NO_MEMORY : KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_argp_param_destroy(kova_argp_param *param)
{
	if (param == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (param->registered)
		return KOVA_ERROR_BAD_STATE;
	delete param;
	return KOVA_SUCCESS;
}

KOVA_EXPORT void kova_argp_param_set_short_name(kova_argp_param *param, const char *name)
{
	if (param != nullptr && !param->registered)
		kova_argp_internal::set_name(param->short_name, param->has_short_name, name);
}

KOVA_EXPORT void kova_argp_param_set_long_name(kova_argp_param *param, const char *name)
{
	if (param != nullptr && !param->registered)
		kova_argp_internal::set_name(param->long_name, param->has_long_name, name);
}

KOVA_EXPORT void kova_argp_param_set_description(kova_argp_param *param, const char *description)
{
	if (param != nullptr && !param->registered)
		param->description = description != nullptr ? description : "";
}

KOVA_EXPORT void kova_argp_param_set_callback(kova_argp_param *param, kova_argp_param_cb_t callback)
{
	if (param != nullptr && !param->registered)
		param->callback = callback;
}

KOVA_EXPORT void kova_argp_param_set_type(kova_argp_param *param, enum kova_argp_type type)
{
	if (param != nullptr && !param->registered)
		param->type = type;
}

KOVA_EXPORT void kova_argp_param_set_mandatory(kova_argp_param *param)
{
	if (param != nullptr && !param->registered)
		param->mandatory = true;
}

KOVA_EXPORT void kova_argp_param_set_multiplicity(kova_argp_param *param)
{
	if (param != nullptr && !param->registered)
		param->multiple = true;
}

KOVA_EXPORT kova_error kova_argp_register_param(kova_argp_param *param)
{
	using namespace kova_argp_internal;
	if (!the_parser)
		return KOVA_ERROR_BAD_STATE;
	if (param == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (param->registered)
		return KOVA_ERROR_BAD_STATE;
	if (!param->has_short_name && !param->has_long_name)
		return KOVA_ERROR_INVALID_VALUE;
	if (param->has_short_name && !is_valid_short_name(param->short_name))
		return KOVA_ERROR_INVALID_VALUE;
	if (param->has_long_name && !is_valid_long_name(param->long_name))
		return KOVA_ERROR_INVALID_VALUE;
	if (param->callback == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (param->type != KOVA_ARGP_TYPE_STRING && param->type != KOVA_ARGP_TYPE_INT &&
	    param->type != KOVA_ARGP_TYPE_BOOLEAN)
		return KOVA_ERROR_INVALID_VALUE;
	if (is_reserved(*param))
		return KOVA_ERROR_ALREADY_EXIST;
	for (const auto &other : the_parser->params) {
		if (clashes(*other, *param))
			return KOVA_ERROR_ALREADY_EXIST;
	}
	try {
		the_parser->params.emplace_back(param);
	} catch (const std::bad_alloc &) {
		return KOVA_ERROR_NO_MEMORY;
	}
	param->registered = true;
	return KOVA_SUCCESS;
}
