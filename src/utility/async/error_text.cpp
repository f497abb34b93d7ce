#include "utility/async/error_text.hpp"

#include <kova/error.h>

namespace kova::bench::utility {

namespace async {
std::string stringify(const error &err)
{
	return std::string{"error: {code: "} + kova_error_get_name(err.code) + " message: \"" + err.message + "\"}";
}
} // namespace async

std::string format_errors(const std::vector<async::error> &errors)
{
	std::string text = "[";
	for (std::size_t i = 0; i < errors.size(); ++i) {
		if (i != 0)
			text += ", ";
		text += async::stringify(errors[i]);
	}
	return text + "]";
}

} // namespace kova::bench::utility
