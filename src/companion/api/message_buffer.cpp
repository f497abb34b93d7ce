// Frame layout and body item encodings of the companion protocol.
#include "companion/api/message_buffer.hpp"

#include "kova_exception.hpp"

#include <cstring>
#include <limits>
#include <utility>

namespace kova::bench::companion::api {
namespace {

constexpr size_t major_offset = 0;
constexpr size_t minor_offset = 4;
constexpr size_t type_id_offset = 8;
constexpr size_t message_id_offset = 12;
constexpr size_t length_offset = 20;

uint32_t load_u32(const char *p) noexcept
{
	uint32_t value;
	std::memcpy(&value, p, sizeof(value));
	return __builtin_bswap32(value);
}

uint64_t load_u64(const char *p) noexcept
{
	uint64_t value;
	std::memcpy(&value, p, sizeof(value));
	return __builtin_bswap64(value);
}

void store_u32(char *p, uint32_t value) noexcept
{
	value = __builtin_bswap32(value);
	std::memcpy(p, &value, sizeof(value));
}

void store_u64(char *p, uint64_t value) noexcept
{
	value = __builtin_bswap64(value);
	std::memcpy(p, &value, sizeof(value));
}

enum class read_status { ok, truncated, too_large };

[[noreturn]] void throw_read_failure(size_t offset, read_status status)
{
	if (status == read_status::too_large)
		KOVA_THROW(KOVA_ERROR_IO_FAILED, "String map exceeds its limits (offset: " + std::to_string(offset) + ")");
	KOVA_THROW(KOVA_ERROR_IO_FAILED, "Failed to read from body (offset: " + std::to_string(offset) + ")");
}

// Reads a length-prefixed byte run: the view of its bytes and the offset past it.
struct byte_run {
	const char *data;
	uint64_t size;
	size_t end;
};

} // namespace

message_buffer::message_buffer(version api_version, uint32_t type_id, uint64_t message_id)
{
	content.reserve(128);
	set_api_version(api_version);
	set_message_type_id(type_id);
	set_message_id(message_id);
}

message_buffer::message_buffer(utility::span<char const> bytes) : content(bytes.begin(), bytes.end()) {}

message_buffer::message_buffer(std::vector<char> bytes) noexcept : content(std::move(bytes)) {}

void message_buffer::set_content(const std::vector<char> &bytes)
{
	if (&bytes != &content)
		content = bytes;
}

void message_buffer::set_content(utility::span<char const> bytes)
{
	if (bytes.data() == content.data() && bytes.size() == content.size())
		return;
	content.assign(bytes.begin(), bytes.end());
}

void message_buffer::clear_content() noexcept
{
	content.clear();
}

void message_buffer::set_expected_content_size()
{
	uint64_t const size = content.size();
	if (size > std::numeric_limits<uint32_t>::max())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Message of " + std::to_string(size) +
							     " bytes exceeds the largest frame of 4294967295 bytes");
	ensure_header();
	store_u32(content.data() + length_offset, static_cast<uint32_t>(size));
}

version message_buffer::get_api_version() const noexcept
{
	version result{0, 0};
	if (content.size() >= minor_offset)
		result.major = load_u32(content.data() + major_offset);
	if (content.size() >= type_id_offset)
		result.minor = load_u32(content.data() + minor_offset);
	return result;
}

uint32_t message_buffer::get_message_type_id() const noexcept
{
	return content.size() >= message_id_offset ? load_u32(content.data() + type_id_offset) : 0;
}

uint64_t message_buffer::get_message_id() const noexcept
{
	return content.size() >= length_offset ? load_u64(content.data() + message_id_offset) : 0;
}

utility::span<char const> message_buffer::get_body() const noexcept
{
	if (content.size() < message_header_size)
		return {};
	return {content.data() + message_header_size, content.size() - message_header_size};
}

void message_buffer::ensure_header()
{
	if (content.size() < message_header_size)
		content.resize(message_header_size, '\0');
}

void message_buffer::set_api_version(version api_version)
{
	ensure_header();
	store_u32(content.data() + major_offset, api_version.major);
	store_u32(content.data() + minor_offset, api_version.minor);
}

void message_buffer::set_message_type_id(uint32_t type_id)
{
	ensure_header();
	store_u32(content.data() + type_id_offset, type_id);
}

void message_buffer::set_message_id(uint64_t message_id)
{
	ensure_header();
	store_u64(content.data() + message_id_offset, message_id);
}

void message_buffer::append_body(uint32_t value)
{
	size_t const at = content.size();
	content.resize(at + sizeof(value));
	store_u32(content.data() + at, value);
}

void message_buffer::append_body(uint64_t value)
{
	size_t const at = content.size();
	content.resize(at + sizeof(value));
	store_u64(content.data() + at, value);
}

void message_buffer::append_body(utility::span<char const> bytes)
{
	size_t const at = content.size();
	content.resize(at + sizeof(uint64_t) + bytes.size());
	store_u64(content.data() + at, bytes.size());
	if (!bytes.empty())
		std::memcpy(content.data() + at + sizeof(uint64_t), bytes.data(), bytes.size());
}

void message_buffer::append_body(const std::string &text)
{
	append_body(utility::span<char const>{text.data(), text.size()});
}

void message_buffer::append_body(const std::vector<char> &bytes)
{
	append_body(utility::span<char const>{bytes.data(), bytes.size()});
}

void message_buffer::append_body(const std::unordered_map<std::string, std::string> &map)
{
	append_body(static_cast<uint64_t>(map.size()));
	for (const auto &[key, value] : map) {
		append_body(key);
		append_body(value);
	}
}

void message_buffer::clear_body() noexcept
{
	if (content.size() > message_header_size)
		content.resize(message_header_size);
}

void message_buffer::set_body(utility::span<char const> bytes)
{
	if (bytes.data() != nullptr && bytes.data() >= content.data() && bytes.data() < content.data() + content.size()) {
		// The bytes live in this frame: copy them out before the frame changes.
		std::vector<char> const copy(bytes.begin(), bytes.end());
		clear_body();
		ensure_header();
		append_body(utility::span<char const>{copy});
		return;
	}
	clear_body();
	ensure_header();
	append_body(bytes);
}

size_t message_buffer::remaining_body(size_t offset) const noexcept
{
	if (content.size() < message_header_size)
		return 0;
	size_t const body_size = content.size() - message_header_size;
	return offset <= body_size ? body_size - offset : 0;
}

bool message_buffer::read_body(size_t &offset, uint32_t &value) const
{
	if (remaining_body(offset) < sizeof(value) || content.size() < message_header_size)
		return false;
	value = load_u32(content.data() + message_header_size + offset);
	offset += sizeof(value);
	return true;
}

bool message_buffer::read_body(size_t &offset, uint64_t &value) const
{
	if (remaining_body(offset) < sizeof(value) || content.size() < message_header_size)
		return false;
	value = load_u64(content.data() + message_header_size + offset);
	offset += sizeof(value);
	return true;
}

namespace {

// The byte run at the offset, when it lies wholly within the body.
bool locate_run(const message_buffer &buffer, size_t offset, byte_run &run)
{
	size_t at = offset;
	uint64_t length = 0;
	if (!buffer.read_body(at, length))
		return false;
	if (length > buffer.remaining_body(at))
		return false;
	run = {buffer.get_body().data() + at, length, at + static_cast<size_t>(length)};
	return true;
}

read_status read_map(const message_buffer &buffer, size_t &offset, std::unordered_map<std::string, std::string> &target)
{
	size_t at = offset;
	uint64_t count = 0;
	if (!buffer.read_body(at, count))
		return read_status::truncated;
	if (count == 0) {
		offset = at;
		return read_status::ok;
	}
	if (count > max_string_map_entries)
		return read_status::too_large;
	// Each entry needs at least its two 8-byte lengths.
	if (count > buffer.remaining_body(at) / (2 * sizeof(uint64_t)))
		return read_status::truncated;

	std::unordered_map<std::string, std::string> decoded;
	decoded.reserve(static_cast<size_t>(count));
	for (uint64_t i = 0; i < count; ++i) {
		byte_run key{};
		if (!locate_run(buffer, at, key))
			return read_status::truncated;
		if (key.size > max_string_map_key_size)
			return read_status::too_large;
		byte_run value{};
		if (!locate_run(buffer, key.end, value))
			return read_status::truncated;
		if (value.size > max_string_map_value_size)
			return read_status::too_large;
		decoded.try_emplace(std::string(key.data, key.size), value.data, value.size);
		at = value.end;
	}
	for (auto &[key, value] : decoded)
		target.insert_or_assign(key, std::move(value));
	offset = at;
	return read_status::ok;
}

} // namespace

bool message_buffer::read_body(size_t &offset, std::string &value) const
{
	byte_run run{};
	if (!locate_run(*this, offset, run))
		return false;
	value.assign(run.data, run.size);
	offset = run.end;
	return true;
}

bool message_buffer::read_body(size_t &offset, std::vector<char> &value) const
{
	byte_run run{};
	if (!locate_run(*this, offset, run))
		return false;
	value.assign(run.data, run.data + run.size);
	offset = run.end;
	return true;
}

bool message_buffer::read_body(size_t &offset, std::unordered_map<std::string, std::string> &value) const
{
	return read_map(*this, offset, value) == read_status::ok;
}

void message_buffer::read_body_or_throw(size_t &offset, uint32_t &value) const
{
	if (!read_body(offset, value))
		throw_read_failure(offset, read_status::truncated);
}

void message_buffer::read_body_or_throw(size_t &offset, uint64_t &value) const
{
	if (!read_body(offset, value))
		throw_read_failure(offset, read_status::truncated);
}

void message_buffer::read_body_or_throw(size_t &offset, std::string &value) const
{
	if (!read_body(offset, value))
		throw_read_failure(offset, read_status::truncated);
}

void message_buffer::read_body_or_throw(size_t &offset, std::vector<char> &value) const
{
	if (!read_body(offset, value))
		throw_read_failure(offset, read_status::truncated);
}

void message_buffer::read_body_or_throw(size_t &offset, std::unordered_map<std::string, std::string> &value) const
{
	read_status const status = read_map(*this, offset, value);
	if (status != read_status::ok)
		throw_read_failure(offset, status);
}

uint32_t get_expected_content_size(utility::span<char const> bytes) noexcept
{
	return bytes.size() < message_header_size ? 0 : load_u32(bytes.data() + length_offset);
}

uint32_t get_expected_content_size(utility::span<char> bytes) noexcept
{
	return get_expected_content_size(utility::span<char const>{bytes.data(), bytes.size()});
}

} // namespace kova::bench::companion::api
