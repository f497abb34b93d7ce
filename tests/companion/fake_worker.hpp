// A worker for tests: counts its calls, runs until terminated, and can be told to fail.
#pragma once

#include "companion/worker/worker.hpp"
#include "kova_exception.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kova::test {

// Shared with the test body: what happened to the workers, in order.
struct fake_worker_log {
	std::atomic<int> thread_procs{0};
	std::atomic<int> running{0};
	std::vector<uint32_t> destroyed; // ids, written on the pool's thread only
};

class fake_worker : public kova::bench::companion::worker::worker {
public:
	enum class fault { none, throw_in_thread, throw_std_in_thread, throw_in_async_init };

	fake_worker(uint32_t id, fake_worker_log &log, fault f = fault::none) : m_id{id}, m_log{log}, m_fault{f} {}
	~fake_worker() override { m_log.destroyed.push_back(m_id); }

	void populate_create_worker_response_fields(kova::bench::companion::worker::attribute_map &fields) override
	{
		fields["fake-id"] = std::to_string(m_id);
	}

	void thread_proc() override
	{
		++m_log.thread_procs;
		if (m_fault == fault::throw_in_thread)
			KOVA_THROW(KOVA_ERROR_IO_FAILED, "fake worker lost its peer");
		if (m_fault == fault::throw_std_in_thread)
			throw std::runtime_error{"fake worker broke"};
		++m_log.running;
		while (!m_terminate.load())
			std::this_thread::sleep_for(std::chrono::microseconds{100});
		--m_log.running;
	}

	void terminate() override { m_terminate.exchange(true); }

	void start_async_init() override
	{
		if (m_fault == fault::throw_in_async_init)
			KOVA_THROW(KOVA_ERROR_NO_MEMORY, "fake worker has no memory");
	}

	[[nodiscard]] uint32_t get_id() const override { return m_id; }
	[[nodiscard]] const char *get_type() const override { return "fake"; }

private:
	uint32_t m_id;
	fake_worker_log &m_log;
	fault m_fault;
	std::atomic<bool> m_terminate{false};
};

} // namespace kova::test
