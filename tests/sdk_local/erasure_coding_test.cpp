// Tests of the erasure-coding library (libkova_erasure_coding.so.2) through its public API: create
// then recover restores the lost blocks and update matches a fresh create, in GF(2^8) and GF(2^16);
// buffer lists, capabilities and error statuses.
#include "local_fixture.hpp"

#include <kova/erasure_coding.h>

namespace kova::sdk_local_test {
namespace {

class erasure_coding_library : public local_fixture {
protected:
	void SetUp() override
	{
		local_fixture::SetUp();
		ASSERT_EQ(kova_ec_create(dev, &lib), KOVA_SUCCESS);
		ctx = kova_ec_as_ctx(lib);
	}

	void TearDown() override
	{
		if (lib != nullptr) {
			for (kova_task *task : tasks)
				EXPECT_EQ(kova_task_free(task), KOVA_SUCCESS);
			stop(ctx);
			for (kova_ec_matrix *matrix : matrices)
				EXPECT_EQ(kova_ec_matrix_destroy(matrix), KOVA_SUCCESS);
			EXPECT_EQ(kova_ec_destroy(lib), KOVA_SUCCESS);
		}
		local_fixture::TearDown();
	}

	void start()
	{
		ASSERT_EQ(kova_ec_task_create_set_conf(lib, on_success, on_error, 16), KOVA_SUCCESS);
		ASSERT_EQ(kova_ec_task_update_set_conf(lib, on_success, on_error, 16), KOVA_SUCCESS);
		ASSERT_EQ(kova_ec_task_recover_set_conf(lib, on_success, on_error, 16), KOVA_SUCCESS);
		connect_and_start(ctx);
	}

	kova_ec_matrix *make_matrix(uint32_t type, uint32_t k, uint32_t m)
	{
		kova_ec_matrix *matrix = nullptr;
		EXPECT_EQ(kova_ec_matrix_create(lib, type, k, m, &matrix), KOVA_SUCCESS);
		matrices.push_back(matrix);
		return matrix;
	}

	kova_error create(const kova_ec_matrix *matrix, const kova_buf *src, kova_buf *dst)
	{
		kova_ec_task_create *task = nullptr;
		kova_error const err = kova_ec_task_create_allocate_init(lib, matrix, src, dst, kova_data{.u64 = 1}, &task);
		if (err != KOVA_SUCCESS)
			return err;
		tasks.push_back(kova_ec_task_create_as_task(task));
		return run(tasks.back());
	}

	kova_error recover(const kova_ec_matrix *matrix, const kova_buf *src, kova_buf *dst)
	{
		kova_ec_task_recover *task = nullptr;
		kova_error const err = kova_ec_task_recover_allocate_init(lib, matrix, src, dst, kova_data{.u64 = 2}, &task);
		if (err != KOVA_SUCCESS)
			return err;
		tasks.push_back(kova_ec_task_recover_as_task(task));
		return run(tasks.back());
	}

	kova_error update(const kova_ec_matrix *matrix, const kova_buf *src, kova_buf *dst)
	{
		kova_ec_task_update *task = nullptr;
		kova_error const err = kova_ec_task_update_allocate_init(lib, matrix, src, dst, kova_data{.u64 = 3}, &task);
		if (err != KOVA_SUCCESS)
			return err;
		tasks.push_back(kova_ec_task_update_as_task(task));
		return run(tasks.back());
	}

	kova_ec *lib = nullptr;
	kova_ctx *ctx = nullptr;
	std::vector<kova_task *> tasks;
	std::vector<kova_ec_matrix *> matrices;
};

// Blocks first..first+count-1 of data read as blocks of `block` bytes, zero-padded past its end.
bytes blocks(const bytes &data, std::size_t first, std::size_t count, std::size_t block)
{
	bytes out(count * block, 0);
	for (std::size_t i = 0; i < out.size(); ++i) {
		std::size_t const at = first * block + i;
		if (at < data.size())
			out[i] = data[at];
	}
	return out;
}

struct code_case {
	const char *name;
	uint32_t type;
	uint32_t k;
	uint32_t m;
	std::size_t len;
};

TEST_F(erasure_coding_library, create_then_recover_restores_the_lost_blocks_and_update_matches_a_fresh_create)
{
	start();
	const code_case cases[] = {
		{"cauchy 8+2", KOVA_EC_MATRIX_TYPE_CAUCHY, 8, 2, 8 * 1000 + 3},
		{"vandermonde 8+2", KOVA_EC_MATRIX_TYPE_VANDERMONDE, 8, 2, 64 * 1024},
		{"cauchy 4+6, every data block lost", KOVA_EC_MATRIX_TYPE_CAUCHY, 4, 6, 4001},
		{"cauchy 200+56, the largest GF(2^8) code", KOVA_EC_MATRIX_TYPE_CAUCHY, 200, 56, 200 * 512},
		{"cauchy 1024+16, the default, at 2 MiB", KOVA_EC_MATRIX_TYPE_CAUCHY, 1024, 16, 2u << 20},
		{"vandermonde 1024+16", KOVA_EC_MATRIX_TYPE_VANDERMONDE, 1024, 16, 100001},
		{"cauchy 250+10 with a short source", KOVA_EC_MATRIX_TYPE_CAUCHY, 250, 10, 777},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		kova_ec_matrix *matrix = make_matrix(c.type, c.k, c.m);
		bool const wide = c.k + c.m > 256;
		std::size_t block = (c.len + c.k - 1) / c.k;
		if (wide)
			block = (block + 1) / 2 * 2;
		bytes const data = random_bytes(c.len, c.k);

		kova_buf *redundancy = output(c.m * block + 100);
		ASSERT_EQ(create(matrix, input(data), redundancy), KOVA_SUCCESS);
		bytes const r = contents(redundancy);
		ASSERT_EQ(r.size(), c.m * block);
		EXPECT_NE(r, bytes(r.size(), 0));

		// The first e data blocks are lost; the others and e redundancy blocks remain.
		uint32_t const e = std::min(c.m, c.k);
		bytes const available = concat(blocks(data, e, c.k - e, block), bytes(r.begin(), r.begin() + e * block));
		kova_buf *recovered = output(e * block);
		ASSERT_EQ(recover(matrix, input(available), recovered), KOVA_SUCCESS);
		EXPECT_EQ(contents(recovered), blocks(data, 0, e, block));

		bytes const new_first = random_bytes(block, 99);
		kova_buf *updated = output(c.m * block);
		ASSERT_EQ(update(matrix, input(concat(concat(blocks(data, 0, 1, block), new_first), r)), updated),
			  KOVA_SUCCESS);
		bytes changed = blocks(data, 0, c.k, block);
		std::copy(new_first.begin(), new_first.end(), changed.begin());
		kova_buf *fresh = output(c.m * block);
		ASSERT_EQ(create(matrix, input(changed), fresh), KOVA_SUCCESS);
		EXPECT_EQ(contents(updated), contents(fresh));
	}
}

TEST_F(erasure_coding_library, lists_of_several_buffers_give_the_same_blocks_as_single_buffers)
{
	start();
	for (uint32_t k : {8u, 400u}) {
		SCOPED_TRACE(k);
		kova_ec_matrix *matrix = make_matrix(KOVA_EC_MATRIX_TYPE_CAUCHY, k, 4);
		bytes const data = random_bytes(50000, 3);
		kova_buf *single = output(60000);
		ASSERT_EQ(create(matrix, input(data), single), KOVA_SUCCESS);
		kova_buf *list = output_list({7, 1000, 59000});
		ASSERT_EQ(create(matrix, input_list(data, {1, 30000, 5}), list), KOVA_SUCCESS);
		EXPECT_EQ(contents(list), contents(single));
	}
}

TEST_F(erasure_coding_library, a_destination_too_small_for_the_blocks_fails_with_7_and_stays_empty)
{
	start();
	kova_ec_matrix *matrix = make_matrix(KOVA_EC_MATRIX_TYPE_CAUCHY, 8, 2);
	kova_buf *dst = output_list({100, 149});
	EXPECT_EQ(create(matrix, input(random_bytes(1000)), dst), KOVA_ERROR_NO_MEMORY) << "2 blocks of 125 bytes";
	EXPECT_TRUE(contents(dst).empty());
	kova_buf *fits = output_list({100, 150});
	EXPECT_EQ(create(matrix, input(random_bytes(1000)), fits), KOVA_SUCCESS);
}

TEST_F(erasure_coding_library, refuses_matrices_it_cannot_make_and_matrices_of_another_instance)
{
	struct matrix_case {
		const char *name;
		uint32_t type;
		std::size_t k;
		std::size_t m;
	};
	const matrix_case cases[] = {
		{"matrix type 0", 0, 8, 2},
		{"matrix type 3", 3, 8, 2},
		{"no data blocks", KOVA_EC_MATRIX_TYPE_CAUCHY, 0, 2},
		{"no redundancy blocks", KOVA_EC_MATRIX_TYPE_CAUCHY, 8, 0},
		{"more than 65536 blocks", KOVA_EC_MATRIX_TYPE_CAUCHY, 65530, 7},
		{"more than 65536 coefficients", KOVA_EC_MATRIX_TYPE_CAUCHY, 2000, 40},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		kova_ec_matrix *matrix = nullptr;
		EXPECT_EQ(kova_ec_matrix_create(lib, c.type, c.k, c.m, &matrix), KOVA_ERROR_INVALID_VALUE);
	}
	kova_ec_matrix *raw = nullptr;
	uint8_t const coefficients[2] = {1, 2};
	EXPECT_EQ(kova_ec_matrix_create_from_raw(lib, coefficients, 1, 2, &raw), KOVA_ERROR_NOT_SUPPORTED);

	start();
	kova_ec *other = nullptr;
	ASSERT_EQ(kova_ec_create(dev, &other), KOVA_SUCCESS);
	kova_ec_matrix *foreign = nullptr;
	ASSERT_EQ(kova_ec_matrix_create(other, KOVA_EC_MATRIX_TYPE_CAUCHY, 8, 2, &foreign), KOVA_SUCCESS);
	kova_ec_task_create *task = nullptr;
	EXPECT_EQ(kova_ec_task_create_allocate_init(lib, foreign, input(random_bytes(80)), output(100),
						    kova_data{.u64 = 1}, &task),
		  KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_ec_destroy(other), KOVA_ERROR_BAD_STATE) << "its matrix still lives";
	EXPECT_EQ(kova_ec_matrix_destroy(foreign), KOVA_SUCCESS);
	EXPECT_EQ(kova_ec_destroy(other), KOVA_SUCCESS);
}

TEST_F(erasure_coding_library, capabilities_offer_create_update_and_recover_up_to_2_mib)
{
	for (auto query : {kova_ec_cap_task_create_is_supported, kova_ec_cap_task_update_is_supported,
			   kova_ec_cap_task_recover_is_supported})
		EXPECT_EQ(query(devinfo), KOVA_SUCCESS);
	EXPECT_EQ(kova_ec_cap_task_galois_mul_is_supported(devinfo), KOVA_ERROR_NOT_SUPPORTED);
	EXPECT_EQ(kova_ec_task_galois_mul_set_conf(lib, on_success, on_error, 4), KOVA_ERROR_NOT_SUPPORTED);
	uint64_t block = 0;
	EXPECT_EQ(kova_ec_cap_get_max_block_size(devinfo, &block), KOVA_SUCCESS);
	EXPECT_EQ(block, 2u << 20);
	EXPECT_EQ(kova_ec_cap_get_max_block_size(nullptr, &block), KOVA_ERROR_INVALID_VALUE);

	start();
	kova_ec_matrix *matrix = make_matrix(KOVA_EC_MATRIX_TYPE_CAUCHY, 8, 2);
	kova_ec_task_create *task = nullptr;
	ASSERT_EQ(kova_ec_task_create_allocate_init(lib, matrix, input(random_bytes((2u << 20) + 1)), output(1u << 20),
						    kova_data{.u64 = 1}, &task),
		  KOVA_SUCCESS);
	tasks.push_back(kova_ec_task_create_as_task(task));
	EXPECT_EQ(kova_task_submit(tasks.back()), KOVA_ERROR_INVALID_VALUE);
}

} // namespace
} // namespace kova::sdk_local_test
