// Tests of the AES-GCM library (libkova_aes_gcm.so.2) through its public API: the published GCM test
// vectors, round trips, tampered messages, buffer lists, capabilities and error statuses.
#include "local_fixture.hpp"

#include <kova/aes_gcm.h>

namespace kova::sdk_local_test {
namespace {

// Test cases 4, 5 and 16 of the GCM test vectors published by McGrew and Viega.
const std::string gcm_plain = "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b5"
			      "25b16aedf5aa0de657ba637b39";
const std::string gcm_aad = "feedfacedeadbeeffeedfacedeadbeefabaddad2";
const std::string gcm_key = "feffe9928665731c6d6a8f9467308308";

struct vector_case {
	const char *name;
	std::string key;
	std::string iv;
	std::string cipher;
	std::string tag;
};

const vector_case vector_cases[] = {
	{"128-bit key, 96-bit IV", gcm_key, "cafebabefacedbaddecaf888",
	 "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d"
	 "58e091",
	 "5bc94fbc3221a5db94fae95ae7121a47"},
	{"128-bit key, 64-bit IV", gcm_key, "cafebabefacedbad",
	 "61353b4c2806934a777ff51fa22a4755699b2a714fcdc6f83766e5f97b6c742373806900e49f24b22b097544d4896b424989b5e1ebac0f07c2"
	 "3f4598",
	 "3612d2e79e3b0785561be14aaca2fccb"},
	{"256-bit key, 96-bit IV", gcm_key + gcm_key, "cafebabefacedbaddecaf888",
	 "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abc"
	 "c9f662",
	 "76fc6ece0f4e1768cddf8853bb2d551b"},
};

class aes_gcm_library : public local_fixture {
protected:
	void SetUp() override
	{
		local_fixture::SetUp();
		ASSERT_EQ(kova_aes_gcm_create(dev, &lib), KOVA_SUCCESS);
		ctx = kova_aes_gcm_as_ctx(lib);
	}

	void TearDown() override
	{
		if (lib != nullptr) {
			for (kova_task *task : tasks)
				EXPECT_EQ(kova_task_free(task), KOVA_SUCCESS);
			stop(ctx);
			for (kova_aes_gcm_key *key : keys)
				EXPECT_EQ(kova_aes_gcm_key_destroy(key), KOVA_SUCCESS);
			EXPECT_EQ(kova_aes_gcm_destroy(lib), KOVA_SUCCESS);
		}
		local_fixture::TearDown();
	}

	void start()
	{
		ASSERT_EQ(kova_aes_gcm_task_encrypt_set_conf(lib, on_success, on_error, 16), KOVA_SUCCESS);
		ASSERT_EQ(kova_aes_gcm_task_decrypt_set_conf(lib, on_success, on_error, 16), KOVA_SUCCESS);
		connect_and_start(ctx);
	}

	kova_aes_gcm_key *make_key(const bytes &raw)
	{
		kova_aes_gcm_key *key = nullptr;
		uint32_t const type = raw.size() == 16 ? KOVA_AES_GCM_KEY_128 : KOVA_AES_GCM_KEY_256;
		EXPECT_EQ(kova_aes_gcm_key_create(lib, raw.data(), type, &key), KOVA_SUCCESS);
		keys.push_back(key);
		return key;
	}

	struct message {
		kova_aes_gcm_key *key;
		bytes iv;
		uint32_t tag_size = 16;
		uint32_t aad_size = 0;
	};

	kova_error encrypt(const message &m, const kova_buf *src, kova_buf *dst)
	{
		kova_aes_gcm_task_encrypt *task = nullptr;
		kova_error const err = kova_aes_gcm_task_encrypt_alloc_init(lib, src, dst, m.key, m.iv.data(),
									    static_cast<uint32_t>(m.iv.size()), m.tag_size,
									    m.aad_size, kova_data{.u64 = 1}, &task);
		if (err != KOVA_SUCCESS)
			return err;
		tasks.push_back(kova_aes_gcm_task_encrypt_as_task(task));
		return run(tasks.back());
	}

	kova_error decrypt(const message &m, const kova_buf *src, kova_buf *dst)
	{
		kova_aes_gcm_task_decrypt *task = nullptr;
		kova_error const err = kova_aes_gcm_task_decrypt_alloc_init(lib, src, dst, m.key, m.iv.data(),
									    static_cast<uint32_t>(m.iv.size()), m.tag_size,
									    m.aad_size, kova_data{.u64 = 2}, &task);
		if (err != KOVA_SUCCESS)
			return err;
		tasks.push_back(kova_aes_gcm_task_decrypt_as_task(task));
		return run(tasks.back());
	}

	kova_aes_gcm *lib = nullptr;
	kova_ctx *ctx = nullptr;
	std::vector<kova_task *> tasks;
	std::vector<kova_aes_gcm_key *> keys;
};

TEST_F(aes_gcm_library, encrypts_and_decrypts_the_published_test_vectors)
{
	start();
	bytes const aad = from_hex(gcm_aad);
	bytes const plain = from_hex(gcm_plain);
	for (const auto &c : vector_cases) {
		SCOPED_TRACE(c.name);
		message const m{make_key(from_hex(c.key)), from_hex(c.iv), 16, static_cast<uint32_t>(aad.size())};
		kova_buf *sealed = output(200);
		ASSERT_EQ(encrypt(m, input(concat(aad, plain)), sealed), KOVA_SUCCESS);
		EXPECT_EQ(to_hex(contents(sealed)), gcm_aad + c.cipher + c.tag) << "AAD, cipher text, tag";

		kova_buf *opened = output(200);
		ASSERT_EQ(decrypt(m, input(contents(sealed)), opened), KOVA_SUCCESS);
		EXPECT_EQ(contents(opened), concat(aad, plain)) << "AAD, plain text";
	}
}

TEST_F(aes_gcm_library, a_96_bit_tag_is_the_first_12_bytes_of_the_full_tag)
{
	start();
	const vector_case &c = vector_cases[0];
	bytes const aad = from_hex(gcm_aad);
	message const m{make_key(from_hex(c.key)), from_hex(c.iv), 12, static_cast<uint32_t>(aad.size())};
	kova_buf *sealed = output(200);
	ASSERT_EQ(encrypt(m, input(concat(aad, from_hex(gcm_plain))), sealed), KOVA_SUCCESS);
	EXPECT_EQ(to_hex(contents(sealed)), gcm_aad + c.cipher + c.tag.substr(0, 24));
	kova_buf *opened = output(200);
	EXPECT_EQ(decrypt(m, input(contents(sealed)), opened), KOVA_SUCCESS);
}

TEST_F(aes_gcm_library, round_trips_large_messages_through_lists_of_several_buffers)
{
	start();
	bytes const data = random_bytes(1u << 20);
	message const m{make_key(random_bytes(32, 5)), random_bytes(12, 6), 16, 100};
	kova_buf *sealed = output_list({50, 600000, 600000});
	ASSERT_EQ(encrypt(m, input_list(data, {30, 4096, 1}), sealed), KOVA_SUCCESS);
	bytes const sealed_bytes = contents(sealed);
	ASSERT_EQ(sealed_bytes.size(), data.size() + 16);
	EXPECT_TRUE(std::equal(data.begin(), data.begin() + 100, sealed_bytes.begin())) << "the AAD is copied";
	EXPECT_FALSE(std::equal(data.begin() + 100, data.begin() + 200, sealed_bytes.begin() + 100));

	kova_buf *opened = output_list({99, 2, (1u << 20) - 101});
	ASSERT_EQ(decrypt(m, input_list(sealed_bytes, {101, 1u << 19, 5}), opened), KOVA_SUCCESS);
	EXPECT_EQ(contents(opened), data);
}

TEST_F(aes_gcm_library, a_tampered_message_fails_with_6_and_releases_no_plain_text)
{
	start();
	bytes const data = text_bytes(5000);
	message const m{make_key(random_bytes(16, 8)), random_bytes(12, 9), 16, 64};
	kova_buf *sealed = output(6000);
	ASSERT_EQ(encrypt(m, input(data), sealed), KOVA_SUCCESS);
	bytes const good = contents(sealed);
	struct tamper_case {
		const char *name;
		std::size_t byte;
	};
	const tamper_case cases[] = {{"tag", good.size() - 1}, {"cipher text", 64 + 100}, {"AAD", 3}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		bytes bad = good;
		bad[c.byte] ^= 0x01;
		kova_buf *opened = output(6000);
		EXPECT_EQ(decrypt(m, input(bad), opened), KOVA_ERROR_INVALID_VALUE);
		EXPECT_TRUE(contents(opened).empty());
		std::size_t len = 0;
		void *data_at = nullptr;
		kova_buf_get_data(opened, &data_at);
		bytes const scratch(static_cast<uint8_t *>(data_at), static_cast<uint8_t *>(data_at) + 6000);
		EXPECT_EQ(scratch, bytes(6000, 0)) << "not even beyond the data";
		kova_buf_get_data_len(opened, &len);
		EXPECT_EQ(len, 0u);
	}
	message wrong_iv = m;
	wrong_iv.iv[0] ^= 1;
	EXPECT_EQ(decrypt(wrong_iv, input(good), output(6000)), KOVA_ERROR_INVALID_VALUE);
	kova_buf *opened = output(6000);
	EXPECT_EQ(decrypt(m, input(good), opened), KOVA_SUCCESS);
	EXPECT_EQ(contents(opened), data);
}

TEST_F(aes_gcm_library, refuses_invalid_task_arguments_when_allocating)
{
	start();
	kova_aes_gcm_key *key = make_key(random_bytes(16));
	kova_aes_gcm *other = nullptr;
	ASSERT_EQ(kova_aes_gcm_create(dev, &other), KOVA_SUCCESS);
	kova_aes_gcm_key *foreign = nullptr;
	ASSERT_EQ(kova_aes_gcm_key_create(other, random_bytes(16).data(), KOVA_AES_GCM_KEY_128, &foreign), KOVA_SUCCESS);
	bytes const iv(13, 1);
	struct argument_case {
		const char *name;
		kova_aes_gcm_key *key;
		uint32_t iv_length;
		uint32_t tag_size;
	};
	const argument_case cases[] = {
		{"no key", nullptr, 12, 16},    {"another instance's key", foreign, 12, 16},
		{"IV of 0 bytes", key, 0, 16},  {"IV of 13 bytes", key, 13, 16},
		{"tag of 14 bytes", key, 12, 14}, {"tag of 8 bytes", key, 12, 8},
	};
	kova_buf *src = input(random_bytes(64));
	kova_buf *dst = output(128);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		kova_aes_gcm_task_encrypt *encrypt_task = nullptr;
		EXPECT_EQ(kova_aes_gcm_task_encrypt_alloc_init(lib, src, dst, c.key, iv.data(), c.iv_length, c.tag_size, 0,
							       kova_data{.u64 = 1}, &encrypt_task),
			  KOVA_ERROR_INVALID_VALUE);
		kova_aes_gcm_task_decrypt *decrypt_task = nullptr;
		EXPECT_EQ(kova_aes_gcm_task_decrypt_alloc_init(lib, src, dst, c.key, iv.data(), c.iv_length, c.tag_size, 0,
							       kova_data{.u64 = 1}, &decrypt_task),
			  KOVA_ERROR_INVALID_VALUE);
	}
	EXPECT_EQ(kova_aes_gcm_destroy(other), KOVA_ERROR_BAD_STATE) << "its key still lives";
	EXPECT_EQ(kova_aes_gcm_key_destroy(foreign), KOVA_SUCCESS);
	EXPECT_EQ(kova_aes_gcm_destroy(other), KOVA_SUCCESS);

	kova_aes_gcm_key *bad = nullptr;
	EXPECT_EQ(kova_aes_gcm_key_create(lib, random_bytes(32).data(), 3, &bad), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_aes_gcm_key_create(lib, nullptr, KOVA_AES_GCM_KEY_128, &bad), KOVA_ERROR_INVALID_VALUE);
}

TEST_F(aes_gcm_library, messages_too_short_or_too_large_for_their_buffers_fail_at_completion)
{
	start();
	message const m{make_key(random_bytes(16)), random_bytes(12), 12, 32};
	EXPECT_EQ(encrypt(m, input(random_bytes(31)), output(100)), KOVA_ERROR_INVALID_VALUE) << "shorter than the AAD";
	EXPECT_EQ(decrypt(m, input(random_bytes(43)), output(100)), KOVA_ERROR_INVALID_VALUE)
		<< "shorter than AAD and tag";
	kova_buf *small = output(100 + 11);
	EXPECT_EQ(encrypt(m, input(random_bytes(100)), small), KOVA_ERROR_NO_MEMORY) << "no room for the tag";
	EXPECT_TRUE(contents(small).empty());
	kova_buf *exact = output(100 + 12);
	EXPECT_EQ(encrypt(m, input(random_bytes(100)), exact), KOVA_SUCCESS);
	kova_buf *too_small = output(100 - 1);
	EXPECT_EQ(decrypt(m, input(contents(exact)), too_small), KOVA_ERROR_NO_MEMORY);
}

TEST_F(aes_gcm_library, capabilities_offer_both_key_sizes_and_both_tag_sizes)
{
	for (auto query : {kova_aes_gcm_cap_task_encrypt_is_supported, kova_aes_gcm_cap_task_decrypt_is_supported,
			   kova_aes_gcm_cap_task_encrypt_is_tag_96_supported, kova_aes_gcm_cap_task_encrypt_is_tag_128_supported,
			   kova_aes_gcm_cap_task_decrypt_is_tag_96_supported, kova_aes_gcm_cap_task_decrypt_is_tag_128_supported})
		EXPECT_EQ(query(devinfo), KOVA_SUCCESS);
	for (auto query : {kova_aes_gcm_cap_task_encrypt_is_key_type_supported,
			   kova_aes_gcm_cap_task_decrypt_is_key_type_supported}) {
		EXPECT_EQ(query(devinfo, KOVA_AES_GCM_KEY_128), KOVA_SUCCESS);
		EXPECT_EQ(query(devinfo, KOVA_AES_GCM_KEY_256), KOVA_SUCCESS);
		EXPECT_EQ(query(devinfo, 3), KOVA_ERROR_NOT_SUPPORTED);
	}
	uint32_t iv = 0;
	EXPECT_EQ(kova_aes_gcm_cap_task_encrypt_get_max_iv_len(devinfo, &iv), KOVA_SUCCESS);
	EXPECT_EQ(iv, 12u);
	uint64_t max = 0;
	EXPECT_EQ(kova_aes_gcm_cap_task_decrypt_get_max_buf_size(devinfo, &max), KOVA_SUCCESS);
	EXPECT_EQ(max, 2u << 20);

	kova_test_override_capability("kova_aes_gcm_cap_task_encrypt_is_key_type_supported(2)", KOVA_ERROR_NOT_SUPPORTED,
				      0);
	EXPECT_EQ(kova_aes_gcm_cap_task_encrypt_is_key_type_supported(devinfo, KOVA_AES_GCM_KEY_128), KOVA_SUCCESS);
	EXPECT_EQ(kova_aes_gcm_cap_task_encrypt_is_key_type_supported(devinfo, KOVA_AES_GCM_KEY_256),
		  KOVA_ERROR_NOT_SUPPORTED);
}

} // namespace
} // namespace kova::sdk_local_test
