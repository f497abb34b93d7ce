// Tests for companion/api/message_buffer.cpp.
#include "companion/api/message_buffer.hpp"

#include "kova_exception.hpp"
#include "protocol_test_support.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

using kova::bench::companion::api::get_expected_content_size;
using kova::bench::companion::api::message_buffer;
using kova::bench::companion::api::version;
using kova::bench::companion::api::test::bytes;
using kova::bench::utility::span;
using string_map = std::unordered_map<std::string, std::string>;

namespace {

std::vector<char> body_of(const message_buffer &buffer)
{
	auto const body = buffer.get_body();
	return {body.begin(), body.end()};
}

// A frame made of a zeroed header and the given body bytes.
message_buffer frame_with_body(const std::vector<char> &body)
{
	std::vector<char> content(24, '\0');
	content.insert(content.end(), body.begin(), body.end());
	return message_buffer{std::move(content)};
}

void expect_read_failure(const char *what, const std::function<void()> &read, const std::string &text)
{
	SCOPED_TRACE(what);
	EXPECT_KOVA_THROW(read(), 17u, text);
}

} // namespace

TEST(message_buffer, short_frames_read_their_header_fields_as_zero)
{
	struct row {
		size_t size;
		version expected_version;
		uint32_t type_id;
		uint64_t id;
	};
	// Every byte holds 1, so a field that fits reads as its big-endian ones.
	for (const row &r : {row{0, {0, 0}, 0, 0}, row{3, {0, 0}, 0, 0}, row{6, {0x01010101, 0}, 0, 0},
			     row{11, {0x01010101, 0x01010101}, 0, 0}, row{19, {0x01010101, 0x01010101}, 0x01010101, 0},
			     row{23, {0x01010101, 0x01010101}, 0x01010101, 0x0101010101010101}}) {
		SCOPED_TRACE(r.size);
		message_buffer const buffer{std::vector<char>(r.size, 1)};
		EXPECT_EQ(buffer.get_api_version(), r.expected_version);
		EXPECT_EQ(buffer.get_message_type_id(), r.type_id);
		EXPECT_EQ(buffer.get_message_id(), r.id);
		EXPECT_TRUE(buffer.get_body().empty());
		EXPECT_EQ(buffer.get_body().data(), nullptr);
		EXPECT_EQ(get_expected_content_size(span<char const>{buffer.get_content()}), 0u);
	}
}

TEST(message_buffer, header_setters_create_a_zeroed_header_and_keep_the_body)
{
	message_buffer buffer;
	buffer.set_message_type_id(20);
	EXPECT_EQ(buffer.get_content(), bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

	buffer.set_api_version({1, 24});
	buffer.set_message_id(0x0102030405060708);
	buffer.append_body(uint32_t{7});
	buffer.set_message_type_id(3);
	EXPECT_EQ(buffer.get_api_version(), (version{1, 24}));
	EXPECT_EQ(buffer.get_message_type_id(), 3u);
	EXPECT_EQ(buffer.get_message_id(), 0x0102030405060708u);
	EXPECT_EQ(body_of(buffer), bytes({0, 0, 0, 7}));
	EXPECT_EQ(get_expected_content_size(span<char const>{buffer.get_content()}), 0u);

	buffer.set_expected_content_size();
	EXPECT_EQ(get_expected_content_size(span<char const>{buffer.get_content()}), 28u);
}

TEST(message_buffer, expected_content_size_of_a_bare_header_is_24)
{
	message_buffer buffer{version{1, 24}, 5, 0};
	buffer.set_expected_content_size();
	auto const &content = buffer.get_content();
	ASSERT_EQ(content.size(), 24u);
	EXPECT_EQ(std::vector<char>(content.begin() + 20, content.end()), bytes({0, 0, 0, 0x18}));
}

TEST(message_buffer, appended_items_are_length_prefixed_big_endian)
{
	message_buffer buffer{version{1, 24}, 1, 0};
	buffer.append_body(std::string{"abc"});
	buffer.append_body(std::string{});
	buffer.append_body(uint64_t{0x0102030405060708});
	buffer.append_body(std::vector<char>{'x'});
	buffer.append_body(string_map{});
	EXPECT_EQ(body_of(buffer), bytes({0, 0, 0, 0, 0, 0, 0, 3, 'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0,
					  1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 1, 'x', 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(message_buffer, clear_and_set_body)
{
	message_buffer buffer{bytes({1, 2, 3})};
	buffer.clear_body();
	EXPECT_EQ(buffer.get_content().size(), 3u);
	buffer.set_body(span<char const>{"hi", 2});
	EXPECT_EQ(buffer.get_content().size(), 24u + 8 + 2);
	EXPECT_EQ(buffer.get_content()[0], 1);
	EXPECT_EQ(body_of(buffer), bytes({0, 0, 0, 0, 0, 0, 0, 2, 'h', 'i'}));

	// The new body may be taken from the old one.
	buffer.set_body(buffer.get_body().subspan(8));
	EXPECT_EQ(body_of(buffer), bytes({0, 0, 0, 0, 0, 0, 0, 2, 'h', 'i'}));

	buffer.clear_body();
	EXPECT_EQ(buffer.get_content().size(), 24u);
	buffer.clear_content();
	EXPECT_TRUE(buffer.get_content().empty());
}

TEST(message_buffer, numbers_are_read_only_when_they_fit)
{
	for (size_t offset : {0u, 3u}) {
		SCOPED_TRACE(offset);
		std::vector<char> body(offset, 0);
		for (char c : bytes({0xde, 0xad, 0xbe, 0xef}))
			body.push_back(c);
		message_buffer const exact = frame_with_body(body);
		size_t at = offset;
		uint32_t value = 0;
		EXPECT_TRUE(exact.read_body(at, value));
		EXPECT_EQ(value, 0xdeadbeefu);
		EXPECT_EQ(at, offset + 4);

		body.pop_back();
		message_buffer const short_by_one = frame_with_body(body);
		at = offset;
		value = 1;
		EXPECT_FALSE(short_by_one.read_body(at, value));
		EXPECT_EQ(at, offset);
		EXPECT_EQ(value, 1u);
		uint64_t wide = 0;
		EXPECT_FALSE(short_by_one.read_body(at, wide));
	}

	// An offset beyond the body does not wrap around.
	size_t at = std::numeric_limits<size_t>::max() - 2;
	uint32_t value = 0;
	EXPECT_FALSE(frame_with_body(bytes({1, 2, 3, 4})).read_body(at, value));
}

TEST(message_buffer, byte_runs_that_do_not_fit_leave_offset_and_target_alone)
{
	struct row {
		const char *name;
		std::vector<char> body;
	};
	std::vector<row> const rows{
		{"one byte past the end", bytes({0, 0, 0, 0, 0, 0, 0, 4, 'a', 'b', 'c'})},
		{"length cut short", bytes({0, 0, 0, 0})},
		{"length near 2^64", bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 'a'})},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		message_buffer const buffer = frame_with_body(r.body);
		size_t at = 0;
		std::string text = "kept";
		std::vector<char> vec{'k'};
		EXPECT_FALSE(buffer.read_body(at, text));
		EXPECT_FALSE(buffer.read_body(at, vec));
		EXPECT_EQ(at, 0u);
		EXPECT_EQ(text, "kept");
		EXPECT_EQ(vec, std::vector<char>{'k'});
		expect_read_failure(r.name, [&] { buffer.read_body_or_throw(at, text); },
				    "Failed to read from body (offset: 0)");
	}

	message_buffer const good = frame_with_body(bytes({9, 0, 0, 0, 0, 0, 0, 0, 3, 'a', 'b', 'c', 7}));
	size_t at = 1;
	std::string text;
	EXPECT_TRUE(good.read_body(at, text));
	EXPECT_EQ(text, "abc");
	EXPECT_EQ(at, 12u);
}

TEST(message_buffer, string_maps_round_trip_and_merge_into_the_target)
{
	message_buffer buffer{version{1, 24}, 11, 0};
	string_map const written{{"k", "z"}, {"b", ""}, {"", "empty key"}};
	buffer.append_body(written);

	string_map target{{"a", "x"}, {"k", "y"}};
	size_t at = 0;
	ASSERT_TRUE(buffer.read_body(at, target));
	EXPECT_EQ(at, buffer.get_body().size());
	EXPECT_EQ(target, (string_map{{"a", "x"}, {"k", "z"}, {"b", ""}, {"", "empty key"}}));
}

TEST(message_buffer, a_repeated_key_keeps_its_first_value)
{
	message_buffer const buffer = frame_with_body(bytes({0, 0, 0, 0, 0, 0, 0, 2,				  //
							     0, 0, 0, 0, 0, 0, 0, 1, 'k', 0, 0, 0, 0, 0, 0, 0, 1, '1', //
							     0, 0, 0, 0, 0, 0, 0, 1, 'k', 0, 0, 0, 0, 0, 0, 0, 1, '2'}));
	string_map target;
	size_t at = 0;
	ASSERT_TRUE(buffer.read_body(at, target));
	EXPECT_EQ(target, (string_map{{"k", "1"}}));
}

TEST(message_buffer, an_empty_map_is_eight_zero_bytes)
{
	message_buffer buffer{version{1, 24}, 11, 0};
	buffer.append_body(string_map{});
	EXPECT_EQ(body_of(buffer), std::vector<char>(8, 0));
	string_map target{{"a", "x"}};
	size_t at = 0;
	ASSERT_TRUE(buffer.read_body(at, target));
	EXPECT_EQ(at, 8u);
	EXPECT_EQ(target, (string_map{{"a", "x"}}));
}

TEST(message_buffer, malformed_or_oversized_maps_leave_offset_and_target_alone)
{
	auto entry = [](const std::string &key, const std::string &value) {
		message_buffer item{version{1, 24}, 0, 0};
		item.append_body(key);
		item.append_body(value);
		auto body = item.get_body();
		return std::vector<char>(body.begin(), body.end());
	};
	auto map_body = [](uint64_t count, const std::vector<std::vector<char>> &entries) {
		message_buffer item{version{1, 24}, 0, 0};
		item.append_body(count);
		std::vector<char> body(item.get_body().begin(), item.get_body().end());
		for (const auto &e : entries)
			body.insert(body.end(), e.begin(), e.end());
		return body;
	};
	std::string const long_key(kova::bench::companion::api::max_string_map_key_size + 1, 'k');
	std::string const long_value(kova::bench::companion::api::max_string_map_value_size + 1, 'v');
	std::vector<char> cut_short = map_body(1, {entry("a", "12345")});
	cut_short.pop_back();
	struct row {
		const char *name;
		std::vector<char> body;
		std::string text;
	};
	std::vector<row> const rows{
		{"3 announced, 2 held", map_body(3, {entry("a", "1"), entry("b", "2")}),
		 "Failed to read from body (offset: 0)"},
		{"value cut short", cut_short, "Failed to read from body (offset: 0)"},
		{"count near 2^64", map_body(std::numeric_limits<uint64_t>::max(), {entry("a", "1")}),
		 "String map exceeds its limits (offset: 0)"},
		{"too many entries", map_body(kova::bench::companion::api::max_string_map_entries + 1, {}),
		 "String map exceeds its limits (offset: 0)"},
		{"key too long", map_body(1, {entry(long_key, "1")}), "String map exceeds its limits (offset: 0)"},
		{"value too long", map_body(1, {entry("a", long_value)}), "String map exceeds its limits (offset: 0)"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		message_buffer const buffer = frame_with_body(r.body);
		string_map target{{"a", "x"}};
		size_t at = 0;
		EXPECT_FALSE(buffer.read_body(at, target));
		EXPECT_EQ(at, 0u);
		EXPECT_EQ(target, (string_map{{"a", "x"}}));
		expect_read_failure(r.name, [&] { buffer.read_body_or_throw(at, target); }, r.text);
	}
}

TEST(message_buffer, constructors_and_set_content_copy_or_take_the_bytes)
{
	std::vector<char> const source = bytes({1, 2, 3});
	message_buffer from_span{span<char const>{source}};
	message_buffer from_vector{std::vector<char>{source}};
	EXPECT_EQ(from_span.get_content(), source);
	EXPECT_EQ(from_vector.get_content(), source);

	from_span.set_content(bytes({4}));
	EXPECT_EQ(from_span.get_content(), bytes({4}));
	from_span.set_content(span<char const>{from_span.get_content()});
	EXPECT_EQ(from_span.get_content(), bytes({4}));
	from_span.set_content(from_span.get_content());
	EXPECT_EQ(from_span.get_content(), bytes({4}));

	message_buffer const built{version{1, 24}, 20, 5};
	EXPECT_EQ(built.get_content(),
		  bytes({0, 0, 0, 1, 0, 0, 0, 24, 0, 0, 0, 20, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0}));
}
