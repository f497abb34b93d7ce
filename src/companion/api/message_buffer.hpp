// One frame of the companion protocol: a 24-byte big-endian header and a body
// of untagged items, held in one contiguous vector that is the wire form itself.
//
// Header: u32 major, u32 minor, u32 type id, u64 message id, u32 total length
// (the whole frame, header included; 0 until the sender fills it in).
// Body items: u32, u64, length-prefixed byte runs (u64 length then the bytes)
// and string maps (u64 entry count, then key and value as byte runs).
#pragma once

#include "companion/api/version.hpp"
#include "utility/span.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace kova::bench::companion::api {

inline constexpr size_t message_header_size = 24;

// Limits of a decoded string map; a peer that announces more is refused.
inline constexpr uint64_t max_string_map_entries = 65536;
inline constexpr uint64_t max_string_map_key_size = 4096;
inline constexpr uint64_t max_string_map_value_size = 1024 * 1024;

class message_buffer {
public:
	message_buffer() = default;
	message_buffer(version api_version, uint32_t type_id, uint64_t message_id);
	explicit message_buffer(utility::span<char const> bytes);
	explicit message_buffer(std::vector<char> bytes) noexcept;

	void set_content(const std::vector<char> &bytes);
	void set_content(utility::span<char const> bytes);
	// Empties the frame, keeping the storage for reuse.
	void clear_content() noexcept;
	[[nodiscard]] const std::vector<char> &get_content() const noexcept { return content; }

	// Writes the frame's current size into the total length field.
	// Throws KOVA_ERROR_INVALID_VALUE when the frame is larger than the field can describe.
	void set_expected_content_size();

	// Header fields; a frame too short to hold a field reads it as 0.
	[[nodiscard]] version get_api_version() const noexcept;
	[[nodiscard]] uint32_t get_message_type_id() const noexcept;
	[[nodiscard]] uint64_t get_message_id() const noexcept;
	[[nodiscard]] utility::span<char const> get_body() const noexcept;

	// Each setter first grows a frame shorter than the header to the header's size.
	void set_api_version(version api_version);
	void set_message_type_id(uint32_t type_id);
	void set_message_id(uint64_t message_id);

	void append_body(uint32_t value);
	void append_body(uint64_t value);
	void append_body(utility::span<char const> bytes);
	void append_body(const std::string &text);
	void append_body(const std::vector<char> &bytes);
	void append_body(const std::unordered_map<std::string, std::string> &map);
	// Cuts the frame back to its header; a shorter frame stays as it is.
	void clear_body() noexcept;
	// Replaces the body by one length-prefixed byte run.
	void set_body(utility::span<char const> bytes);

	// Reads one item at the body offset (0 is the first body byte). On success
	// stores the value, advances the offset past the item and returns true; on
	// failure returns false and leaves the offset and the value unchanged.
	// A string map is merged into the target: a decoded key replaces the target's
	// value, a key repeated within the item keeps its first value.
	bool read_body(size_t &offset, uint32_t &value) const;
	bool read_body(size_t &offset, uint64_t &value) const;
	bool read_body(size_t &offset, std::string &value) const;
	bool read_body(size_t &offset, std::vector<char> &value) const;
	bool read_body(size_t &offset, std::unordered_map<std::string, std::string> &value) const;

	// As read_body, but a missing or cut-short item throws KOVA_ERROR_IO_FAILED
	// "Failed to read from body (offset: <offset>)".
	void read_body_or_throw(size_t &offset, uint32_t &value) const;
	void read_body_or_throw(size_t &offset, uint64_t &value) const;
	void read_body_or_throw(size_t &offset, std::string &value) const;
	void read_body_or_throw(size_t &offset, std::vector<char> &value) const;
	void read_body_or_throw(size_t &offset, std::unordered_map<std::string, std::string> &value) const;

	// Number of body bytes from the offset to the end of the frame.
	[[nodiscard]] size_t remaining_body(size_t offset) const noexcept;

private:
	void ensure_header();

	std::vector<char> content;
};

// Total length field of a byte run that starts a frame; 0 for fewer than 24 bytes.
uint32_t get_expected_content_size(utility::span<char const> bytes) noexcept;
uint32_t get_expected_content_size(utility::span<char> bytes) noexcept;

} // namespace kova::bench::companion::api
