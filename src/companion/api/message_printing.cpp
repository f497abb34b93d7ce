// Text forms of protocol messages for logs and error texts.
#include "companion/api/message_printing.hpp"

#include "utility/escape_non_printable.hpp"

#include <array>
#include <sstream>
#include <string_view>

namespace kova::bench::companion::api {
namespace {

constexpr std::array<std::string_view, v1::last_type_id + 1> type_names{
	"Unknown",
	v1::error_response::type_name,
	v1::hello_response::type_name,
	v1::hello_request::type_name,
	v1::bye_response::type_name,
	v1::bye_request::type_name,
	v1::create_remote_mmaps_response::type_name,
	v1::create_remote_mmaps_with_data_request::type_name,
	v1::create_uninitialized_remote_mmaps_request::type_name,
	v1::destroy_remote_mmaps_response::type_name,
	v1::destroy_remote_mmaps_request::type_name,
	v1::get_environment_information_response::type_name,
	v1::get_environment_information_request::type_name,
	v1::configure_worker_pool_response::type_name,
	v1::configure_worker_pool_request::type_name,
	v1::create_worker_response::type_name,
	v1::create_worker_request::type_name,
	v1::start_workers_response::type_name,
	v1::start_workers_request::type_name,
	v1::stop_worker_response::type_name,
	v1::stop_worker_request::type_name,
	v1::destroy_workers_response::type_name,
	v1::destroy_workers_request::type_name,
	v1::keep_alive_response::type_name,
	v1::keep_alive_request::type_name,
};

static_assert(v1::error_response::type_id == 1 && v1::keep_alive_request::type_id == type_names.size() - 1);

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
