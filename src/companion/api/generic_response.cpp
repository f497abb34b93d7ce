// Text of a request's failure.
#include "companion/api/generic_response.hpp"

#include "utility/escape_non_printable.hpp"

#include <kova/error.h>

namespace kova::bench::companion::api {

std::string to_error_message(const kova::optional<v1::error_response> &error)
{
	if (!error.has_value())
		return "SUCCESS";
	return std::string{kova_error_get_descr(error->error_code)} + ": " +
	       utility::escape_non_printable(error->message);
}

} // namespace kova::bench::companion::api
