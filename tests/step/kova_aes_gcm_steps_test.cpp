// Tests for src/step/aes_gcm_step_base.cpp, kova_aes_gcm_encrypt_step.cpp and
// kova_aes_gcm_decrypt_step.cpp over the AES-GCM stand-in.
#include "step/local_step_fixture.hpp"

#include "step/kova_aes_gcm_decrypt_step.hpp"
#include "step/kova_aes_gcm_encrypt_step.hpp"

#include <kova/error.h>

#include <fstream>
#include <map>
#include <string>

namespace kova::bench::step::test {
namespace {

using ::testing::HasSubstr;

const std::string key_128 = "feffe9928665731c6d6a8f9467308308";

class aes_gcm_steps : public local_step_fixture {
protected:
	// A file holding the text, in the test's temporary directory.
	static std::string key_file(const std::string &name, const std::string &text)
	{
		std::string const path = ::testing::TempDir() + "aes_gcm_steps_" + name;
		std::ofstream{path} << text;
		return path;
	}
};

TEST_F(aes_gcm_steps, refuse_bad_key_iv_tag_and_aad_attributes)
{
	struct attribute_case {
		const char *name;
		std::map<std::string, std::string> attributes;
		kova_error code;
		std::string message;
	};
	std::string const missing = ::testing::TempDir() + "aes_gcm_steps_missing";
	attribute_case const cases[] = {
		{"no key", {}, KOVA_ERROR_NOT_FOUND, "Key file or key is required for kova_aes_gcm."},
		{"key and key file",
		 {{"kova_aes_gcm.key", key_128}, {"kova_aes_gcm.key-file", key_file("both", key_128)}},
		 KOVA_ERROR_INVALID_VALUE,
		 "Only one of Key file and key can be provided at once."},
		{"key and a missing key file",
		 {{"kova_aes_gcm.key", key_128}, {"kova_aes_gcm.key-file", missing}},
		 KOVA_ERROR_NOT_FOUND,
		 "Unable to open file: \"" + missing + "\""},
		{"empty key file", {{"kova_aes_gcm.key-file", key_file("empty", " \n\t\n")}}, KOVA_ERROR_INVALID_VALUE,
		 "Input data file is empty"},
		{"key of 24 bytes", {{"kova_aes_gcm.key", key_128 + "0011223344556677"}}, KOVA_ERROR_INVALID_VALUE,
		 "Key length must be either 128 or 256 bits long."},
		{"key that is not hexadecimal", {{"kova_aes_gcm.key", "zz"}}, KOVA_ERROR_INVALID_VALUE,
		 "Unable to parse hex string, invalid value."},
		{"inline key with a newline", {{"kova_aes_gcm.key", key_128 + "\n"}}, KOVA_ERROR_INVALID_VALUE,
		 "Unable to parse hex string, invalid length."},
		{"IV of 13 bytes",
		 {{"kova_aes_gcm.key", key_128}, {"kova_aes_gcm.initialization-vector", "00112233445566778899aabbcc"}},
		 KOVA_ERROR_INVALID_VALUE,
		 "Initialization vector too long."},
		{"tag of 14", {{"kova_aes_gcm.key", key_128}, {"kova_aes_gcm.tag-size", "14"}}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid value for authentication tag size."},
		{"tag x", {{"kova_aes_gcm.key", key_128}, {"kova_aes_gcm.tag-size", "x"}}, KOVA_ERROR_INVALID_VALUE,
		 "Unable to parse authentication tag size, invalid format."},
		{"AAD x", {{"kova_aes_gcm.key", key_128}, {"kova_aes_gcm.aad-size", "x"}}, KOVA_ERROR_INVALID_VALUE,
		 "Unable to parse additional authenticated data size, invalid format."},
		{"negative queue count", {{"kova_aes_gcm.key", key_128}, {"zoption.mmo.log_num_qps", "-1"}},
		 KOVA_ERROR_INVALID_VALUE, "Invalid value for zoption.mmo.log_num_qps. Value may not be negative"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		kova_test_reset();
		kova_test_trace_enable(1);
		attributes.attribute_map = {c.attributes.begin(), c.attributes.end()};
		for (bool const decrypt : {false, true}) {
			auto const [code, message] = failure([&] {
				if (decrypt)
					make<kova_aes_gcm_decrypt_step>();
				else
					make<kova_aes_gcm_encrypt_step>();
			});
			EXPECT_EQ(code, c.code);
			EXPECT_EQ(message, c.message);
		}
		std::string const calls = trace();
		EXPECT_THAT(calls, HasSubstr("kova_aes_gcm_create")) << "the attributes are read after the instance is made";
		EXPECT_EQ(calls.find("kova_aes_gcm_key_create") != std::string::npos,
			  calls.find("kova_aes_gcm_key_destroy") != std::string::npos);
		EXPECT_THAT(calls, HasSubstr("kova_aes_gcm_destroy")) << "nothing stays allocated";
	}
}

TEST_F(aes_gcm_steps, accept_tag_sizes_with_trailing_text_and_queue_attributes_that_are_not_negative)
{
	attributes.attribute_map = {{"kova_aes_gcm.key", key_128},
				    {"kova_aes_gcm.tag-size", "16 bytes"},
				    {"zoption.mmo.log_num_qps", "3"}};
	auto encrypt = make<kova_aes_gcm_encrypt_step>();
	std::string const plain = "the tag of this text is sixteen bytes long";
	kova_buf *sealed = output(200);
	task_set const set = encrypt->create_task_set(input(plain), sealed, output(200), kova_data{.u64 = 1});
	ASSERT_EQ(run(set.task), KOVA_SUCCESS);
	EXPECT_EQ(contents(sealed).size(), plain.size() + 16);
}

TEST_F(aes_gcm_steps, each_failing_sdk_call_and_unsupported_task_gives_its_message)
{
	struct failure_case {
		bool decrypt;
		const char *function;
		bool capability;
		kova_error code;
		const char *message;
	};
	failure_case const cases[] = {
		{false, "kova_aes_gcm_create", false, KOVA_ERROR_DRIVER, "Unable to create kova_aes_gcm instance."},
		{false, "kova_pe_connect_ctx", false, KOVA_ERROR_DRIVER, "Unable to connect kova_pe to kova_ctx"},
		{false, "kova_aes_gcm_key_create", false, KOVA_ERROR_DRIVER, "Unable to kova_aes_gcm_key."},
		{false, "kova_aes_gcm_task_encrypt_set_conf", false, KOVA_ERROR_DRIVER,
		 "Failed to set encrypt tasks conf for kova_aes_gcm instance."},
		{true, "kova_aes_gcm_task_decrypt_set_conf", false, KOVA_ERROR_DRIVER,
		 "Failed to set decrypt tasks conf for kova_aes_gcm instance."},
		{true, "kova_ctx_start", false, KOVA_ERROR_DRIVER, "Failed to start kova_aes_gcm context"},
		{false, "kova_aes_gcm_cap_task_encrypt_is_supported", true, KOVA_ERROR_NOT_SUPPORTED,
		 "kova_aes::encrypt is not supported"},
		{true, "kova_aes_gcm_cap_task_decrypt_is_supported", true, KOVA_ERROR_NOT_SUPPORTED,
		 "kova_aes::decrypt is not supported"},
	};
	attributes.attribute_map = {{"kova_aes_gcm.key", key_128}};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.function);
		kova_test_reset();
		if (c.capability)
			kova_test_override_capability(c.function, KOVA_ERROR_NOT_SUPPORTED, 0);
		else
			kova_test_force_result(c.function, KOVA_ERROR_DRIVER, 1);
		auto const [code, message] = failure([&] {
			if (c.decrypt)
				make<kova_aes_gcm_decrypt_step>();
			else
				make<kova_aes_gcm_encrypt_step>();
		});
		EXPECT_EQ(code, c.code);
		EXPECT_EQ(message, c.message);
	}
}

TEST_F(aes_gcm_steps, encrypt_with_the_defaults_as_the_published_vector_says)
{
	// Key 0^128, IV 0^96 (the default), plain text 0^128: GCM test case 2; the default tag is 12 bytes.
	attributes.attribute_map = {{"kova_aes_gcm.key", std::string(32, '0')}};
	auto step = make<kova_aes_gcm_encrypt_step>();
	EXPECT_STREQ(step->get_name(), "kova_aes_gcm::encrypt");
	kova_buf *out = output(64);
	task_set const set = step->create_task_set(input(std::string(16, '\0')), out, output(64), kova_data{.u64 = 1});
	ASSERT_EQ(run(set.task), KOVA_SUCCESS);
	EXPECT_EQ(to_hex(contents(out)), "0388dace60b6a392f328c2b971b2fe78" "ab6e47d42cec13bdf53a67b2");
	step->destroy_all_tasks();
}

TEST_F(aes_gcm_steps, a_key_file_of_64_digits_gives_a_256_bit_key_and_an_8_byte_iv_is_used_as_such)
{
	// GCM test case 5 with the key doubled into 256 bits is checked by decryption with an inline key.
	std::string const key_256 = key_128 + key_128;
	attributes.attribute_map = {{"kova_aes_gcm.key-file", key_file("256", "  " + key_256 + "\n")},
				    {"kova_aes_gcm.initialization-vector", "cafebabefacedbad"},
				    {"kova_aes_gcm.tag-size", "16"},
				    {"kova_aes_gcm.aad-size", "20"}};
	kova_test_trace_enable(1);
	auto encrypt = make<kova_aes_gcm_encrypt_step>();
	EXPECT_THAT(trace(), HasSubstr("kova_aes_gcm_key_create(2)"));

	std::string const aad = from_hex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
	std::string const plain = "sixty bytes of plain text, give or take a few of them, yes.";
	kova_buf *sealed = output(200);
	kova_buf *opened = output(200);
	task_set const first = encrypt->create_task_set(input(aad + plain), sealed, opened, kova_data{.u64 = 1});
	ASSERT_EQ(run(first.task), KOVA_SUCCESS);
	ASSERT_EQ(contents(sealed).size(), aad.size() + plain.size() + 16);

	attributes.attribute_map.erase("kova_aes_gcm.key-file");
	attributes.attribute_map["kova_aes_gcm.key"] = key_256;
	auto decrypt = make<kova_aes_gcm_decrypt_step>();
	task_set const second =
		decrypt->create_task_set(first.next_input, first.next_output, first.next_spare, kova_data{.u64 = 2});
	ASSERT_EQ(run(second.task), KOVA_SUCCESS);
	EXPECT_EQ(contents(opened), aad + plain);

	// Under another key the message does not authenticate.
	attributes.attribute_map["kova_aes_gcm.key"] = key_128 + key_128.substr(0, 30) + "09";
	auto other_key = make<kova_aes_gcm_decrypt_step>();
	ASSERT_EQ(kova_buf_reset_data_len(opened), KOVA_SUCCESS);
	EXPECT_EQ(run(other_key->create_task_set(sealed, opened, output(8), kova_data{.u64 = 3}).task),
		  KOVA_ERROR_INVALID_VALUE);
	encrypt->destroy_all_tasks();
	decrypt->destroy_all_tasks();
	other_key->destroy_all_tasks();
}

TEST_F(aes_gcm_steps, a_tampered_tag_fails_the_decryption)
{
	attributes.attribute_map = {{"kova_aes_gcm.key", key_128}, {"kova_aes_gcm.aad-size", "4"}};
	auto encrypt = make<kova_aes_gcm_encrypt_step>();
	auto decrypt = make<kova_aes_gcm_decrypt_step>();
	kova_buf *sealed = output(64);
	ASSERT_EQ(run(encrypt->create_task_set(input("head and body"), sealed, output(8), kova_data{.u64 = 1}).task),
		  KOVA_SUCCESS);
	std::string tampered = contents(sealed);
	tampered.back() = static_cast<char>(tampered.back() ^ 0x80);
	kova_buf *opened = output(64);
	EXPECT_EQ(run(decrypt->create_task_set(input(tampered), opened, output(8), kova_data{.u64 = 2}).task),
		  KOVA_ERROR_INVALID_VALUE);
	EXPECT_FALSE(completions.back().success);
	EXPECT_EQ(contents(opened), "");
	encrypt->destroy_all_tasks();
	decrypt->destroy_all_tasks();
}

TEST_F(aes_gcm_steps, an_empty_iv_is_refused_when_the_tasks_are_made)
{
	attributes.attribute_map = {{"kova_aes_gcm.key", key_128}, {"kova_aes_gcm.initialization-vector", ""}};
	auto step = make<kova_aes_gcm_encrypt_step>();
	kova_buf *out = output(64);
	EXPECT_EQ(failure([&] { step->create_task_set(input("x"), out, out, kova_data{.u64 = 1}); }),
		  std::make_pair(kova_error{KOVA_ERROR_INVALID_VALUE},
				 std::string{"Unable to create kova_aes_gcm_task_encrypt task"}));
	EXPECT_EQ(failure([&] { step->create_task_set(input("x"), out, out, kova_data{.u64 = 0}); }),
		  std::make_pair(kova_error{KOVA_ERROR_INVALID_VALUE}, std::string{"Invalid (empty) task user data"}));
}

TEST_F(aes_gcm_steps, report_the_maximum_buffer_size_as_ranges)
{
	attributes.attribute_map = {{"kova_aes_gcm.key", key_128}};
	auto decrypt = make<kova_aes_gcm_decrypt_step>();
	io_buffer_ranges const ranges = decrypt->get_io_buffer_ranges();
	EXPECT_EQ(ranges.input, std::make_pair(1U, 2097152U));
	EXPECT_EQ(ranges.output, std::make_pair(1U, 2097152U));
	kova_test_override_capability("kova_aes_gcm_cap_task_decrypt_get_max_buf_size", KOVA_ERROR_DRIVER, 0);
	::testing::internal::CaptureStdout();
	EXPECT_EQ(decrypt->get_io_buffer_ranges().input, std::make_pair(0U, 0U));
	EXPECT_EQ(::testing::internal::GetCapturedStdout(),
		  "[kova_aes_gcm_decrypt_step::get_io_buffer_ranges] failed to query max buffer size: KOVA_ERROR_DRIVER\n");
}

} // namespace
} // namespace kova::bench::step::test
