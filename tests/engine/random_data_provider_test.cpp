// Unit tests for src/data_provider/random_data_provider.cpp
#include "data_provider/random_data_provider.hpp"

#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <vector>

using kova::bench::data_provider;
using kova::bench::random_data_provider;

namespace {

// xorshift64 with shifts 21, 35, 4, written out from its definition.
std::vector<uint64_t> reference_values(uint64_t state, std::size_t count)
{
	std::vector<uint64_t> values;
	for (std::size_t i = 0; i != count; ++i) {
		state ^= state << 21;
		state ^= state >> 35;
		state ^= state << 4;
		values.push_back(state);
	}
	return values;
}

data_provider::prototype_job little_endian(uint64_t value, std::size_t bytes)
{
	data_provider::prototype_job out;
	for (std::size_t i = 0; i != bytes; ++i)
		out.push_back(static_cast<char>(value >> (8 * i)));
	return out;
}

data_provider::attributes random_attributes(uint32_t job_count, uint32_t job_size)
{
	data_provider::attributes attrs;
	attrs.job_count = job_count;
	attrs.uniform_job_size = job_size;
	return attrs;
}

} // namespace

TEST(random_data_provider, first_value_of_seed_one)
{
	// 1 -> 1 ^ (1 << 21) = 0x200001 -> (no change from >> 35) -> 0x200001 ^ 0x2000010 = 0x2200011
	random_data_provider provider{random_attributes(1, 8), 1};
	EXPECT_EQ(provider.get_job_prototypes().jobs[0], (data_provider::prototype_job{0x11, 0x00, 0x20, 0x02, 0, 0, 0, 0}));
}

TEST(random_data_provider, generator_advances_twice_per_job)
{
	uint32_t const seed = 0xC0FFEEu;
	auto const values = reference_values(seed, 4);
	for (uint32_t size : {8u, 12u}) {
		SCOPED_TRACE(size);
		random_data_provider provider{random_attributes(2, size), seed};
		auto const &prototypes = provider.get_job_prototypes();
		EXPECT_FALSE(prototypes.is_file_set);
		ASSERT_EQ(prototypes.jobs.size(), 2u);
		EXPECT_EQ(prototypes.total_memory_size(), 2u * size);
		for (std::size_t job = 0; job != 2; ++job) {
			SCOPED_TRACE(job);
			auto expected = little_endian(values[2 * job], 8);
			if (size == 12) {
				auto const tail = little_endian(values[2 * job + 1], 4);
				expected.insert(expected.end(), tail.begin(), tail.end());
			}
			EXPECT_EQ(prototypes.jobs[job], expected);
		}
	}
}

TEST(random_data_provider, seed_zero_still_gives_random_data)
{
	random_data_provider provider{random_attributes(1, 64), 0};
	auto const &job = provider.get_job_prototypes().jobs[0];
	std::size_t zero_bytes = 0;
	for (char byte : job)
		zero_bytes += byte == 0 ? 1 : 0;
	EXPECT_LT(zero_bytes, job.size() / 2);
}

TEST(random_data_provider, unseeded_provider_fills_every_job)
{
	random_data_provider provider{random_attributes(3, 5)};
	auto const &prototypes = provider.get_job_prototypes();
	ASSERT_EQ(prototypes.jobs.size(), 3u);
	for (auto const &job : prototypes.jobs)
		EXPECT_EQ(job.size(), 5u);
	EXPECT_NE(prototypes.jobs[0], prototypes.jobs[1]);
}

TEST(random_data_provider, refuses_zero_size_or_count)
{
	struct {
		uint32_t job_count;
		uint32_t job_size;
		const char *message;
	} const cases[] = {
		{1, 0, "Uniform data size must not be 0 when using random data provider"},
		{0, 0, "Uniform data size must not be 0 when using random data provider"},
		{0, 8, "Number of jobs to produce must not be 0"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.message);
		EXPECT_KOVA_THROW(random_data_provider provider(random_attributes(c.job_count, c.job_size), 1),
				  KOVA_ERROR_INVALID_VALUE, c.message);
	}
}
