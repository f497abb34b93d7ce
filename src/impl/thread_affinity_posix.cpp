// Thread affinity on Linux.
#include "impl/thread_affinity.hpp"

#include "kova_exception.hpp"

#include <kova/error.h>

#include <pthread.h>
#include <sched.h>

#include <array>
#include <string>

namespace kova::bench::impl {
namespace {

constexpr std::size_t max_cpus = 1024;
constexpr std::size_t cpu_set_bytes = CPU_ALLOC_SIZE(max_cpus);

std::string error_text(int error)
{
	std::array<char, 1024> buffer{};
	return priv_kova_strerror(error, buffer.data(), buffer.size());
}

} // namespace

void set_thread_affinity(std::thread &thread, uint32_t cpu)
{
	static_assert(cpu_set_bytes == 128);
	cpu_set_t wanted;
	CPU_ZERO_S(cpu_set_bytes, &wanted);
	if (cpu < max_cpus)
		CPU_SET_S(cpu, cpu_set_bytes, &wanted);

	int result = ::pthread_setaffinity_np(thread.native_handle(), cpu_set_bytes, &wanted);
	if (result != 0)
		KOVA_THROW(KOVA_ERROR_OPERATING_SYSTEM, "Unable to set thread affinity to cpu " + std::to_string(cpu) +
								". Underlying error: " + error_text(result));

	cpu_set_t applied;
	CPU_ZERO_S(cpu_set_bytes, &applied);
	result = ::pthread_getaffinity_np(thread.native_handle(), cpu_set_bytes, &applied);
	if (result != 0)
		KOVA_THROW(KOVA_ERROR_OPERATING_SYSTEM, "Unable to retrieve thread affinity to verify usage of cpu " +
								std::to_string(cpu) + ". Underlying error: " + error_text(result));

	cpu_set_t both;
	CPU_AND_S(cpu_set_bytes, &both, &wanted, &applied);
	if (CPU_COUNT_S(cpu_set_bytes, &both) == 0)
		KOVA_THROW(KOVA_ERROR_OPERATING_SYSTEM,
			   "Set affinity to cpu " + std::to_string(cpu) + ". Failed to apply successfully");
}

} // namespace kova::bench::impl
