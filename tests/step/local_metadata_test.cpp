// Tests for the task capability records of the local offload libraries (src/step/*_metadata.cpp),
// over function tables whose capability answers each case chooses.
#include "kova_exception.hpp"
#include "step/kova_aes_gcm_metadata.hpp"
#include "step/kova_compress_metadata.hpp"
#include "step/kova_ec_metadata.hpp"
#include "step/kova_sha_metadata.hpp"

#include <kova/error.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

namespace kova::bench::step::test {
namespace {

// The answer of every capability query, by query and argument ("is_tag_96", "key_type 2", ...);
// an absent query answers "not supported".
std::map<std::string, kova_error> g_answers;
uint64_t g_max_size = 0;

kova_error answer(const std::string &query)
{
	auto const found = g_answers.find(query);
	return found == g_answers.end() ? kova_error{KOVA_ERROR_NOT_SUPPORTED} : found->second;
}

kova_error max_size(const std::string &query, uint64_t *value)
{
	kova_error const result = g_answers.count(query) != 0 ? g_answers.at(query) : kova_error{KOVA_SUCCESS};
	if (result == KOVA_SUCCESS)
		*value = g_max_size;
	return result;
}

class local_metadata : public ::testing::Test {
protected:
	void SetUp() override
	{
		g_answers.clear();
		g_max_size = 65536;
	}

	// The code and message of what the call throws.
	static std::pair<kova_error, std::string> failure(const std::function<void()> &call)
	{
		try {
			call();
		} catch (const kova::exception &error) {
			return {error.code(), error.what()};
		}
		return {KOVA_SUCCESS, "no exception"};
	}

	const kova_devinfo *devinfo = nullptr;
};

dl::kova_aes_gcm_api aes_gcm_table()
{
	dl::kova_aes_gcm_api table{};
	table.kova_aes_gcm_cap_task_encrypt_is_supported = [](const kova_devinfo *) { return answer("supported"); };
	table.kova_aes_gcm_cap_task_encrypt_get_max_buf_size = [](const kova_devinfo *, uint64_t *max) {
		return max_size("max", max);
	};
	table.kova_aes_gcm_cap_task_encrypt_is_tag_96_supported = [](const kova_devinfo *) { return answer("tag 96"); };
	table.kova_aes_gcm_cap_task_encrypt_is_tag_128_supported = [](const kova_devinfo *) { return answer("tag 128"); };
	table.kova_aes_gcm_cap_task_encrypt_is_key_type_supported = [](const kova_devinfo *, uint32_t type) {
		return answer("key type " + std::to_string(type));
	};
	table.kova_aes_gcm_cap_task_decrypt_is_supported = table.kova_aes_gcm_cap_task_encrypt_is_supported;
	table.kova_aes_gcm_cap_task_decrypt_get_max_buf_size = table.kova_aes_gcm_cap_task_encrypt_get_max_buf_size;
	table.kova_aes_gcm_cap_task_decrypt_is_tag_96_supported = table.kova_aes_gcm_cap_task_encrypt_is_tag_96_supported;
	table.kova_aes_gcm_cap_task_decrypt_is_tag_128_supported = table.kova_aes_gcm_cap_task_encrypt_is_tag_128_supported;
	table.kova_aes_gcm_cap_task_decrypt_is_key_type_supported =
		table.kova_aes_gcm_cap_task_encrypt_is_key_type_supported;
	return table;
}

TEST_F(local_metadata, aes_gcm_lists_the_tag_and_key_sizes_the_device_supports)
{
	struct aes_case {
		std::map<std::string, kova_error> answers;
		const char *tag_sizes;
		const char *key_sizes;
	};
	aes_case const cases[] = {
		{{{"supported", 0}, {"tag 96", 0}, {"tag 128", 0}, {"key type 1", 0}, {"key type 2", 0}}, "[96, 128]",
		 "[128, 256]"},
		{{{"supported", 0}, {"tag 128", 0}, {"key type 1", 0}, {"key type 2", 0}}, "[128]", "[128, 256]"},
		{{{"supported", 0}, {"tag 96", 0}, {"key type 2", 0}}, "[96]", "[256]"},
		{{{"supported", 0}}, "[]", "[]"},
	};
	auto const table = aes_gcm_table();
	for (auto const &c : cases) {
		SCOPED_TRACE(std::string{c.tag_sizes} + " " + c.key_sizes);
		g_answers = c.answers;
		for (auto const &task : {get_kova_aes_gcm_encrypt_metadata(&table, devinfo),
					 get_kova_aes_gcm_decrypt_metadata(&table, devinfo)}) {
			EXPECT_TRUE(task.supported);
			EXPECT_EQ(task.max_buffer_length, 65536U);
			EXPECT_EQ(task.properties,
				  (std::map<std::string, std::string>{{"Key sizes", c.key_sizes}, {"Tag sizes", c.tag_sizes}}));
		}
	}
}

TEST_F(local_metadata, an_unsupported_task_has_an_empty_record)
{
	auto const aes_gcm = aes_gcm_table();
	g_answers = {{"tag 96", 0}, {"key type 1", 0}};
	auto const task = get_kova_aes_gcm_encrypt_metadata(&aes_gcm, devinfo);
	EXPECT_FALSE(task.supported);
	EXPECT_EQ(task.max_buffer_length, 0U);
	EXPECT_TRUE(task.properties.empty());
}

TEST_F(local_metadata, a_failing_aes_gcm_query_names_what_was_asked)
{
	struct failure_case {
		std::map<std::string, kova_error> answers;
		const char *message;
	};
	failure_case const cases[] = {
		{{{"supported", KOVA_ERROR_DRIVER}}, "Failed to query kova_aes_gcm encrypt supported"},
		{{{"supported", 0}, {"max", KOVA_ERROR_DRIVER}}, "Failed to get kova_aes_gcm max buffer size."},
		{{{"supported", 0}, {"tag 128", KOVA_ERROR_DRIVER}}, "Failed to query kova_aes_gcm authentication tag size"},
		{{{"supported", 0}, {"key type 2", KOVA_ERROR_DRIVER}}, "Failed to query kova_aes_gcm key size"},
	};
	auto const table = aes_gcm_table();
	for (auto const &c : cases) {
		SCOPED_TRACE(c.message);
		g_answers = c.answers;
		EXPECT_EQ(failure([&] { get_kova_aes_gcm_encrypt_metadata(&table, devinfo); }),
			  std::make_pair(kova_error{KOVA_ERROR_DRIVER}, std::string{c.message}));
	}
}

dl::kova_sha_api sha_table()
{
	dl::kova_sha_api table{};
	table.kova_sha_cap_task_hash_get_supported = [](const kova_devinfo *, uint32_t algorithm) {
		return answer("algorithm " + std::to_string(algorithm));
	};
	table.kova_sha_cap_get_max_src_buf_size = [](const kova_devinfo *, uint64_t *max) { return max_size("max", max); };
	return table;
}

TEST_F(local_metadata, sha_lists_the_algorithms_the_device_supports)
{
	struct sha_case {
		std::map<std::string, kova_error> answers;
		bool supported;
		const char *algorithms;
	};
	sha_case const cases[] = {
		{{{"algorithm 0", 0}, {"algorithm 1", 0}, {"algorithm 2", 0}}, true, "[sha1, sha256, sha512]"},
		{{{"algorithm 1", 0}}, true, "[sha256]"},
		{{{"algorithm 0", 0}, {"algorithm 2", 0}}, true, "[sha1, sha512]"},
		// Without an algorithm the maximum is not asked.
		{{{"max", KOVA_ERROR_DRIVER}}, false, nullptr},
	};
	auto const table = sha_table();
	for (auto const &c : cases) {
		SCOPED_TRACE(c.algorithms != nullptr ? c.algorithms : "none");
		g_answers = c.answers;
		auto const task = get_kova_sha_hash_metadata(&table, devinfo);
		EXPECT_EQ(task.supported, c.supported);
		if (c.supported) {
			EXPECT_EQ(task.max_buffer_length, 65536U);
			EXPECT_EQ(task.properties, (std::map<std::string, std::string>{{"Algorithms", c.algorithms}}));
		} else {
			EXPECT_EQ(task.max_buffer_length, 0U);
			EXPECT_TRUE(task.properties.empty());
		}
		EXPECT_EQ(supports_sha1_hash_task(&table, devinfo), c.answers.count("algorithm 0") != 0);
		EXPECT_EQ(supports_sha256_hash_task(&table, devinfo), c.answers.count("algorithm 1") != 0);
		EXPECT_EQ(supports_sha512_hash_task(&table, devinfo), c.answers.count("algorithm 2") != 0);
	}

	g_answers = {{"algorithm 0", 0}, {"algorithm 2", KOVA_ERROR_DRIVER}};
	EXPECT_EQ(failure([&] { get_kova_sha_hash_metadata(&table, devinfo); }),
		  std::make_pair(kova_error{KOVA_ERROR_DRIVER}, std::string{"Failed to query kova_sha hash SHA512 supported"}));
	g_answers = {{"algorithm 0", 0}, {"max", KOVA_ERROR_DRIVER}};
	EXPECT_EQ(failure([&] { get_kova_sha_hash_metadata(&table, devinfo); }),
		  std::make_pair(kova_error{KOVA_ERROR_DRIVER}, std::string{"Failed to get kova_sha max buffer size."}));
}

TEST_F(local_metadata, erasure_coding_tasks_take_two_mebibytes_and_report_the_block_size)
{
	dl::kova_erasure_coding_api table{};
	table.kova_ec_cap_task_create_is_supported = [](const kova_devinfo *) { return answer("create"); };
	table.kova_ec_cap_task_recover_is_supported = [](const kova_devinfo *) { return answer("recover"); };
	table.kova_ec_cap_task_update_is_supported = [](const kova_devinfo *) { return answer("update"); };
	table.kova_ec_cap_get_max_block_size = [](const kova_devinfo *, uint64_t *max) { return max_size("block", max); };

	using metadata_function = task_capabilities (*)(const dl::kova_erasure_coding_api *, const kova_devinfo *);
	struct ec_case {
		const char *task;
		metadata_function get;
	};
	for (auto const &c : {ec_case{"create", get_kova_ec_create_metadata}, ec_case{"recover", get_kova_ec_recover_metadata},
			      ec_case{"update", get_kova_ec_update_metadata}}) {
		SCOPED_TRACE(c.task);
		g_answers = {};
		EXPECT_FALSE(c.get(&table, devinfo).supported);

		g_answers = {{c.task, 0}};
		g_max_size = 4096;
		auto const task = c.get(&table, devinfo);
		EXPECT_TRUE(task.supported);
		EXPECT_EQ(task.max_buffer_length, 2097152U);
		EXPECT_EQ(task.properties, (std::map<std::string, std::string>{{"Max block size", "4096"}}));

		g_answers = {{c.task, 0}, {"block", KOVA_ERROR_DRIVER}};
		EXPECT_EQ(failure([&] { c.get(&table, devinfo); }),
			  std::make_pair(kova_error{KOVA_ERROR_DRIVER},
					 "Failed to get kova_ec " + std::string{c.task} + " max block size"));
		g_answers = {{c.task, KOVA_ERROR_DRIVER}};
		EXPECT_EQ(failure([&] { c.get(&table, devinfo); }),
			  std::make_pair(kova_error{KOVA_ERROR_DRIVER},
					 "Failed to query kova_ec " + std::string{c.task} + " supported"));
	}
}

TEST_F(local_metadata, compression_of_lz4_streams_is_never_supported)
{
	dl::kova_compress_api table{};
	table.kova_compress_cap_task_compress_deflate_is_supported = [](const kova_devinfo *) { return answer("c"); };
	table.kova_compress_cap_task_compress_deflate_get_max_buf_size = [](const kova_devinfo *, uint64_t *max) {
		return max_size("c max", max);
	};
	table.kova_compress_cap_task_decompress_deflate_is_supported = [](const kova_devinfo *) { return answer("d"); };
	table.kova_compress_cap_task_decompress_deflate_get_max_buf_size = [](const kova_devinfo *, uint64_t *max) {
		return max_size("d max", max);
	};
	table.kova_compress_cap_task_decompress_lz4_stream_is_supported = [](const kova_devinfo *) { return answer("l"); };
	table.kova_compress_cap_task_decompress_lz4_stream_get_max_buf_size = [](const kova_devinfo *, uint64_t *max) {
		return max_size("l max", max);
	};

	g_answers = {{"c", 0}, {"d", 0}, {"l", 0}};
	EXPECT_TRUE(get_kova_compress_compress_deflate_metadata(&table, devinfo).supported);
	EXPECT_TRUE(get_kova_compress_decompress_deflate_metadata(&table, devinfo).supported);
	EXPECT_TRUE(get_kova_compress_decompress_lz4_stream_metadata(&table, devinfo).supported);
	auto const lz4_compress = get_kova_compress_compress_lz4_stream_metadata(&table, devinfo);
	EXPECT_FALSE(lz4_compress.supported);
	EXPECT_EQ(lz4_compress.max_buffer_length, 0U);

	struct failure_case {
		std::map<std::string, kova_error> answers;
		std::function<void()> call;
		const char *message;
	};
	failure_case const cases[] = {
		{{{"c", KOVA_ERROR_DRIVER}},
		 [&] { get_kova_compress_compress_deflate_metadata(&table, devinfo); },
		 "Failed to query kova_compress deflate compress supported"},
		{{{"c", 0}, {"c max", KOVA_ERROR_DRIVER}},
		 [&] { get_kova_compress_compress_deflate_metadata(&table, devinfo); },
		 "Failed to get kova_compress deflate compress max buffer size."},
		{{{"d", KOVA_ERROR_DRIVER}},
		 [&] { get_kova_compress_decompress_deflate_metadata(&table, devinfo); },
		 "Failed to query kova_compress deflate decompress supported"},
		{{{"d", 0}, {"d max", KOVA_ERROR_DRIVER}},
		 [&] { get_kova_compress_decompress_deflate_metadata(&table, devinfo); },
		 "Failed to get kova_compress deflate decompress max buffer size."},
		{{{"l", KOVA_ERROR_DRIVER}},
		 [&] { get_kova_compress_decompress_lz4_stream_metadata(&table, devinfo); },
		 "Failed to query kova_compress lz4 stream decompress supported"},
		{{{"l", 0}, {"l max", KOVA_ERROR_DRIVER}},
		 [&] { get_kova_compress_decompress_lz4_stream_metadata(&table, devinfo); },
		 "Failed to get kova_compress lz4 stream decompress max buffer size."},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.message);
		g_answers = c.answers;
		EXPECT_EQ(failure(c.call), std::make_pair(kova_error{KOVA_ERROR_DRIVER}, std::string{c.message}));
	}
}

} // namespace
} // namespace kova::bench::step::test
