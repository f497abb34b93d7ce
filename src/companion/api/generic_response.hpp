// The outcome of a request: the typed reply or the peer's error, one of the two.
#pragma once

#include "companion/api/v1/messages.hpp"
#include "kova_optional.hpp"

#include <string>

namespace kova::bench::companion::api {

// "<description of the error's code>: <error text>", the text with its
// non-printable bytes escaped; "SUCCESS" without an error.
std::string to_error_message(const kova::optional<v1::error_response> &error);

template <typename T>
struct generic_response {
	kova::optional<T> response;
	kova::optional<v1::error_response> error;

	[[nodiscard]] std::string to_error_message() const { return api::to_error_message(error); }
};

} // namespace kova::bench::companion::api
