// Kernel launches on emulator threads, and the wait for their end.
#include "gpu_memory.hpp"

#include <kova_internal/rhun_runtime.hpp>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kova::sdk::rhun {
namespace {

struct launch_record {
	const char *name = nullptr;
	block_range_fn run = nullptr;
	void (*ended)(const void *params) = nullptr;
	std::unique_ptr<std::byte[]> params;
	std::vector<const void *> uses;
	std::vector<std::thread> threads;
	std::atomic<uint32_t> remaining{0};
	// Raised before the end is marked: whoever has seen the mark sees the kernel as ended.
	std::atomic<bool> ending{false};
	// Raised last: the record may be reaped.
	std::atomic<bool> done{false};
};

std::vector<int> allowed_cpus_highest_first();

struct launcher_state {
	std::mutex mutex;
	std::list<std::unique_ptr<launch_record>> launches;
	std::vector<int> cpus = allowed_cpus_highest_first();
	std::atomic<uint32_t> next_cpu{0};

	// At process exit: ended kernels are joined; a kernel still running is left to the exit.
	~launcher_state()
	{
		for (auto &record : launches) {
			bool const done = record->done.load(std::memory_order_acquire);
			for (std::thread &thread : record->threads) {
				if (!thread.joinable())
					continue;
				if (done)
					thread.join();
				else
					thread.detach();
			}
		}
	}
};

std::vector<int> allowed_cpus_highest_first()
{
	std::vector<int> cpus;
	cpu_set_t set;
	CPU_ZERO(&set);
	if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
		for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu) {
			if (CPU_ISSET(cpu, &set))
				cpus.push_back(cpu);
		}
	}
	return cpus;
}

launcher_state &state()
{
	static launcher_state instance;
	return instance;
}

// Pins the calling emulator thread to the next CPU of the list; none with one CPU or fewer.
void pin_emulator_thread() noexcept
{
	launcher_state &s = state();
	if (s.cpus.size() <= 1)
		return;
	uint32_t const turn = s.next_cpu.fetch_add(1, std::memory_order_relaxed);
	cpu_set_t set;
	CPU_ZERO(&set);
	CPU_SET(s.cpus[turn % s.cpus.size()], &set);
	static_cast<void>(::pthread_setaffinity_np(::pthread_self(), sizeof(set), &set));
}

// Counts `count` emulator threads of the launch as ended; the last one ends the kernel.
void threads_ended(launch_record *record, uint32_t count) noexcept
{
	if (record->remaining.fetch_sub(count, std::memory_order_acq_rel) != count)
		return;
	mem_release(record->uses.data(), static_cast<uint32_t>(record->uses.size()));
	record->ending.store(true, std::memory_order_release);
	if (record->ended != nullptr)
		record->ended(record->params.get());
	record->done.store(true, std::memory_order_release);
}

void emulator_thread(launch_record *record, uint32_t first_block, uint32_t num_blocks) noexcept
{
	pin_emulator_thread();
	record->run(record->params.get(), first_block, num_blocks);
	threads_ended(record, 1);
}

void join_all(std::list<std::unique_ptr<launch_record>> &launches) noexcept
{
	for (auto &record : launches) {
		for (std::thread &thread : record->threads) {
			if (thread.joinable())
				thread.join();
		}
	}
	launches.clear();
}

} // namespace

kova_error launch(const launch_request &request) noexcept
{
	if (request.run == nullptr || request.params == nullptr || request.params_size == 0 || request.blocks == 0 ||
	    (request.num_uses != 0 && request.uses == nullptr))
		return KOVA_ERROR_INVALID_VALUE;
	launcher_state &s = state();
	std::list<std::unique_ptr<launch_record>> ended;
	try {
		auto record = std::make_unique<launch_record>();
		record->name = request.name;
		record->run = request.run;
		record->ended = request.ended;
		record->params = std::make_unique<std::byte[]>(request.params_size);
		std::memcpy(record->params.get(), request.params, request.params_size);
		record->uses.assign(request.uses, request.uses + request.num_uses);
		if (!mem_use(record->uses.data(), request.num_uses))
			return KOVA_ERROR_INVALID_VALUE;

		uint32_t limit = request.max_threads == 0 ? max_emulator_threads : request.max_threads;
		if (limit > max_emulator_threads)
			limit = max_emulator_threads;
		uint32_t const threads = request.blocks < limit ? request.blocks : limit;
		record->remaining.store(threads, std::memory_order_relaxed);
		record->threads.reserve(threads);

		std::lock_guard const lock{s.mutex};
		// Kernels that ended are joined here, so that their threads do not pile up.
		for (auto it = s.launches.begin(); it != s.launches.end();) {
			auto const next = std::next(it);
			if ((*it)->done.load(std::memory_order_acquire))
				ended.splice(ended.end(), s.launches, it);
			it = next;
		}
		launch_record *started = record.get();
		s.launches.push_back(std::move(record));
		uint32_t first = 0;
		for (uint32_t i = 0; i < threads; ++i) {
			// Blocks spread evenly; the first threads take one more when they do not divide.
			uint32_t const count = request.blocks / threads + (i < request.blocks % threads ? 1 : 0);
			try {
				started->threads.emplace_back(emulator_thread, started, first, count);
			} catch (const std::system_error &) {
				std::fprintf(stderr, "rhunrt: kernel %s: could not start emulator thread %u of %u\n",
					     request.name, i, threads);
				// The threads that run count the missing ones as ended.
				threads_ended(started, threads - i);
				join_all(ended);
				return KOVA_ERROR_NO_MEMORY;
			}
			first += count;
		}
	} catch (const std::bad_alloc &) {
		join_all(ended);
		return KOVA_ERROR_NO_MEMORY;
	}
	join_all(ended);
	return KOVA_SUCCESS;
}

kova_error synchronize() noexcept
{
	launcher_state &s = state();
	std::list<std::unique_ptr<launch_record>> waited;
	{
		std::lock_guard const lock{s.mutex};
		waited.splice(waited.end(), s.launches);
	}
	join_all(waited);
	return KOVA_SUCCESS;
}

uint32_t running_kernels() noexcept
{
	launcher_state &s = state();
	std::lock_guard const lock{s.mutex};
	uint32_t count = 0;
	for (auto const &record : s.launches)
		count += record->ending.load(std::memory_order_acquire) ? 0 : 1;
	return count;
}

} // namespace kova::sdk::rhun
