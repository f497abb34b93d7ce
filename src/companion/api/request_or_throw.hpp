// A request to the companion whose caller wants only the reply: an error reply is thrown, or
// printed, with the caller's text in front of the companion's message.
#pragma once

#include "companion/api/async_context.hpp"
#include "kova_exception.hpp"

#include <kova/error.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

namespace kova::bench::companion::api {

// How the companion's message follows the caller's text.
enum class reply_text : uint8_t {
	quoted, // <failure>"<message>"
	bare,   // <failure><message>
};

// Sends the request and waits for its reply (send_api_message). An error reply is thrown as
// kova::exception with the reply's code and `failure` followed by the reply's message.
template <typename Req>
typename Req::response_type request_or_throw(Req request, async::context &context, int64_t timeout_s,
					     const char *failure, reply_text text = reply_text::quoted)
{
	auto reply = send_api_message(std::move(request), context, timeout_s);
	if (reply.error.has_value()) {
		std::string const &message = reply.error->message;
		KOVA_THROW(reply.error->error_code,
			   std::string{failure} + (text == reply_text::quoted ? "\"" + message + "\"" : message));
	}
	return reply.response.has_value() ? std::move(*reply.response) : typename Req::response_type{};
}

// As request_or_throw, but an error reply is printed to standard output as
// "<failure>: <code name>: \"<message>\"\n" and gives no reply.
template <typename Req>
kova::optional<typename Req::response_type> request_or_print(Req request, async::context &context, int64_t timeout_s,
							     const char *failure)
{
	auto reply = send_api_message(std::move(request), context, timeout_s);
	if (reply.error.has_value()) {
		std::printf("%s: %s: \"%s\"\n", failure, kova_error_get_name(reply.error->error_code),
			    reply.error->message.c_str());
		return {};
	}
	return std::move(reply.response);
}

} // namespace kova::bench::companion::api
