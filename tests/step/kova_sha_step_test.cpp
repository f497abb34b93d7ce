// Tests for src/step/kova_sha_step.cpp over the SHA stand-in.
#include "step/local_step_fixture.hpp"

#include "step/kova_sha_step.hpp"

#include <kova/error.h>

#include <string>

namespace kova::bench::step::test {
namespace {

using kova_sha_step_test = local_step_fixture;

TEST_F(kova_sha_step_test, refuses_missing_unknown_or_unsupported_algorithms_before_making_an_instance)
{
	struct algorithm_case {
		const char *name;
		const char *algorithm; // null: no attribute
		const char *refused;   // a support query answering "not supported", or null
		kova_error code;
		const char *message;
	};
	algorithm_case const cases[] = {
		{"no algorithm", nullptr, nullptr, KOVA_ERROR_INVALID_VALUE,
		 "Unable to create KOVA SHA instance. No algorithm selected."},
		{"upper case", "SHA256", nullptr, KOVA_ERROR_INVALID_VALUE, "KOVA SHA algorithm: \"SHA256\" is not recognized."},
		{"md5", "md5", nullptr, KOVA_ERROR_INVALID_VALUE, "KOVA SHA algorithm: \"md5\" is not recognized."},
		{"sha1 unsupported", "sha1", "kova_sha_cap_task_hash_get_supported(0)", KOVA_ERROR_NOT_SUPPORTED,
		 "kova_sha sha1 hash task is not supported"},
		{"sha256 unsupported", "sha256", "kova_sha_cap_task_hash_get_supported(1)", KOVA_ERROR_NOT_SUPPORTED,
		 "kova_sha sha256 hash task is not supported"},
		{"sha512 unsupported", "sha512", "kova_sha_cap_task_hash_get_supported(2)", KOVA_ERROR_NOT_SUPPORTED,
		 "kova_sha sha512 hash task is not supported"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		kova_test_reset();
		if (c.refused != nullptr)
			kova_test_override_capability(c.refused, KOVA_ERROR_NOT_SUPPORTED, 0);
		kova_test_trace_enable(1);
		attributes.attribute_map.clear();
		if (c.algorithm != nullptr)
			attributes.attribute_map["kova_sha.algorithm"] = c.algorithm;
		auto const [code, message] = failure([&] { make<kova_sha_step>(); });
		EXPECT_EQ(code, c.code);
		EXPECT_EQ(message, c.message);
		EXPECT_EQ(trace().find("kova_sha_create"), std::string::npos);
	}

	// A device with sha256 but not sha1 takes sha256; a failing query is not a refusal.
	kova_test_reset();
	kova_test_override_capability("kova_sha_cap_task_hash_get_supported(0)", KOVA_ERROR_NOT_SUPPORTED, 0);
	attributes.attribute_map = {{"kova_sha.algorithm", "sha256"}};
	EXPECT_NE(make<kova_sha_step>(), nullptr);
	kova_test_override_capability("kova_sha_cap_task_hash_get_supported(1)", KOVA_ERROR_DRIVER, 0);
	EXPECT_EQ(failure([&] { make<kova_sha_step>(); }),
		  std::make_pair(kova_error{KOVA_ERROR_DRIVER}, std::string{"Failed to query kova_sha hash SHA256 supported"}));
}

TEST_F(kova_sha_step_test, each_failing_sdk_call_gives_its_message)
{
	struct failure_case {
		const char *function;
		const char *message;
	};
	failure_case const cases[] = {
		{"kova_sha_create", "Unable to create kova_sha instance."},
		{"kova_sha_task_hash_set_conf", "Failed to set tasks conf for kova_sha instance."},
		{"kova_pe_connect_ctx", "Unable to connect kova_pe to kova_ctx"},
		{"kova_ctx_start", "Failed to start kova_sha context"},
	};
	attributes.attribute_map = {{"kova_sha.algorithm", "sha1"}};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.function);
		kova_test_reset();
		kova_test_force_result(c.function, KOVA_ERROR_DRIVER, 1);
		kova_test_trace_enable(1);
		EXPECT_EQ(failure([&] { make<kova_sha_step>(); }),
			  std::make_pair(kova_error{KOVA_ERROR_DRIVER}, std::string{c.message}));
		std::string const calls = trace();
		bool const made = calls.find("kova_sha_create") != std::string::npos &&
				  std::string{c.function} != "kova_sha_create";
		EXPECT_EQ(made, calls.find("kova_sha_destroy") != std::string::npos) << "an instance made is destroyed again";
	}
}

TEST_F(kova_sha_step_test, writes_the_digest_of_abc_and_hands_the_job_on_unchanged)
{
	attributes.attribute_map = {{"kova_sha.algorithm", "sha256"}};
	auto step = make<kova_sha_step>();
	EXPECT_STREQ(step->get_name(), "kova_sha");
	kova_buf *in = input("abc");
	kova_buf *out = output(64);
	kova_buf *spare = output(64);
	task_set const set = step->create_task_set(in, out, spare, kova_data{.u64 = 5});
	EXPECT_EQ(set.next_input, in);
	EXPECT_EQ(set.next_output, out);
	EXPECT_EQ(set.next_spare, spare);
	ASSERT_EQ(run(set.task), KOVA_SUCCESS);
	EXPECT_EQ(to_hex(contents(out)), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
	EXPECT_EQ(contents(in), "abc");
	step->destroy_all_tasks();
}

TEST_F(kova_sha_step_test, the_output_range_starts_at_the_digest_size)
{
	struct range_case {
		const char *algorithm;
		uint32_t digest;
	};
	for (auto const c : {range_case{"sha1", 20}, range_case{"sha256", 32}, range_case{"sha512", 64}}) {
		SCOPED_TRACE(c.algorithm);
		attributes.attribute_map = {{"kova_sha.algorithm", c.algorithm}};
		io_buffer_ranges const ranges = make<kova_sha_step>()->get_io_buffer_ranges();
		EXPECT_EQ(ranges.input, std::make_pair(1U, 2097152U));
		EXPECT_EQ(ranges.output, std::make_pair(c.digest, 2097152U));
	}

	attributes.attribute_map = {{"kova_sha.algorithm", "sha1"}};
	auto step = make<kova_sha_step>();
	struct query_case {
		const char *query;
		const char *line;
	};
	for (auto const &c :
	     {query_case{"kova_sha_cap_get_max_src_buf_size",
			 "[kova_sha_step::get_io_buffer_ranges] failed to query max buffer size: KOVA_ERROR_DRIVER\n"},
	      query_case{"kova_sha_cap_get_min_dst_buf_size",
			 "[kova_sha_step::get_io_buffer_ranges] failed to query min buffer size: KOVA_ERROR_DRIVER\n"}}) {
		SCOPED_TRACE(c.query);
		kova_test_reset();
		kova_test_override_capability(c.query, KOVA_ERROR_DRIVER, 0);
		::testing::internal::CaptureStdout();
		io_buffer_ranges const failed = step->get_io_buffer_ranges();
		EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.line);
		EXPECT_EQ(failed.input, std::make_pair(0U, 0U));
		EXPECT_EQ(failed.output, std::make_pair(0U, 0U));
	}
}

TEST_F(kova_sha_step_test, rejects_empty_task_user_data)
{
	attributes.attribute_map = {{"kova_sha.algorithm", "sha512"}};
	auto step = make<kova_sha_step>();
	kova_buf *out = output(64);
	EXPECT_EQ(failure([&] { step->create_task_set(input("x"), out, out, kova_data{.u64 = 0}); }),
		  std::make_pair(kova_error{KOVA_ERROR_INVALID_VALUE}, std::string{"Invalid (empty) task user data"}));
}

} // namespace
} // namespace kova::bench::step::test
