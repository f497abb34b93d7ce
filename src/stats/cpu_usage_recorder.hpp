// Samples the mean busy percentage of a set of CPU cores about once a second,
// on a thread of its own, between a start and a stop.
#pragma once

#include "utility/cpu_stats_provider.hpp"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace kova::bench::stats {

class cpu_usage_recorder {
public:
	// Reads the system's CPU statistics; throws what the provider's creation throws.
	cpu_usage_recorder();
	explicit cpu_usage_recorder(std::unique_ptr<utility::cpu_stats_provider> provider);
	// Stops a recording that is still running.
	~cpu_usage_recorder();

	cpu_usage_recorder(const cpu_usage_recorder &) = delete;
	cpu_usage_recorder &operator=(const cpu_usage_recorder &) = delete;

	// Clears the samples and starts sampling the mean usage of cores
	// (repetitions allowed). Throws KOVA_ERROR_INVALID_VALUE "Invalid core index: N" for a core
	// the provider does not report, and KOVA_ERROR_BAD_STATE while a recording runs.
	void start_cpu_usage_recording(const std::vector<uint32_t> &cores);

	// Takes a last sample and joins the thread. Rethrows the first error the
	// thread met; its samples up to then are kept. Does nothing when idle.
	void stop_cpu_usage_recording();

	// The samples of the last recording, in time order; empty while a recording runs.
	[[nodiscard]] const std::vector<float> &get_cpu_usage_stats() const;

private:
	void query_and_record_cpu_usage();
	static void cpu_usage_recorder_thread_proc(cpu_usage_recorder &recorder);

	std::vector<uint32_t> m_selected_cores;
	std::vector<float> m_samples;
	std::thread m_thread;
	std::unique_ptr<utility::cpu_stats_provider> m_provider;
	std::atomic<bool> m_stop_flag{false};
	// Written by the recorder thread, read after it was joined.
	std::exception_ptr m_thread_error;
};

} // namespace kova::bench::stats
