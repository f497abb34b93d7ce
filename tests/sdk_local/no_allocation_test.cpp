// Submission and execution of the local-offload libraries' tasks allocate no memory: every task kind
// runs on state its library made when the context started.
#include "allocation_counter.hpp"
#include "local_fixture.hpp"

#include <kova/aes_gcm.h>
#include <kova/compress.h>
#include <kova/erasure_coding.h>
#include <kova/sha.h>

namespace kova::sdk_local_test {
namespace {

class no_allocation : public local_fixture {
protected:
	// Runs the task with allocations counted (from its submission to its completion) and
	// returns its status; the count goes to *allocations.
	kova_error counted_run(kova_task *task, uint64_t *allocations)
	{
		count_allocations(true);
		kova_error const status = kova_task_submit(task);
		for (int i = 0; i < 10 && status == KOVA_SUCCESS; ++i)
			kova_pe_progress(pe);
		count_allocations(false);
		*allocations = allocations_counted();
		EXPECT_EQ(status, KOVA_SUCCESS);
		EXPECT_EQ(completions.size(), 1u);
		kova_error const result = completions.size() == 1 ? completions[0].status : kova_error{KOVA_ERROR_UNKNOWN};
		completions.clear();
		return result;
	}
};

TEST_F(no_allocation, the_counter_sees_the_libraries_allocations)
{
	// Making a library instance allocates inside the library: a counter that missed it would
	// make every zero below meaningless.
	kova_sha *lib = nullptr;
	count_allocations(true);
	ASSERT_EQ(kova_sha_create(dev, &lib), KOVA_SUCCESS);
	count_allocations(false);
	EXPECT_GT(allocations_counted(), 0u);
	EXPECT_EQ(kova_sha_destroy(lib), KOVA_SUCCESS);
}

TEST_F(no_allocation, deflate_and_lz4_stream_tasks)
{
	kova_compress *lib = nullptr;
	ASSERT_EQ(kova_compress_create(dev, &lib), KOVA_SUCCESS);
	kova_ctx *ctx = kova_compress_as_ctx(lib);
	ASSERT_EQ(kova_compress_task_compress_deflate_set_conf(lib, on_success, on_error, 2), KOVA_SUCCESS);
	ASSERT_EQ(kova_compress_task_decompress_deflate_set_conf(lib, on_success, on_error, 2), KOVA_SUCCESS);
	ASSERT_EQ(kova_compress_task_decompress_lz4_stream_set_conf(lib, on_success, on_error, 2), KOVA_SUCCESS);
	connect_and_start(ctx);

	bytes const data = text_bytes(100000);
	kova_buf *compressed = output(200000);
	kova_compress_task_compress_deflate *compress = nullptr;
	ASSERT_EQ(kova_compress_task_compress_deflate_alloc_init(lib, input_list(data, {1000}), compressed,
								 kova_data{.u64 = 1}, &compress),
		  KOVA_SUCCESS);
	uint64_t allocations = 0;
	EXPECT_EQ(counted_run(kova_compress_task_compress_deflate_as_task(compress), &allocations), KOVA_SUCCESS);
	EXPECT_EQ(allocations, 0u) << "compress";

	kova_compress_task_decompress_deflate *decompress = nullptr;
	ASSERT_EQ(kova_compress_task_decompress_deflate_alloc_init(lib, compressed, output_list({5000, 100000}),
								   kova_data{.u64 = 2}, &decompress),
		  KOVA_SUCCESS);
	EXPECT_EQ(counted_run(kova_compress_task_decompress_deflate_as_task(decompress), &allocations), KOVA_SUCCESS);
	EXPECT_EQ(allocations, 0u) << "decompress";

	bytes const stored = concat({4, 0, 0, 0x80}, {'a', 'b', 'c', 'd'});
	kova_compress_task_decompress_lz4_stream *lz4 = nullptr;
	ASSERT_EQ(kova_compress_task_decompress_lz4_stream_alloc_init(lib, 0, 0, input(stored), output(10),
								      kova_data{.u64 = 3}, &lz4),
		  KOVA_SUCCESS);
	EXPECT_EQ(counted_run(kova_compress_task_decompress_lz4_stream_as_task(lz4), &allocations), KOVA_SUCCESS);
	EXPECT_EQ(allocations, 0u) << "lz4 stream";

	for (kova_task *task : {kova_compress_task_compress_deflate_as_task(compress),
				kova_compress_task_decompress_deflate_as_task(decompress),
				kova_compress_task_decompress_lz4_stream_as_task(lz4)})
		EXPECT_EQ(kova_task_free(task), KOVA_SUCCESS);
	stop(ctx);
	EXPECT_EQ(kova_compress_destroy(lib), KOVA_SUCCESS);
}

TEST_F(no_allocation, aes_gcm_tasks)
{
	kova_aes_gcm *lib = nullptr;
	ASSERT_EQ(kova_aes_gcm_create(dev, &lib), KOVA_SUCCESS);
	kova_ctx *ctx = kova_aes_gcm_as_ctx(lib);
	ASSERT_EQ(kova_aes_gcm_task_encrypt_set_conf(lib, on_success, on_error, 2), KOVA_SUCCESS);
	ASSERT_EQ(kova_aes_gcm_task_decrypt_set_conf(lib, on_success, on_error, 2), KOVA_SUCCESS);
	connect_and_start(ctx);
	kova_aes_gcm_key *key = nullptr;
	ASSERT_EQ(kova_aes_gcm_key_create(lib, random_bytes(32).data(), KOVA_AES_GCM_KEY_256, &key), KOVA_SUCCESS);

	bytes const iv = random_bytes(8);
	kova_buf *sealed = output_list({100, 10000});
	kova_aes_gcm_task_encrypt *encrypt = nullptr;
	ASSERT_EQ(kova_aes_gcm_task_encrypt_alloc_init(lib, input(random_bytes(5000)), sealed, key, iv.data(), 8, 16, 16,
						       kova_data{.u64 = 1}, &encrypt),
		  KOVA_SUCCESS);
	uint64_t allocations = 0;
	EXPECT_EQ(counted_run(kova_aes_gcm_task_encrypt_as_task(encrypt), &allocations), KOVA_SUCCESS);
	EXPECT_EQ(allocations, 0u) << "encrypt";

	kova_aes_gcm_task_decrypt *decrypt = nullptr;
	ASSERT_EQ(kova_aes_gcm_task_decrypt_alloc_init(lib, sealed, output(5000), key, iv.data(), 8, 16, 16,
						       kova_data{.u64 = 2}, &decrypt),
		  KOVA_SUCCESS);
	EXPECT_EQ(counted_run(kova_aes_gcm_task_decrypt_as_task(decrypt), &allocations), KOVA_SUCCESS);
	EXPECT_EQ(allocations, 0u) << "decrypt";

	EXPECT_EQ(kova_task_free(kova_aes_gcm_task_encrypt_as_task(encrypt)), KOVA_SUCCESS);
	EXPECT_EQ(kova_task_free(kova_aes_gcm_task_decrypt_as_task(decrypt)), KOVA_SUCCESS);
	stop(ctx);
	EXPECT_EQ(kova_aes_gcm_key_destroy(key), KOVA_SUCCESS);
	EXPECT_EQ(kova_aes_gcm_destroy(lib), KOVA_SUCCESS);
}

TEST_F(no_allocation, sha_hash_tasks)
{
	kova_sha *lib = nullptr;
	ASSERT_EQ(kova_sha_create(dev, &lib), KOVA_SUCCESS);
	kova_ctx *ctx = kova_sha_as_ctx(lib);
	ASSERT_EQ(kova_sha_task_hash_set_conf(lib, on_success, on_error, 4), KOVA_SUCCESS);
	connect_and_start(ctx);
	std::vector<kova_task *> tasks;
	for (uint32_t algorithm : {KOVA_SHA_ALGORITHM_SHA1, KOVA_SHA_ALGORITHM_SHA256, KOVA_SHA_ALGORITHM_SHA512}) {
		SCOPED_TRACE(algorithm);
		kova_sha_task_hash *task = nullptr;
		ASSERT_EQ(kova_sha_task_hash_alloc_init(lib, algorithm, input_list(random_bytes(3000), {100}), output(64),
							kova_data{.u64 = 1}, &task),
			  KOVA_SUCCESS);
		tasks.push_back(kova_sha_task_hash_as_task(task));
		uint64_t allocations = 0;
		EXPECT_EQ(counted_run(tasks.back(), &allocations), KOVA_SUCCESS);
		EXPECT_EQ(allocations, 0u);
	}
	for (kova_task *task : tasks)
		EXPECT_EQ(kova_task_free(task), KOVA_SUCCESS);
	stop(ctx);
	EXPECT_EQ(kova_sha_destroy(lib), KOVA_SUCCESS);
}

TEST_F(no_allocation, erasure_coding_tasks)
{
	kova_ec *lib = nullptr;
	ASSERT_EQ(kova_ec_create(dev, &lib), KOVA_SUCCESS);
	kova_ctx *ctx = kova_ec_as_ctx(lib);
	ASSERT_EQ(kova_ec_task_create_set_conf(lib, on_success, on_error, 4), KOVA_SUCCESS);
	ASSERT_EQ(kova_ec_task_update_set_conf(lib, on_success, on_error, 4), KOVA_SUCCESS);
	ASSERT_EQ(kova_ec_task_recover_set_conf(lib, on_success, on_error, 4), KOVA_SUCCESS);
	connect_and_start(ctx);
	std::vector<kova_task *> tasks;
	std::vector<kova_ec_matrix *> matrices;
	for (uint32_t k : {8u, 1024u}) {
		SCOPED_TRACE(k);
		kova_ec_matrix *matrix = nullptr;
		ASSERT_EQ(kova_ec_matrix_create(lib, KOVA_EC_MATRIX_TYPE_CAUCHY, k, 16, &matrix), KOVA_SUCCESS);
		matrices.push_back(matrix);
		kova_buf *src = input_list(random_bytes(100001), {50000});
		kova_ec_task_create *create = nullptr;
		ASSERT_EQ(kova_ec_task_create_allocate_init(lib, matrix, src, output_list({1000, 1u << 20}),
							    kova_data{.u64 = 1}, &create),
			  KOVA_SUCCESS);
		kova_ec_task_update *update = nullptr;
		ASSERT_EQ(kova_ec_task_update_allocate_init(lib, matrix, src, output(1u << 20), kova_data{.u64 = 2}, &update),
			  KOVA_SUCCESS);
		kova_ec_task_recover *recover = nullptr;
		ASSERT_EQ(kova_ec_task_recover_allocate_init(lib, matrix, src, output(1u << 20), kova_data{.u64 = 3},
							     &recover),
			  KOVA_SUCCESS);
		for (kova_task *task : {kova_ec_task_create_as_task(create), kova_ec_task_update_as_task(update),
					kova_ec_task_recover_as_task(recover)}) {
			tasks.push_back(task);
			uint64_t allocations = 0;
			EXPECT_EQ(counted_run(task, &allocations), KOVA_SUCCESS);
			EXPECT_EQ(allocations, 0u);
		}
	}
	for (kova_task *task : tasks)
		EXPECT_EQ(kova_task_free(task), KOVA_SUCCESS);
	stop(ctx);
	for (kova_ec_matrix *matrix : matrices)
		EXPECT_EQ(kova_ec_matrix_destroy(matrix), KOVA_SUCCESS);
	EXPECT_EQ(kova_ec_destroy(lib), KOVA_SUCCESS);
}

} // namespace
} // namespace kova::sdk_local_test
