#include "stats/cpu_usage_recorder.hpp"

#include "kova_exception.hpp"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <utility>

namespace kova::bench::stats {
namespace {

constexpr std::size_t reserved_sample_count = 1000;

const std::vector<float> no_samples;

// Sleeps 100 ms, resuming after signal interruptions.
void sleep_one_tick() noexcept
{
	timespec request{0, 100'000'000};
	timespec remaining{};
	while (nanosleep(&request, &remaining) != 0 && errno == EINTR)
		request = remaining;
}

float mean(const std::vector<float> &values) noexcept
{
	if (values.empty())
		return 0.0f;
	float sum = 0.0f;
	for (float const value : values)
		sum += value;
	return sum / static_cast<float>(values.size());
}

} // namespace

cpu_usage_recorder::cpu_usage_recorder() : cpu_usage_recorder{utility::make_cpu_stats_provider()} {}

cpu_usage_recorder::cpu_usage_recorder(std::unique_ptr<utility::cpu_stats_provider> provider)
	: m_provider{std::move(provider)}
{
}

cpu_usage_recorder::~cpu_usage_recorder()
{
	if (m_thread.joinable()) {
		m_stop_flag.store(true);
		m_thread.join();
	}
}

void cpu_usage_recorder::start_cpu_usage_recording(const std::vector<uint32_t> &cores)
{
	if (m_thread.joinable())
		KOVA_THROW(KOVA_ERROR_BAD_STATE, "CPU usage recording is already running");

	m_selected_cores = cores;
	m_samples.clear();
	m_samples.reserve(reserved_sample_count);
	m_thread_error = nullptr;
	// The first sample then covers only the recording; the cores are checked
	// here so that a bad one fails on the caller's thread.
	(void)utility::filter_cpu_usage_stats_by_core_id_list(m_provider->query_cpu_usage(), m_selected_cores);

	m_stop_flag.store(false);
	m_thread = std::thread{cpu_usage_recorder_thread_proc, std::ref(*this)};
}

void cpu_usage_recorder::stop_cpu_usage_recording()
{
	if (!m_thread.joinable())
		return;
	m_stop_flag.store(true);
	m_thread.join();
	if (m_thread_error) {
		std::exception_ptr const error = std::exchange(m_thread_error, nullptr);
		std::rethrow_exception(error);
	}
}

const std::vector<float> &cpu_usage_recorder::get_cpu_usage_stats() const
{
	return m_thread.joinable() ? no_samples : m_samples;
}

void cpu_usage_recorder::query_and_record_cpu_usage()
{
	m_samples.push_back(
		mean(utility::filter_cpu_usage_stats_by_core_id_list(m_provider->query_cpu_usage(), m_selected_cores)));
}

void cpu_usage_recorder::cpu_usage_recorder_thread_proc(cpu_usage_recorder &recorder)
{
	using clock = std::chrono::steady_clock;
	try {
		auto deadline = clock::now() + std::chrono::seconds{1};
		while (!recorder.m_stop_flag.load()) {
			auto const now = clock::now();
			if (now > deadline) {
				deadline = now + std::chrono::seconds{1};
				recorder.query_and_record_cpu_usage();
			}
			sleep_one_tick();
		}
		recorder.query_and_record_cpu_usage();
	} catch (...) {
		recorder.m_thread_error = std::current_exception();
	}
}

} // namespace kova::bench::stats
