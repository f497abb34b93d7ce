// Feeds arbitrary bytes to the decoders of the companion protocol: once as a
// whole frame, and once as the body of a well-formed version-1 header whose
// type id the first byte selects. Decoders may refuse input with
// kova::exception; anything else (a crash, a sanitizer report, an allocation
// beyond what the input can describe) is a finding.
#include "companion/api/message_buffer.hpp"
#include "companion/api/message_printing.hpp"
#include "companion/api/v1/codecs.hpp"
#include "kova_exception.hpp"

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <vector>

namespace api = kova::bench::companion::api;
namespace v1 = kova::bench::companion::api::v1;

namespace {

using all_types = v1::message_types;

// A frame the codec accepts must re-encode to a frame that decodes again and re-encodes to the
// same length (sets and maps may come back in another order). A frame of another type must be
// refused.
template <typename T>
void decode_and_reencode(const api::message_buffer &buffer, bool must_refuse)
{
	T message{};
	try {
		v1::decode_api_message(buffer, message);
	} catch (const kova::exception &) {
		return;
	}
	if (must_refuse)
		__builtin_trap();
	api::message_buffer again;
	v1::encode_api_message(message, again);
	T copy{};
	v1::decode_api_message(again, copy);
	api::message_buffer third;
	v1::encode_api_message(copy, third);
	if (third.get_content().size() != again.get_content().size())
		__builtin_trap();
	if constexpr (std::is_same_v<T, v1::error_response>)
		(void)v1::to_string(message);
}

// Decodes with the codec of the header's type id, and with one other codec,
// which must refuse the frame.
void decode_with_codecs(const api::message_buffer &buffer)
{
	uint32_t const type_id = buffer.get_message_type_id();
	uint32_t const other = type_id % v1::last_type_id + 1;
	std::apply(
		[&](auto... type) {
			((decltype(type)::type_id == type_id || decltype(type)::type_id == other
				  ? decode_and_reencode<decltype(type)>(buffer, decltype(type)::type_id != type_id)
				  : void()),
			 ...);
		},
		all_types{});
	(void)api::describe_message(buffer);
	(void)api::get_expected_content_size(kova::bench::utility::span<char const>{buffer.get_content()});
}

// Reads the body as a run of items whose kinds the body's own bytes choose.
void read_items(const api::message_buffer &buffer)
{
	size_t offset = 0;
	for (int i = 0; i < 16; ++i) {
		uint32_t kind = 0;
		if (!buffer.read_body(offset, kind))
			return;
		bool read = false;
		switch (kind % 5) {
		case 0: {
			uint32_t value;
			read = buffer.read_body(offset, value);
			break;
		}
		case 1: {
			uint64_t value;
			read = buffer.read_body(offset, value);
			break;
		}
		case 2: {
			std::string value;
			read = buffer.read_body(offset, value);
			break;
		}
		case 3: {
			std::vector<char> value;
			read = buffer.read_body(offset, value);
			break;
		}
		default: {
			std::unordered_map<std::string, std::string> value;
			read = buffer.read_body(offset, value);
			break;
		}
		}
		if (!read)
			return;
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	auto const *bytes = reinterpret_cast<const char *>(data);
	decode_with_codecs(api::message_buffer{kova::bench::utility::span<char const>{bytes, size}});

	if (size == 0)
		return 0;
	api::message_buffer framed{v1::api_version, static_cast<uint32_t>(data[0] % (v1::last_type_id + 2)), 1};
	framed.append_body(kova::bench::utility::span<char const>{bytes + 1, size - 1});
	// Drop the length prefix that append_body wrote: the input is the body itself.
	std::vector<char> content = framed.get_content();
	content.erase(content.begin() + api::message_header_size, content.begin() + api::message_header_size + 8);
	api::message_buffer const structured{std::move(content)};
	decode_with_codecs(structured);
	read_items(structured);
	return 0;
}
