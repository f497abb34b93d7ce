// One-line text forms of a protocol version, a message header and an error reply.
#pragma once

#include "companion/api/message_buffer.hpp"
#include "companion/api/v1/messages.hpp"
#include "companion/api/version.hpp"

#include <ostream>
#include <string>

namespace kova::bench::companion::api {

// "<major>.<minor>"
std::string to_string(const version &v);

// "version: 1.24, id: 5, type: 20(stop_worker_request), size: 4", the size being
// that of the body. The body itself is never printed.
std::ostream &operator<<(std::ostream &os, const message_buffer &message);
std::string describe_message(const message_buffer &message);

namespace v1 {

// "v1::error_response: {id: 7, message: "<text>"}"; the text has its
// non-printable bytes escaped, the error code is not part of it.
std::ostream &operator<<(std::ostream &os, const error_response &error);
std::string to_string(const error_response &error);

} // namespace v1
} // namespace kova::bench::companion::api
