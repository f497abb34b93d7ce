// The companion's worker pool: a fixed set of core ids, one taken by each worker added, and one
// thread per started worker. The core id labels the slot; threads are not bound to CPUs.
//
// Used from the request loop's thread only; each worker thread touches only its own worker and
// its failure record. Stopping is synchronous (terminate, then join) and one-way.
#pragma once

#include "companion/worker/worker.hpp"
#include "kova_optional.hpp"

#include <kova/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kova::bench::companion::worker {

// What a worker thread left behind when its thread_proc threw. Written by that thread before it
// sets `failed`; read by the pool after the join.
struct failure_record {
	std::atomic<bool> failed{false};
	kova_error code = 0;
	std::string message;
	bool reported = false;
};

// The body of every worker thread: runs thread_proc; a failure is printed with the worker's id,
// type and core, recorded, and sets the process-wide error flag.
void thread_proc_catch_handler(uint16_t core, worker *w, failure_record *record) noexcept;

class pool {
public:
	class work_thread {
	public:
		work_thread(std::unique_ptr<worker> w, uint16_t core);
		work_thread(work_thread &&other) noexcept;
		// Stops this entry's own thread first.
		work_thread &operator=(work_thread &&other) noexcept;
		work_thread(const work_thread &) = delete;
		work_thread &operator=(const work_thread &) = delete;
		// Stops the thread, then destroys the worker.
		~work_thread();

		// Starts the thread unless it was ever started.
		void start();
		// Terminates the worker and joins its thread, when one runs.
		void stop() noexcept;

		[[nodiscard]] worker *get_worker() const noexcept { return m_worker.get(); }
		[[nodiscard]] uint16_t get_core() const noexcept { return m_core; }
		[[nodiscard]] bool is_running() const noexcept { return m_thread != nullptr; }

		// "Worker <id> (<type>, core <core>) failed: <message>" with its code, the first time it is
		// asked after the thread failed; false otherwise. Call after stop().
		bool take_failure(kova_error &code, std::string &text);

	private:
		std::unique_ptr<worker> m_worker;
		std::unique_ptr<std::thread> m_thread;
		uint16_t m_core;
		bool m_started = false;
		std::unique_ptr<failure_record> m_failure;
	};

	explicit pool(const std::vector<uint16_t> &cores);
	pool(const pool &) = delete;
	pool &operator=(const pool &) = delete;
	// Stops and destroys every worker, in the order they were added.
	~pool();

	// Takes the last free core for the worker and starts its asynchronous set-up. False (the
	// worker is destroyed) when no core is free. When the set-up throws, the worker is destroyed,
	// its core is free again and the exception passes on.
	bool add_worker(std::unique_ptr<worker> w);

	// Starts every worker that was never started; repeating it is harmless.
	void start_workers();
	// KOVA_ERROR_NOT_FOUND "No worker with the given id exists" for an unknown id.
	void start_worker(uint32_t id);

	// Terminates and joins the worker's thread; the worker and its core stay until it is destroyed.
	// KOVA_ERROR_NOT_FOUND for an unknown id. A failure the worker's thread recorded is thrown afterwards (once).
	void stop_worker(uint32_t id);
	// As stop_worker for every worker; recorded failures are thrown after all are stopped.
	void stop_all_workers();

	// Stops and destroys the worker and frees its core; nothing for an unknown id.
	void terminate_worker(uint32_t id) noexcept;
	// Stops and destroys every worker and frees every core in the order given at construction;
	// recorded failures not yet reported are thrown afterwards.
	void terminate_all_workers();

	// The core the worker holds; empty for an unknown id.
	[[nodiscard]] kova::optional<uint16_t> get_core_of(uint32_t id) const;

	[[nodiscard]] std::size_t get_max_worker_count() const noexcept { return m_cores.size(); }
	[[nodiscard]] std::size_t get_free_worker_slot_count() const noexcept { return m_free_cores.size(); }
	[[nodiscard]] std::size_t get_active_worker_count() const noexcept { return m_work_threads.size(); }

private:
	work_thread *find(uint32_t id) noexcept;
	work_thread &find_or_throw(uint32_t id);

	std::vector<uint16_t> m_cores;
	std::vector<uint16_t> m_free_cores;
	std::vector<work_thread> m_work_threads;
};

} // namespace kova::bench::companion::worker
