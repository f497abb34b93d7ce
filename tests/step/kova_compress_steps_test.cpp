// Tests for src/step/compress_step_base.cpp, kova_compress_compress_step.cpp and
// kova_compress_decompress_step.cpp over the compression stand-in.
#include "step/local_step_fixture.hpp"

#include "step/kova_compress_compress_step.hpp"
#include "step/kova_compress_decompress_step.hpp"

#include <kova/error.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <map>
#include <string>

namespace kova::bench::step::test {
namespace {

using ::testing::HasSubstr;

using compress_steps = local_step_fixture;

const std::string has_block_checksum = "kova_compress.algorithm.has_block_checksum";
const std::string are_blocks_independent = "kova_compress.algorithm.are_blocks_independent";

struct attribute_case {
	const char *name;
	bool decompress;
	std::map<std::string, std::string> attributes;
	const char *capability_refused; // a support query answering "not supported", or null
	kova_error code;
	std::string message;
};

TEST_F(compress_steps, refuse_missing_unknown_or_unsupported_attributes)
{
	attribute_case const cases[] = {
		{"no algorithm", false, {}, nullptr, KOVA_ERROR_INVALID_VALUE,
		 "Unable to create KOVA Compress instance. No algorithm selected."},
		{"no algorithm to decompress", true, {{"kova_compress.algorithm.has_block_checksum", "true"}}, nullptr,
		 KOVA_ERROR_INVALID_VALUE, "Unable to create KOVA Compress instance. No algorithm selected."},
		{"capital D", false, {{"kova_compress.algorithm", "Deflate"}}, nullptr, KOVA_ERROR_INVALID_VALUE,
		 "KOVA Compress algorithm: \"Deflate\" is not recognized."},
		{"lz4 compression", false, {{"kova_compress.algorithm", "lz4_stream"}}, nullptr, KOVA_ERROR_NOT_SUPPORTED,
		 "kova_compress lz4 stream compression is not available"},
		{"no checksum flag", true, {{"kova_compress.algorithm", "lz4_stream"}}, nullptr, KOVA_ERROR_INVALID_VALUE,
		 "Unable to create KOVA Compress instance. Selected algorithm(lz4 stream) requires " + has_block_checksum +
			 " attribute"},
		{"no independence flag",
		 true,
		 {{"kova_compress.algorithm", "lz4_stream"}, {has_block_checksum, "false"}},
		 nullptr,
		 KOVA_ERROR_INVALID_VALUE,
		 "Unable to create KOVA Compress instance. Selected algorithm(lz4 stream) requires " +
			 are_blocks_independent + " attribute"},
		{"checksum flag yes",
		 true,
		 {{"kova_compress.algorithm", "lz4_stream"}, {has_block_checksum, "yes"}, {are_blocks_independent, "true"}},
		 nullptr,
		 KOVA_ERROR_INVALID_VALUE,
		 "Unable to create KOVA Compress instance. " + has_block_checksum + ": \"yes\" is not recognized."},
		{"independence flag True",
		 true,
		 {{"kova_compress.algorithm", "lz4_stream"}, {has_block_checksum, "true"}, {are_blocks_independent, "True"}},
		 nullptr,
		 KOVA_ERROR_INVALID_VALUE,
		 "Unable to create KOVA Compress instance. " + are_blocks_independent + ": \"True\" is not recognized."},
		{"no deflate compression", false, {{"kova_compress.algorithm", "deflate"}},
		 "kova_compress_cap_task_compress_deflate_is_supported", KOVA_ERROR_NOT_SUPPORTED,
		 "kova_compress::compress deflate is not supported"},
		{"no deflate decompression", true, {{"kova_compress.algorithm", "deflate"}},
		 "kova_compress_cap_task_decompress_deflate_is_supported", KOVA_ERROR_NOT_SUPPORTED,
		 "kova_compress::decompress deflate is not supported"},
		{"no lz4 stream decompression", true, {{"kova_compress.algorithm", "lz4_stream"}},
		 "kova_compress_cap_task_decompress_lz4_stream_is_supported", KOVA_ERROR_NOT_SUPPORTED,
		 "kova_compress::decompress lz4 stream is not supported"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		kova_test_reset();
		if (c.capability_refused != nullptr)
			kova_test_override_capability(c.capability_refused, KOVA_ERROR_NOT_SUPPORTED, 0);
		kova_test_trace_enable(1);
		attributes.attribute_map = {c.attributes.begin(), c.attributes.end()};
		auto const [code, message] = failure([&] {
			if (c.decompress)
				make<kova_compress_decompress_step>();
			else
				make<kova_compress_compress_step>();
		});
		EXPECT_EQ(code, c.code);
		EXPECT_EQ(message, c.message);
		std::string const calls = trace();
		EXPECT_EQ(calls.find("kova_compress_create") != std::string::npos,
			  calls.find("kova_compress_destroy") != std::string::npos)
			<< "an instance made is destroyed again";
		EXPECT_EQ(calls.find("kova_ctx_stop"), std::string::npos);
	}
}

TEST_F(compress_steps, lz4_compression_is_refused_after_the_instance_was_made_and_destroyed)
{
	attributes.attribute_map = {{"kova_compress.algorithm", "lz4_stream"}};
	kova_test_trace_enable(1);
	EXPECT_EQ(failure([&] { make<kova_compress_compress_step>(); }).first, KOVA_ERROR_NOT_SUPPORTED);
	std::string const calls = trace();
	EXPECT_THAT(calls, HasSubstr("kova_compress_create\n"));
	EXPECT_THAT(calls, HasSubstr("kova_compress_destroy\n"));
}

TEST_F(compress_steps, each_failing_sdk_call_gives_its_message)
{
	struct failure_case {
		bool decompress;
		const char *function;
		const char *message;
	};
	failure_case const cases[] = {
		{false, "kova_compress_create", "Unable to create kova_compress instance."},
		{false, "kova_pe_connect_ctx", "Unable to connect kova_pe to kova_ctx"},
		{false, "kova_compress_task_compress_deflate_set_conf",
		 "Failed to set compress deflate tasks conf for kova_compress instance."},
		{true, "kova_compress_task_decompress_deflate_set_conf",
		 "Failed to set decompress deflate tasks conf for kova_compress instance."},
		{true, "kova_ctx_start", "Failed to start kova_compress context"},
	};
	attributes.attribute_map = {{"kova_compress.algorithm", "deflate"}};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.function);
		kova_test_reset();
		kova_test_force_result(c.function, KOVA_ERROR_DRIVER, 1);
		auto const [code, message] = failure([&] {
			if (c.decompress)
				make<kova_compress_decompress_step>();
			else
				make<kova_compress_compress_step>();
		});
		EXPECT_EQ(code, KOVA_ERROR_DRIVER);
		EXPECT_EQ(message, c.message);
	}
	kova_test_reset();
	attributes.attribute_map = {{"kova_compress.algorithm", "lz4_stream"},
				    {has_block_checksum, "false"},
				    {are_blocks_independent, "true"}};
	kova_test_force_result("kova_compress_task_decompress_lz4_stream_set_conf", KOVA_ERROR_DRIVER, 1);
	EXPECT_EQ(failure([&] { make<kova_compress_decompress_step>(); }).second,
		  "Failed to set decompress lz4 stream tasks conf for kova_compress instance.");
}

TEST_F(compress_steps, compress_then_decompress_reproduces_the_job_through_chained_buffers)
{
	attributes.attribute_map = {{"kova_compress.algorithm", "deflate"},
				    {has_block_checksum, "yes"}}; // ignored by deflate
	auto compress = make<kova_compress_compress_step>();
	auto decompress = make<kova_compress_decompress_step>();
	EXPECT_STREQ(compress->get_name(), "kova_compress::compress");
	EXPECT_STREQ(decompress->get_name(), "kova_compress::decompress");

	std::string job;
	for (int i = 0; i < 2000; ++i)
		job += "pipeline " + std::to_string(i % 17) + " offload ";
	kova_buf *in = input(job);
	kova_buf *a = output(job.size() + 1024);
	kova_buf *b = output(job.size() + 1024);
	task_set const first = compress->create_task_set(in, a, b, kova_data{.u64 = 1});
	EXPECT_EQ(first.next_input, a);
	EXPECT_EQ(first.next_output, b);
	EXPECT_EQ(first.next_spare, a);
	task_set const second =
		decompress->create_task_set(first.next_input, first.next_output, first.next_spare, kova_data{.u64 = 2});

	ASSERT_EQ(run(first.task), KOVA_SUCCESS);
	EXPECT_LT(contents(a).size(), job.size() / 4);
	ASSERT_EQ(run(second.task), KOVA_SUCCESS);
	EXPECT_EQ(contents(b), job);
	compress->destroy_all_tasks();
	decompress->destroy_all_tasks();
}

TEST_F(compress_steps, the_lz4_flags_reach_the_decompression_tasks)
{
	// One stored block of the job, followed by its XXH32.
	std::string const job = "a block stored as it is";
	std::string stream;
	auto put32 = [&](uint32_t value) {
		for (int i = 0; i < 4; ++i)
			stream += static_cast<char>(value >> (8 * i));
	};
	put32(static_cast<uint32_t>(job.size()) | 0x80000000u);
	stream += job;
	put32(XXH32(job.data(), job.size(), 0));

	for (bool const checksums : {true, false}) {
		SCOPED_TRACE(checksums);
		attributes.attribute_map = {{"kova_compress.algorithm", "lz4_stream"},
					    {has_block_checksum, checksums ? "true" : "false"},
					    {are_blocks_independent, "true"}};
		auto step = make<kova_compress_decompress_step>();
		kova_buf *out = output(64);
		task_set const set = step->create_task_set(input(stream), out, output(64), kova_data{.u64 = 1});
		if (checksums) {
			EXPECT_EQ(run(set.task), KOVA_SUCCESS);
			EXPECT_EQ(contents(out), job);
		} else {
			EXPECT_EQ(run(set.task), KOVA_ERROR_INVALID_VALUE) << "the checksum read as the next block's size";
		}
		step->destroy_all_tasks();
	}
}

TEST_F(compress_steps, report_the_maximum_buffer_size_of_their_task_as_ranges)
{
	attributes.attribute_map = {{"kova_compress.algorithm", "deflate"}};
	auto compress = make<kova_compress_compress_step>();
	auto decompress = make<kova_compress_decompress_step>();
	for (object *step : {static_cast<object *>(compress.get()), static_cast<object *>(decompress.get())}) {
		io_buffer_ranges const ranges = step->get_io_buffer_ranges();
		EXPECT_EQ(ranges.input, std::make_pair(1U, 2097152U));
		EXPECT_EQ(ranges.output, std::make_pair(1U, 2097152U));
	}
	kova_test_override_capability("kova_compress_cap_task_compress_deflate_get_max_buf_size", KOVA_ERROR_DRIVER, 0);
	kova_test_override_capability("kova_compress_cap_task_decompress_deflate_get_max_buf_size", KOVA_ERROR_DRIVER, 0);
	::testing::internal::CaptureStdout();
	io_buffer_ranges const failed = compress->get_io_buffer_ranges();
	decompress->get_io_buffer_ranges();
	EXPECT_EQ(::testing::internal::GetCapturedStdout(),
		  "[kova_compress_compress_step::get_io_buffer_ranges] failed to query max buffer size: KOVA_ERROR_DRIVER\n"
		  "[kova_compress_decompress_step::get_io_buffer_ranges] failed to query max buffer size: "
		  "KOVA_ERROR_DRIVER\n");
	EXPECT_EQ(failed.input, std::make_pair(0U, 0U));
	EXPECT_EQ(failed.output, std::make_pair(0U, 0U));
}

TEST_F(compress_steps, reject_empty_task_user_data_and_name_the_task_they_cannot_create)
{
	attributes.attribute_map = {{"kova_compress.algorithm", "deflate"}};
	attributes.task_pool_size = 1;
	auto step = make<kova_compress_decompress_step>();
	kova_buf *in = input("x");
	kova_buf *out = output(8);
	EXPECT_EQ(failure([&] { step->create_task_set(in, out, out, kova_data{.u64 = 0}); }),
		  std::make_pair(kova_error{KOVA_ERROR_INVALID_VALUE}, std::string{"Invalid (empty) task user data"}));
	step->create_task_set(in, out, out, kova_data{.u64 = 1});
	EXPECT_EQ(failure([&] { step->create_task_set(in, out, out, kova_data{.u64 = 2}); }),
		  std::make_pair(kova_error{KOVA_ERROR_NO_MEMORY},
				 std::string{"Unable to create kova_compress_task_decompress_deflate task"}));
	step->destroy_all_tasks();
}

} // namespace
} // namespace kova::bench::step::test
