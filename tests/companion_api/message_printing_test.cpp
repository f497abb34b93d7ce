// Tests for companion/api/message_printing.cpp.
#include "companion/api/message_printing.hpp"

#include "protocol_test_support.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace api = kova::bench::companion::api;
namespace v1 = kova::bench::companion::api::v1;
using api::message_buffer;
using api::test::encoded;
using api::test::header;

TEST(message_printing, describes_the_header_and_body_size)
{
	struct row {
		message_buffer message;
		std::string text;
	};
	std::vector<row> const rows{
		{encoded(v1::stop_worker_request{5, 2}), "version: 1.24, id: 5, type: 20(stop_worker_request), size: 4"},
		{encoded(v1::bye_request{0}), "version: 1.24, id: 0, type: 5(bye_request), size: 0"},
		{message_buffer{}, "version: 0.0, id: 0, type: 0(unknown), size: 0"},
		{message_buffer{header(1, 24, 25, 0, 0)}, "version: 1.24, id: 0, type: 25(Unknown), size: 0"},
		{message_buffer{header(2, 24, 25, 0, 0)}, "version: 2.24, id: 0, type: 25(unknown), size: 0"},
		{message_buffer{header(1, 0, 0, 0, 0)}, "version: 1.0, id: 0, type: 0(Unknown), size: 0"},
		{encoded(v1::keep_alive_request{18446744073709551615u}),
		 "version: 1.24, id: 18446744073709551615, type: 24(keep_alive_request), size: 0"},
		{encoded(v1::error_response{1, 6, "abc"}), "version: 1.24, id: 1, type: 1(error_response), size: 15"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.text);
		EXPECT_EQ(api::describe_message(r.message), r.text);
		std::ostringstream stream;
		stream << r.message;
		EXPECT_EQ(stream.str(), r.text);
	}
}

TEST(message_printing, every_type_id_has_its_name)
{
	char const *const names[] = {"error_response",
				     "hello_response",
				     "hello_request",
				     "bye_response",
				     "bye_request",
				     "create_remote_mmaps_response",
				     "create_remote_mmaps_with_data_request",
				     "create_uninitialized_remote_mmaps_request",
				     "destroy_remote_mmaps_response",
				     "destroy_remote_mmaps_request",
				     "get_environment_information_response",
				     "get_environment_information_request",
				     "configure_worker_pool_response",
				     "configure_worker_pool_request",
				     "create_worker_response",
				     "create_worker_request",
				     "start_workers_response",
				     "start_workers_request",
				     "stop_worker_response",
				     "stop_worker_request",
				     "destroy_workers_response",
				     "destroy_workers_request",
				     "keep_alive_response",
				     "keep_alive_request"};
	for (uint32_t id = 1; id <= 24; ++id) {
		SCOPED_TRACE(id);
		EXPECT_EQ(api::describe_message(message_buffer{header(1, 24, id, 0, 0)}),
			  "version: 1.24, id: 0, type: " + std::to_string(id) + "(" + names[id - 1] + "), size: 0");
	}
}

TEST(message_printing, versions_and_error_responses)
{
	EXPECT_EQ(api::to_string(api::version{1, 24}), "1.24");
	EXPECT_EQ(api::to_string(api::version{0, 0}), "0.0");

	v1::error_response const error{7, 6, "Unsupported message received"};
	EXPECT_EQ(v1::to_string(error), "v1::error_response: {id: 7, message: \"Unsupported message received\"}");
	std::ostringstream stream;
	stream << error;
	EXPECT_EQ(stream.str(), v1::to_string(error));

	// Text from the peer cannot drive the terminal.
	EXPECT_EQ(v1::to_string(v1::error_response{1, 6, "bad\x1b[2J\n\xff"}),
		  "v1::error_response: {id: 1, message: \"bad\\x1b[2J\\n\\xff\"}");
}
