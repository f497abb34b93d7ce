// Tests for companion/api/v1/codecs.cpp.
#include "companion/api/v1/codecs.hpp"

#include "kova_exception.hpp"
#include "protocol_test_support.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace api = kova::bench::companion::api;
namespace v1 = kova::bench::companion::api::v1;
using api::message_buffer;
using api::version;
using api::test::bytes;
using api::test::decoded;
using api::test::encoded;
using api::test::header;

namespace {

using all_types = v1::message_types;

// The type ids whose decoder accepts the frame.
std::vector<uint32_t> accepting_decoders(const message_buffer &buffer)
{
	std::vector<uint32_t> ids;
	std::apply(
		[&](auto... type) {
			(
				[&] {
					using T = decltype(type);
					try {
						T message{};
						v1::decode_api_message(buffer, message);
						ids.push_back(T::type_id);
					} catch (const kova::exception &) {
					}
				}(),
				...);
		},
		all_types{});
	return ids;
}

std::vector<char> body_of(const message_buffer &buffer)
{
	return {buffer.get_body().begin(), buffer.get_body().end()};
}

template <typename T>
std::string decode_error(const message_buffer &buffer)
{
	try {
		T message{};
		v1::decode_api_message(buffer, message);
	} catch (const kova::exception &e) {
		EXPECT_EQ(e.code(), 6u);
		return e.what();
	}
	return "no exception";
}

message_buffer frame(uint32_t major, uint32_t minor, uint32_t type_id, const std::vector<char> &body)
{
	std::vector<char> content = header(major, minor, type_id, 0, 0);
	content.insert(content.end(), body.begin(), body.end());
	return message_buffer{std::move(content)};
}

template <typename T, typename Same>
void check_round_trip(const T &message, Same same)
{
	SCOPED_TRACE(std::string{T::type_name});
	message_buffer const buffer = encoded(message);
	EXPECT_EQ(buffer.get_api_version(), (version{1, 24}));
	EXPECT_EQ(buffer.get_message_type_id(), T::type_id);
	EXPECT_EQ(buffer.get_message_id(), message.id);
	EXPECT_EQ(accepting_decoders(buffer), std::vector<uint32_t>{T::type_id});
	T const back = decoded<T>(buffer);
	EXPECT_EQ(back.id, message.id);
	EXPECT_TRUE(same(back, message));
}

template <typename T>
void check_bodyless_round_trip(uint64_t id)
{
	T message{};
	message.id = id;
	check_round_trip(message, [](const T &, const T &) { return true; });
	EXPECT_TRUE(encoded(message).get_body().empty());
}

} // namespace

TEST(v1_codecs, golden_frames)
{
	message_buffer stop = encoded(v1::stop_worker_request{5, 2});
	EXPECT_EQ(stop.get_content(), bytes({0, 0, 0, 1, 0, 0, 0, 0x18, 0, 0, 0, 0x14, 0, 0, 0, 0, 0, 0, 0, 5,
					     0, 0, 0, 0x1c, 0, 0, 0, 2}));

	message_buffer unsent;
	v1::encode_api_message(v1::stop_worker_request{5, 2}, unsent);
	EXPECT_EQ(std::vector<char>(unsent.get_content().begin() + 20, unsent.get_content().begin() + 24),
		  bytes({0, 0, 0, 0}));

	message_buffer const hello = encoded(v1::hello_request{0, {{1, 24}}});
	EXPECT_EQ(body_of(hello), bytes({0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0x18}));

	message_buffer const bye = encoded(v1::bye_request{0});
	EXPECT_EQ(bye.get_content(), header(1, 24, 5, 0, 24));

	// Messages of several fields: each field in its place on the wire (u32 big-endian; a string is
	// a u64 length and its bytes; a map a u64 count of pairs).
	EXPECT_EQ(body_of(encoded(v1::error_response{7, 16, "ab"})),
		  bytes({0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 2, 'a', 'b'}));
	EXPECT_EQ(body_of(encoded(v1::create_uninitialized_remote_mmaps_request{7, 3, 0x1000})),
		  bytes({0, 0, 0, 3, 0, 0, 0x10, 0}));
	EXPECT_EQ(body_of(encoded(v1::create_worker_response{7, 9, {}})), bytes({0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0}));
	EXPECT_EQ(body_of(encoded(v1::create_worker_request{7, "rx", {}})),
		  bytes({0, 0, 0, 0, 0, 0, 0, 2, 'r', 'x', 0, 0, 0, 0, 0, 0, 0, 0}));

	message_buffer const environment = encoded(v1::get_environment_information_response{3, {}});
	EXPECT_EQ(body_of(environment), std::vector<char>(8, 0));
	EXPECT_TRUE(decoded<v1::get_environment_information_response>(environment).information.empty());
}

TEST(v1_codecs, every_message_type_round_trips)
{
	auto const same_error = [](const auto &a, const auto &b) { return a == b; };
	check_round_trip(v1::error_response{1, 16, "Not found: \"x\"\n"}, same_error);
	check_round_trip(v1::hello_response{2, {{1, 24}, {2, 0}}}, same_error);
	check_round_trip(v1::hello_request{3, {{1, 24}}}, [](const auto &a, const auto &b) {
		return a.supported_api_versions == b.supported_api_versions;
	});
	check_bodyless_round_trip<v1::bye_response>(4);
	check_bodyless_round_trip<v1::bye_request>(5);
	check_round_trip(v1::create_remote_mmaps_response{6, {{'a', '\0', 'b'}, {}, {'c'}}},
			 [](const auto &a, const auto &b) { return a.exported_mmaps == b.exported_mmaps; });
	check_round_trip(v1::create_remote_mmaps_with_data_request{7, {std::vector<char>(1000, 'x'), {}}},
			 [](const auto &a, const auto &b) { return a.buffers == b.buffers; });
	check_round_trip(v1::create_uninitialized_remote_mmaps_request{8, 3, 0xffffffffu}, [](const auto &a, const auto &b) {
		return a.mmap_count == b.mmap_count && a.mmap_size == b.mmap_size;
	});
	check_bodyless_round_trip<v1::destroy_remote_mmaps_response>(9);
	check_bodyless_round_trip<v1::destroy_remote_mmaps_request>(10);
	check_round_trip(v1::get_environment_information_response{11, {{"host.name", "a"}, {"dpu.os", ""}}},
			 [](const auto &a, const auto &b) { return a.information == b.information; });
	check_bodyless_round_trip<v1::get_environment_information_request>(12);
	check_bodyless_round_trip<v1::configure_worker_pool_response>(13);
	check_round_trip(v1::configure_worker_pool_request{14, {0, 7, 65535}},
			 [](const auto &a, const auto &b) { return a.cores == b.cores; });
	check_round_trip(v1::create_worker_response{15, 42, {{"qp", "17"}}}, [](const auto &a, const auto &b) {
		return a.worker_id == b.worker_id && a.fields == b.fields;
	});
	check_round_trip(v1::create_worker_request{16, "rdma_recv", {{"gid", "fe80::1"}, {"mtu", "4096"}}},
			 [](const auto &a, const auto &b) { return a.worker_type == b.worker_type && a.command == b.command; });
	check_bodyless_round_trip<v1::start_workers_response>(17);
	check_bodyless_round_trip<v1::start_workers_request>(18);
	check_bodyless_round_trip<v1::stop_worker_response>(19);
	check_round_trip(v1::stop_worker_request{20, 0}, [](const auto &a, const auto &b) { return a.worker_id == b.worker_id; });
	check_bodyless_round_trip<v1::destroy_workers_response>(21);
	check_bodyless_round_trip<v1::destroy_workers_request>(22);
	check_bodyless_round_trip<v1::keep_alive_response>(23);
	check_bodyless_round_trip<v1::keep_alive_request>(std::numeric_limits<uint64_t>::max());
}

TEST(v1_codecs, any_minor_version_of_major_1_is_accepted)
{
	for (uint32_t minor : {0u, 24u, 99u}) {
		SCOPED_TRACE(minor);
		message_buffer buffer = encoded(v1::stop_worker_request{1, 9});
		buffer.set_api_version({1, minor});
		EXPECT_EQ(decoded<v1::stop_worker_request>(buffer).worker_id, 9u);
	}
}

TEST(v1_codecs, version_and_type_mismatches_are_refused)
{
	message_buffer bye_v2 = encoded(v1::bye_request{0});
	bye_v2.set_api_version({2, 24});
	EXPECT_EQ(decode_error<v1::bye_request>(bye_v2),
		  "Unable to interpret a message of api version: 2.24, type : 5 using a codec for api version: 1.24, type 5");

	EXPECT_EQ(decode_error<v1::create_worker_request>(encoded(v1::create_worker_response{})),
		  "Unable to interpret a message of api version: 1.24, type : 15 using a codec for api version: 1.24, "
		  "type 16");

	EXPECT_EQ(decode_error<v1::keep_alive_request>(message_buffer{}),
		  "Unable to interpret a message of api version: 0.0, type : 0 using a codec for api version: 1.24, type 24");
}

TEST(v1_codecs, missing_body_items_name_their_offset)
{
	struct row {
		std::function<std::string()> decode;
		std::string text;
	};
	std::vector<row> const rows{
		{[] { return decode_error<v1::create_uninitialized_remote_mmaps_request>(frame(1, 24, 8, bytes({0, 0, 0, 3}))); },
		 "Unable to parse malformed create_uninitialized_remote_mmaps_request: Failed to read from body (offset: 4)"},
		{[] { return decode_error<v1::stop_worker_request>(frame(1, 24, 20, {})); },
		 "Unable to parse malformed stop_worker_request: Failed to read from body (offset: 0)"},
		{[] {
			 return decode_error<v1::hello_response>(
				 frame(1, 24, 2, bytes({0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 24})));
		 },
		 "Unable to parse malformed hello_response: Failed to read from body (offset: 16)"},
		{[] {
			 return decode_error<v1::hello_request>(
				 frame(1, 24, 3, bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})));
		 },
		 "Unable to parse malformed hello_request: Failed to read from body (offset: 8)"},
		{[] {
			 return decode_error<v1::create_remote_mmaps_response>(
				 frame(1, 24, 6, bytes({0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})));
		 },
		 "Unable to parse malformed create_remote_mmaps_response: Failed to read from body (offset: 16)"},
		{[] { return decode_error<v1::error_response>(frame(1, 24, 1, bytes({0, 0, 0, 6, 0, 0, 0}))); },
		 "Unable to parse malformed error_response: Failed to read from body (offset: 4)"},
		{[] {
			 return decode_error<v1::create_worker_request>(
				 frame(1, 24, 16, bytes({0, 0, 0, 0, 0, 0, 0, 1, 'x', 0, 0, 0, 0, 0, 0, 0, 1})));
		 },
		 "Unable to parse malformed create_worker_request: Failed to read from body (offset: 9)"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.text);
		EXPECT_EQ(r.decode(), r.text);
	}
}

TEST(v1_codecs, bytes_after_the_last_field_are_ignored)
{
	message_buffer buffer = encoded(v1::stop_worker_request{5, 2});
	buffer.append_body(uint32_t{0xffffffff});
	EXPECT_EQ(decoded<v1::stop_worker_request>(buffer).worker_id, 2u);

	message_buffer bye = encoded(v1::bye_request{1});
	bye.append_body(std::string{"junk"});
	EXPECT_EQ(decoded<v1::bye_request>(bye).id, 1u);
}

TEST(v1_codecs, core_list_text)
{
	EXPECT_EQ(body_of(encoded(v1::configure_worker_pool_request{1, {3}})),
		  bytes({0, 0, 0, 0, 0, 0, 0, 1, '3'}));
	EXPECT_EQ(body_of(encoded(v1::configure_worker_pool_request{1, {}})), std::vector<char>(8, 0));

	auto const decode_cores = [](const std::string &text) {
		message_buffer buffer{version{1, 24}, v1::configure_worker_pool_request::type_id, 0};
		buffer.append_body(text);
		return decoded<v1::configure_worker_pool_request>(buffer).cores;
	};
	EXPECT_EQ(decode_cores(" 1, 2,2"), (std::unordered_set<uint16_t>{1, 2}));
	EXPECT_EQ(decode_cores(""), std::unordered_set<uint16_t>{});
	EXPECT_EQ(decode_cores("65535,0007"), (std::unordered_set<uint16_t>{65535, 7}));

	for (std::string const bad : {"70000", "65536", "1,", ",1", "1,,2", "a", "1a", "-1", "+1", " ", "99999999999999999999"}) {
		SCOPED_TRACE(bad);
		message_buffer buffer{version{1, 24}, v1::configure_worker_pool_request::type_id, 0};
		buffer.append_body(bad);
		std::string const text = decode_error<v1::configure_worker_pool_request>(buffer);
		EXPECT_EQ(text.rfind("Unable to parse malformed configure_worker_pool_request: Invalid core id: \"", 0), 0u)
			<< text;
	}
}

TEST(v1_codecs, encoding_into_a_used_buffer_replaces_header_and_body)
{
	message_buffer buffer{std::vector<char>(100, '\x7f')};
	v1::encode_api_message(v1::stop_worker_request{5, 2}, buffer);
	buffer.set_expected_content_size();
	EXPECT_EQ(buffer.get_content(), encoded(v1::stop_worker_request{5, 2}).get_content());
}

TEST(v1_codecs, decoders_add_to_list_fields)
{
	v1::hello_response message{0, {{9, 9}}};
	v1::decode_api_message(encoded(v1::hello_response{4, {{1, 24}}}), message);
	EXPECT_EQ(message.supported_api_versions, (std::vector<version>{{9, 9}, {1, 24}}));
	EXPECT_EQ(message.id, 4u);
}
