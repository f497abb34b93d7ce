// Encoders and decoders of the version-1 messages.
#include "companion/api/v1/codecs.hpp"

#include "kova_exception.hpp"
#include "utility/escape_non_printable.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace kova::bench::companion::api::v1 {
namespace {

// Room to set aside for a list announced by the peer: never more elements than
// the rest of the body can hold.
size_t bounded_reservation(const message_buffer &buffer, size_t offset, uint64_t count, size_t element_size)
{
	return static_cast<size_t>(std::min<uint64_t>(count, buffer.remaining_body(offset) / element_size));
}

void write_versions(message_buffer &buffer, const std::vector<version> &versions)
{
	buffer.append_body(static_cast<uint64_t>(versions.size()));
	for (const version &v : versions) {
		buffer.append_body(v.major);
		buffer.append_body(v.minor);
	}
}

void read_versions(const message_buffer &buffer, size_t &offset, std::vector<version> &versions)
{
	uint64_t count = 0;
	buffer.read_body_or_throw(offset, count);
	versions.reserve(versions.size() + bounded_reservation(buffer, offset, count, 2 * sizeof(uint32_t)));
	for (uint64_t i = 0; i < count; ++i) {
		version v{};
		buffer.read_body_or_throw(offset, v.major);
		buffer.read_body_or_throw(offset, v.minor);
		versions.push_back(v);
	}
}

void write_byte_vectors(message_buffer &buffer, const std::vector<std::vector<char>> &vectors)
{
	buffer.append_body(static_cast<uint64_t>(vectors.size()));
	for (const auto &bytes : vectors)
		buffer.append_body(bytes);
}

void read_byte_vectors(const message_buffer &buffer, size_t &offset, std::vector<std::vector<char>> &vectors)
{
	uint64_t count = 0;
	buffer.read_body_or_throw(offset, count);
	vectors.reserve(vectors.size() + bounded_reservation(buffer, offset, count, sizeof(uint64_t)));
	for (uint64_t i = 0; i < count; ++i) {
		std::vector<char> bytes;
		buffer.read_body_or_throw(offset, bytes);
		vectors.push_back(std::move(bytes));
	}
}

std::string cores_to_text(const std::unordered_set<uint16_t> &cores)
{
	std::string text;
	for (uint16_t core : cores) {
		if (!text.empty())
			text += ',';
		text += std::to_string(core);
	}
	return text;
}

bool is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Each piece between commas, white space around it ignored, must be a decimal
// core id of at most 65535.
void text_to_cores(const std::string &text, std::unordered_set<uint16_t> &cores)
{
	if (text.empty())
		return;
	size_t start = 0;
	for (;;) {
		size_t const comma = text.find(',', start);
		size_t const end = comma == std::string::npos ? text.size() : comma;
		size_t first = start;
		size_t last = end;
		while (first < last && is_blank(text[first]))
			++first;
		while (last > first && is_blank(text[last - 1]))
			--last;
		std::string_view const piece{text.data() + first, last - first};
		uint32_t value = 0;
		bool valid = !piece.empty();
		for (char c : piece) {
			if (c < '0' || c > '9' || value > 65535) {
				valid = false;
				break;
			}
			value = value * 10 + static_cast<uint32_t>(c - '0');
		}
		if (!valid || value > 65535)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
				   "Invalid core id: \"" + utility::escape_non_printable(piece) + "\"");
		cores.insert(static_cast<uint16_t>(value));
		if (comma == std::string::npos)
			return;
		start = comma + 1;
	}
}

// Body items of each type, in field order. Types without fields have none.
template <typename T>
void write_fields(message_buffer &, const T &)
{
}

template <typename T>
void read_fields(const message_buffer &, size_t &, T &)
{
}

template <>
void write_fields(message_buffer &buffer, const error_response &m)
{
	buffer.append_body(static_cast<uint32_t>(m.error_code));
	buffer.append_body(m.message);
}

template <>
void read_fields(const message_buffer &buffer, size_t &offset, error_response &m)
{
	uint32_t code = 0;
	buffer.read_body_or_throw(offset, code);
	m.error_code = code;
	buffer.read_body_or_throw(offset, m.message);
}

template <>
void write_fields(message_buffer &buffer, const hello_response &m)
{
	write_versions(buffer, m.supported_api_versions);
}

template <>
void read_fields(const message_buffer &buffer, size_t &offset, hello_response &m)
{
	read_versions(buffer, offset, m.supported_api_versions);
}

template <>
void write_fields(message_buffer &buffer, const hello_request &m)
{
	write_versions(buffer, m.supported_api_versions);
}

template <>
void read_fields(const message_buffer &buffer, size_t &offset, hello_request &m)
{
	read_versions(buffer, offset, m.supported_api_versions);
}

template <>
void write_fields(message_buffer &buffer, const create_remote_mmaps_response &m)
{
	write_byte_vectors(buffer, m.exported_mmaps);
}

template <>
void read_fields(const message_buffer &buffer, size_t &offset, create_remote_mmaps_response &m)
{
	read_byte_vectors(buffer, offset, m.exported_mmaps);
}

template <>
void write_fields(message_buffer &buffer, const create_remote_mmaps_with_data_request &m)
{
	write_byte_vectors(buffer, m.buffers);
}

template <>
void read_fields(const message_buffer &buffer, size_t &offset, create_remote_mmaps_with_data_request &m)
{
	read_byte_vectors(buffer, offset, m.buffers);
}

template <>
void write_fields(message_buffer &buffer, const create_uninitialized_remote_mmaps_request &m)
{
	buffer.append_body(m.mmap_count);
	buffer.append_body(m.mmap_size);
}

template <>
void read_fields(const message_buffer &buffer, size_t &offset, create_uninitialized_remote_mmaps_request &m)
{
	buffer.read_body_or_throw(offset, m.mmap_count);
	buffer.read_body_or_throw(offset, m.mmap_size);
}

template <>
void write_fields(message_buffer &buffer, const get_environment_information_response &m)
{
	buffer.append_body(m.information);
}

template <>
void read_fields(const message_buffer &buffer, size_t &offset, get_environment_information_response &m)
{
	buffer.read_body_or_throw(offset, m.information);
}

template <>
void write_fields(message_buffer &buffer, const configure_worker_pool_request &m)
{
	buffer.append_body(cores_to_text(m.cores));
}

template <>
void read_fields(const message_buffer &buffer, size_t &offset, configure_worker_pool_request &m)
{
	std::string text;
	buffer.read_body_or_throw(offset, text);
	text_to_cores(text, m.cores);
}

template <>
void write_fields(message_buffer &buffer, const create_worker_response &m)
{
	buffer.append_body(m.worker_id);
	buffer.append_body(m.fields);
}

template <>
void read_fields(const message_buffer &buffer, size_t &offset, create_worker_response &m)
{
	buffer.read_body_or_throw(offset, m.worker_id);
	buffer.read_body_or_throw(offset, m.fields);
}

template <>
void write_fields(message_buffer &buffer, const create_worker_request &m)
{
	buffer.append_body(m.worker_type);
	buffer.append_body(m.command);
}

template <>
void read_fields(const message_buffer &buffer, size_t &offset, create_worker_request &m)
{
	buffer.read_body_or_throw(offset, m.worker_type);
	buffer.read_body_or_throw(offset, m.command);
}

template <>
void write_fields(message_buffer &buffer, const stop_worker_request &m)
{
	buffer.append_body(m.worker_id);
}

template <>
void read_fields(const message_buffer &buffer, size_t &offset, stop_worker_request &m)
{
	buffer.read_body_or_throw(offset, m.worker_id);
}

} // namespace

template <typename T>
void throw_if_message_is_not_a(const message_buffer &buffer)
{
	if (is_a<T>(buffer))
		return;
	version const v = buffer.get_api_version();
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
		   "Unable to interpret a message of api version: " + std::to_string(v.major) + "." +
			   std::to_string(v.minor) + ", type : " + std::to_string(buffer.get_message_type_id()) +
			   " using a codec for api version: 1.24, type " + std::to_string(T::type_id));
}

template <typename T>
message_buffer &encode_api_message(const T &message, message_buffer &buffer)
{
	buffer.clear_body();
	try {
		buffer.set_api_version(api_version);
		buffer.set_message_type_id(T::type_id);
		buffer.set_message_id(message.id);
		write_fields(buffer, message);
	} catch (const std::runtime_error &e) {
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to format " + std::string{T::type_name} + ": " + e.what());
	}
	return buffer;
}

template <typename T>
void decode_api_message(const message_buffer &buffer, T &message)
{
	throw_if_message_is_not_a<T>(buffer);
	message.id = buffer.get_message_id();
	try {
		size_t offset = 0;
		read_fields(buffer, offset, message);
	} catch (const kova::exception &e) {
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
			   "Unable to parse malformed " + std::string{T::type_name} + ": " + e.what());
	}
}

#define KOVA_V1_CODEC(T)                                                                                       \
	template message_buffer &encode_api_message<T>(const T &, message_buffer &);                           \
	template void decode_api_message<T>(const message_buffer &, T &);                                      \
	template void throw_if_message_is_not_a<T>(const message_buffer &);

KOVA_V1_MESSAGE_TYPES(KOVA_V1_CODEC)

#undef KOVA_V1_CODEC

} // namespace kova::bench::companion::api::v1
