#include "data_provider/random_data_provider.hpp"

#include "kova_exception.hpp"

#include <random>

namespace kova::bench {
namespace {

// 0 is a fixed point of xorshift and would give all-zero data; any seed that
// draws 0 starts from this constant instead.
constexpr uint64_t zero_seed_replacement = 0x9E3779B97F4A7C15ull;

uint64_t next_value(uint64_t &state) noexcept
{
	state ^= state << 21;
	state ^= state >> 35;
	state ^= state << 4;
	return state;
}

uint32_t draw_seed()
{
	std::random_device device{"default"};
	return device();
}

} // namespace

random_data_provider::random_data_provider(const attributes &attrs) : random_data_provider(attrs, draw_seed())
{
}

random_data_provider::random_data_provider(const attributes &attrs, uint32_t seed)
{
	if (attrs.uniform_job_size == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Uniform data size must not be 0 when using random data provider");
	if (attrs.job_count == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Number of jobs to produce must not be 0");

	uint64_t state = seed != 0 ? seed : zero_seed_replacement;
	m_jobs.is_file_set = false;
	m_jobs.jobs.resize(attrs.job_count);
	for (auto &job : m_jobs.jobs) {
		job.resize(attrs.uniform_job_size);
		std::size_t const whole_words = job.size() / 8;
		for (std::size_t word = 0; word != whole_words; ++word) {
			uint64_t const value = next_value(state);
			for (std::size_t byte = 0; byte != 8; ++byte)
				job[word * 8 + byte] = static_cast<char>(value >> (8 * byte));
		}
		// The generator advances once more per job, whether or not a tail remains.
		uint64_t const tail = next_value(state);
		for (std::size_t byte = 0; byte != job.size() % 8; ++byte)
			job[whole_words * 8 + byte] = static_cast<char>(tail >> (8 * byte));
	}
}

} // namespace kova::bench
