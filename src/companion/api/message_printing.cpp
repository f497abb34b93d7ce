// Text forms of protocol messages for logs and error texts.
#include "companion/api/message_printing.hpp"

#include "utility/escape_non_printable.hpp"

#include <array>
#include <sstream>
#include <string_view>

namespace kova::bench::companion::api {
namespace {

#define KOVA_V1_TYPE_NAME(T) v1::T::type_name,
constexpr std::array<std::string_view, v1::last_type_id + 1> type_names{"Unknown", KOVA_V1_MESSAGE_TYPES(KOVA_V1_TYPE_NAME)};
#undef KOVA_V1_TYPE_NAME

std::string_view type_name(version v, uint32_t type_id)
{
	if (v.major != v1::api_version.major)
		return "unknown";
	return type_id < type_names.size() ? type_names[type_id] : type_names[0];
}

} // namespace

std::string to_string(const version &v)
{
	return std::to_string(v.major) + "." + std::to_string(v.minor);
}

std::ostream &operator<<(std::ostream &os, const message_buffer &message)
{
	version const v = message.get_api_version();
	uint32_t const type_id = message.get_message_type_id();
	return os << "version: " << to_string(v) << ", id: " << message.get_message_id() << ", type: " << type_id
		  << "(" << type_name(v, type_id) << "), size: " << message.get_body().size();
}

std::string describe_message(const message_buffer &message)
{
	std::ostringstream text;
	text << message;
	return text.str();
}

namespace v1 {

std::ostream &operator<<(std::ostream &os, const error_response &error)
{
	return os << "v1::error_response: {id: " << error.id << ", message: \""
		  << utility::escape_non_printable(error.message) << "\"}";
}

std::string to_string(const error_response &error)
{
	std::ostringstream text;
	text << error;
	return text.str();
}

} // namespace v1
} // namespace kova::bench::companion::api
