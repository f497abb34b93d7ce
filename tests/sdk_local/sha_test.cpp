// Tests of the SHA library (libkova_sha.so.2) through its public API: known digests, buffer lists,
// capabilities and error statuses.
#include "local_fixture.hpp"

#include <kova/sha.h>

namespace kova::sdk_local_test {
namespace {

class sha_library : public local_fixture {
protected:
	void SetUp() override
	{
		local_fixture::SetUp();
		ASSERT_EQ(kova_sha_create(dev, &lib), KOVA_SUCCESS);
		ctx = kova_sha_as_ctx(lib);
	}

	void TearDown() override
	{
		if (lib != nullptr) {
			for (kova_task *task : tasks)
				EXPECT_EQ(kova_task_free(task), KOVA_SUCCESS);
			stop(ctx);
			EXPECT_EQ(kova_sha_destroy(lib), KOVA_SUCCESS);
		}
		local_fixture::TearDown();
	}

	void start()
	{
		ASSERT_EQ(kova_sha_task_hash_set_conf(lib, on_success, on_error, 16), KOVA_SUCCESS);
		connect_and_start(ctx);
	}

	kova_sha_task_hash *hash_task(uint32_t algorithm, const kova_buf *src, kova_buf *dst)
	{
		kova_sha_task_hash *task = nullptr;
		EXPECT_EQ(kova_sha_task_hash_alloc_init(lib, algorithm, src, dst, kova_data{.u64 = 9}, &task), KOVA_SUCCESS);
		tasks.push_back(kova_sha_task_hash_as_task(task));
		return task;
	}

	kova_error run_hash(uint32_t algorithm, const kova_buf *src, kova_buf *dst)
	{
		return run(kova_sha_task_hash_as_task(hash_task(algorithm, src, dst)));
	}

	kova_sha *lib = nullptr;
	kova_ctx *ctx = nullptr;
	std::vector<kova_task *> tasks;
};

struct digest_case {
	uint32_t algorithm;
	const char *abc;   // digest of "abc"
	const char *empty; // digest of ""
};

const digest_case digest_cases[] = {
	{KOVA_SHA_ALGORITHM_SHA1, "a9993e364706816aba3e25717850c26c9cd0d89d", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
	{KOVA_SHA_ALGORITHM_SHA256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
	 "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
	{KOVA_SHA_ALGORITHM_SHA512,
	 "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643c"
	 "e80e2a9ac94fa54ca49f",
	 "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a"
	 "81a538327af927da3e"},
};

TEST_F(sha_library, computes_the_known_digests_of_abc_and_of_nothing)
{
	start();
	for (const auto &c : digest_cases) {
		SCOPED_TRACE(c.algorithm);
		kova_buf *dst = output(64);
		ASSERT_EQ(run_hash(c.algorithm, input({'a', 'b', 'c'}), dst), KOVA_SUCCESS);
		EXPECT_EQ(to_hex(contents(dst)), c.abc);
		kova_buf *empty_dst = output(64);
		ASSERT_EQ(run_hash(c.algorithm, input({}), empty_dst), KOVA_SUCCESS);
		EXPECT_EQ(to_hex(contents(empty_dst)), c.empty);
	}
}

TEST_F(sha_library, hashes_a_source_list_and_appends_the_digest_across_destination_elements)
{
	start();
	// SHA-256 of "abc" with its source in three elements, written after 2 bytes already in the
	// destination and spread over two more elements.
	kova_buf *dst = input({0xaa, 0xbb}, 10);
	kova_buf *more = output_list({5, 30});
	ASSERT_EQ(kova_buf_chain_list(dst, more), KOVA_SUCCESS);
	heads.pop_back();
	ASSERT_EQ(run_hash(KOVA_SHA_ALGORITHM_SHA256, input_list({'a', 'b', 'c'}, {1, 1}), dst), KOVA_SUCCESS);
	EXPECT_EQ(to_hex(contents(dst)), std::string{"aabb"} + digest_cases[1].abc);
}

TEST_F(sha_library, a_destination_without_room_for_the_digest_fails_with_7_and_stays_empty)
{
	start();
	for (const auto &c : digest_cases) {
		SCOPED_TRACE(c.algorithm);
		uint32_t min = 0;
		ASSERT_EQ(kova_sha_cap_get_min_dst_buf_size(devinfo, c.algorithm, &min), KOVA_SUCCESS);
		EXPECT_EQ(min * 2, std::string{c.abc}.size());
		kova_buf *dst = output_list({min / 2, min - min / 2 - 1});
		EXPECT_EQ(run_hash(c.algorithm, input({'a'}), dst), KOVA_ERROR_NO_MEMORY);
		EXPECT_TRUE(contents(dst).empty());
	}
}

TEST_F(sha_library, capabilities_offer_the_hash_of_every_algorithm_and_no_partial_hash)
{
	for (const auto &c : digest_cases) {
		SCOPED_TRACE(c.algorithm);
		EXPECT_EQ(kova_sha_cap_task_hash_get_supported(devinfo, c.algorithm), KOVA_SUCCESS);
		EXPECT_EQ(kova_sha_cap_task_partial_hash_get_supported(devinfo, c.algorithm), KOVA_ERROR_NOT_SUPPORTED);
	}
	EXPECT_EQ(kova_sha_cap_task_hash_get_supported(devinfo, 3), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_sha_cap_task_hash_get_supported(nullptr, 1), KOVA_ERROR_INVALID_VALUE);
	uint64_t max = 0;
	EXPECT_EQ(kova_sha_cap_get_max_src_buf_size(devinfo, &max), KOVA_SUCCESS);
	EXPECT_EQ(max, 2u << 20);

	// A test can take one algorithm away from the device.
	kova_test_override_capability("kova_sha_cap_task_hash_get_supported(0)", KOVA_ERROR_NOT_SUPPORTED, 0);
	EXPECT_EQ(kova_sha_cap_task_hash_get_supported(devinfo, 0), KOVA_ERROR_NOT_SUPPORTED);
	EXPECT_EQ(kova_sha_cap_task_hash_get_supported(devinfo, 1), KOVA_SUCCESS);
}

TEST_F(sha_library, refuses_unknown_algorithms_oversized_sources_and_partial_hashes)
{
	start();
	kova_sha_task_hash *task = nullptr;
	kova_buf *dst = output(64);
	EXPECT_EQ(kova_sha_task_hash_alloc_init(lib, 3, input({'a'}), dst, kova_data{.u64 = 1}, &task),
		  KOVA_ERROR_INVALID_VALUE);
	auto *big = hash_task(KOVA_SHA_ALGORITHM_SHA1, input(random_bytes((2u << 20) + 1)), dst);
	EXPECT_EQ(kova_task_submit(kova_sha_task_hash_as_task(big)), KOVA_ERROR_INVALID_VALUE);

	// An algorithm changed to an unknown value after allocation fails the task.
	auto *changed = hash_task(KOVA_SHA_ALGORITHM_SHA1, input({'a'}), dst);
	kova_sha_task_hash_set_algorithm(changed, 7);
	EXPECT_EQ(run(kova_sha_task_hash_as_task(changed)), KOVA_ERROR_INVALID_VALUE);

	kova_sha_task_partial_hash *partial = nullptr;
	EXPECT_EQ(kova_sha_task_partial_hash_alloc_init(lib, 1, input({'a'}), dst, kova_data{.u64 = 1}, &partial),
		  KOVA_ERROR_NOT_SUPPORTED);
}

} // namespace
} // namespace kova::sdk_local_test
