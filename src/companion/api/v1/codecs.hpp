// Encoders and decoders of the version-1 messages, one pair per message type.
//
// Encoding writes version 1.24, the type's id and the message's id into the
// header and the fields as body items; the total length is left to the sender.
// Decoding checks that the major version is 1 and that the type id is the
// codec's (any minor version passes), then reads the fields in order; bytes
// after the last field are ignored. Every failure is KOVA_ERROR_INVALID_VALUE. Decode into a
// default-constructed message: list, set and map fields are added to.
#pragma once

#include "companion/api/message_buffer.hpp"
#include "companion/api/v1/messages.hpp"

namespace kova::bench::companion::api::v1 {

template <typename T>
message_buffer &encode_api_message(const T &message, message_buffer &buffer);

template <typename T>
void decode_api_message(const message_buffer &buffer, T &message);

// Throws KOVA_ERROR_INVALID_VALUE unless the buffer holds a version-1 message of T's type.
template <typename T>
void throw_if_message_is_not_a(const message_buffer &buffer);

// True when the buffer holds a version-1 message of T's type.
template <typename T>
bool is_a(const message_buffer &buffer) noexcept
{
	return buffer.get_api_version().major == api_version.major && buffer.get_message_type_id() == T::type_id;
}

} // namespace kova::bench::companion::api::v1
