// The parameter blocks the launchers received, kept for tests.
#include <kova_internal/rhun_runtime.hpp>

#include <kova/test_gpu.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct records {
	std::atomic<bool> enabled{false};
	std::mutex mutex;
	std::map<std::string, std::vector<unsigned char>> last;
};

records &state()
{
	static records instance;
	return instance;
}

} // namespace

namespace kova::sdk::rhun {

void record_params(const char *launcher, const void *params, std::size_t size) noexcept
{
	records &r = state();
	if (!r.enabled.load(std::memory_order_acquire))
		return;
	try {
		auto const *bytes = static_cast<const unsigned char *>(params);
		std::lock_guard const lock{r.mutex};
		r.last[launcher].assign(bytes, bytes + size);
	} catch (...) {
		// A record that cannot be kept is missing; the launch goes on.
	}
}

} // namespace kova::sdk::rhun

KOVA_EXPORT void kova_test_gpu_record_params(uint8_t enable)
{
	records &r = state();
	std::lock_guard const lock{r.mutex};
	r.enabled.store(enable != 0, std::memory_order_release);
	if (enable == 0)
		r.last.clear();
}

KOVA_EXPORT size_t kova_test_gpu_recorded_params(const char *launcher, void *buffer, size_t len)
{
	if (launcher == nullptr)
		return 0;
	records &r = state();
	std::lock_guard const lock{r.mutex};
	auto const found = r.last.find(launcher);
	if (found == r.last.end())
		return 0;
	if (buffer != nullptr)
		std::memcpy(buffer, found->second.data(), found->second.size() < len ? found->second.size() : len);
	return found->second.size();
}

KOVA_EXPORT uint32_t kova_test_gpu_running_kernels(void)
{
	return kova::sdk::rhun::running_kernels();
}
