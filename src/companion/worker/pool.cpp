#include "companion/worker/pool.hpp"

#include "companion/process_flags.hpp"
#include "kova_exception.hpp"
#include "utility/join.hpp"

#include <kova/error.h>
#include <kova/version.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <utility>

namespace kova::bench::companion::worker {
namespace {

void record_failure(failure_record *record, kova_error code, const char *message) noexcept
{
	try {
		record->code = code;
		record->message = message;
	} catch (...) {
		record->message.clear();
	}
	record->failed.store(true, std::memory_order_release);
	error_seen.store(true);
}

struct failure_list {
	kova_error first_code = 0;
	std::vector<std::string> texts;

	void take_from(pool::work_thread &entry)
	{
		kova_error code = 0;
		std::string text;
		if (!entry.take_failure(code, text))
			return;
		if (texts.empty())
			first_code = code;
		texts.push_back(std::move(text));
	}

	void throw_if_any() const
	{
		if (!texts.empty())
			KOVA_THROW(first_code, utility::join(texts, "; "));
	}
};

} // namespace

void thread_proc_catch_handler(uint16_t core, worker *w, failure_record *record) noexcept
{
	try {
		w->thread_proc();
	} catch (const kova::exception &e) {
		std::printf("[worker id: %u, type: %s, core: %u] Caught kova::exception. \n\tcode: \"%s\"\n\tmessage: "
			    "\"%s\"\n\tsource location: %s:%s:%u\n\tkova_cver: \"%s\"\n\tkova_rver:  \"%s\"\n",
			    w->get_id(), w->get_type(), core, kova_error_get_name(e.code()), e.what(), e.file(),
			    e.function(), e.line(), KOVA_VERSION_STRING, kova_version_runtime());
		std::fflush(stdout);
		record_failure(record, e.code(), e.what());
	} catch (const std::bad_alloc &) {
		std::printf("[worker id: %u, type: %s, core: %u] Out of memory\n", w->get_id(), w->get_type(), core);
		std::fflush(stdout);
		record_failure(record, KOVA_ERROR_NO_MEMORY, "Out of memory");
	} catch (const std::exception &e) {
		std::printf("[worker id: %u, type: %s, core: %u] Unexpected exception: %s\n", w->get_id(), w->get_type(),
			    core, e.what());
		std::fflush(stdout);
		record_failure(record, KOVA_ERROR_INVALID_VALUE, e.what());
	} catch (...) {
		std::printf("[worker id: %u, type: %s, core: %u] Unexpected exception\n", w->get_id(), w->get_type(),
			    core);
		std::fflush(stdout);
		record_failure(record, KOVA_ERROR_INVALID_VALUE, "Unexpected exception");
	}
}

pool::work_thread::work_thread(std::unique_ptr<worker> w, uint16_t core)
	: m_worker{std::move(w)}, m_core{core}, m_failure{std::make_unique<failure_record>()}
{
}

pool::work_thread::work_thread(work_thread &&other) noexcept
	: m_worker{std::move(other.m_worker)},
	  m_thread{std::move(other.m_thread)},
	  m_core{other.m_core},
	  m_started{other.m_started},
	  m_failure{std::move(other.m_failure)}
{
}

pool::work_thread &pool::work_thread::operator=(work_thread &&other) noexcept
{
	if (this == &other)
		return *this;
	stop();
	m_worker = std::move(other.m_worker);
	m_thread = std::move(other.m_thread);
	m_core = other.m_core;
	m_started = other.m_started;
	m_failure = std::move(other.m_failure);
	return *this;
}

pool::work_thread::~work_thread()
{
	stop();
}

void pool::work_thread::start()
{
	if (m_started)
		return;
	m_thread = std::make_unique<std::thread>(thread_proc_catch_handler, m_core, m_worker.get(), m_failure.get());
	m_started = true;
}

void pool::work_thread::stop() noexcept
{
	if (m_thread == nullptr)
		return;
	m_worker->terminate();
	if (m_thread->joinable())
		m_thread->join();
	m_thread.reset();
}

bool pool::work_thread::take_failure(kova_error &code, std::string &text)
{
	if (m_failure == nullptr || m_failure->reported || !m_failure->failed.load(std::memory_order_acquire))
		return false;
	m_failure->reported = true;
	code = m_failure->code;
	text = "Worker " + std::to_string(m_worker->get_id()) + " (" + m_worker->get_type() + ", core " +
	       std::to_string(m_core) + ") failed: " + m_failure->message;
	return true;
}

pool::pool(const std::vector<uint16_t> &cores) : m_cores{cores}, m_free_cores{cores}
{
	m_work_threads.reserve(cores.size());
	std::vector<std::string> ids;
	ids.reserve(cores.size());
	for (uint16_t const core : cores)
		ids.push_back(std::to_string(core));
	std::printf("[pool::pool] created with core set: %s\n", utility::join(ids, ", ").c_str());
}

pool::~pool()
{
	for (auto &entry : m_work_threads)
		entry.stop();
	m_work_threads.clear();
}

bool pool::add_worker(std::unique_ptr<worker> w)
{
	if (m_free_cores.empty())
		return false;
	uint16_t const core = m_free_cores.back();
	m_work_threads.emplace_back(std::move(w), core);
	m_free_cores.pop_back();
	try {
		m_work_threads.back().get_worker()->start_async_init();
	} catch (...) {
		m_work_threads.pop_back();
		m_free_cores.push_back(core);
		throw;
	}
	return true;
}

pool::work_thread *pool::find(uint32_t id) noexcept
{
	auto const found = std::find_if(m_work_threads.begin(), m_work_threads.end(),
					[id](const work_thread &entry) { return entry.get_worker()->get_id() == id; });
	return found == m_work_threads.end() ? nullptr : &*found;
}

pool::work_thread &pool::find_or_throw(uint32_t id)
{
	work_thread *const entry = find(id);
	if (entry == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "No worker with the given id exists");
	return *entry;
}

kova::optional<uint16_t> pool::get_core_of(uint32_t id) const
{
	for (auto const &entry : m_work_threads) {
		if (entry.get_worker()->get_id() == id)
			return kova::optional<uint16_t>{entry.get_core()};
	}
	return {};
}

void pool::start_workers()
{
	for (auto &entry : m_work_threads)
		entry.start();
}

void pool::start_worker(uint32_t id)
{
	find_or_throw(id).start();
}

void pool::stop_worker(uint32_t id)
{
	work_thread &entry = find_or_throw(id);
	entry.stop();
	failure_list failures;
	failures.take_from(entry);
	failures.throw_if_any();
}

void pool::stop_all_workers()
{
	failure_list failures;
	for (auto &entry : m_work_threads) {
		entry.stop();
		failures.take_from(entry);
	}
	failures.throw_if_any();
}

void pool::terminate_worker(uint32_t id) noexcept
{
	auto const found = std::find_if(m_work_threads.begin(), m_work_threads.end(),
					[id](const work_thread &entry) { return entry.get_worker()->get_id() == id; });
	if (found == m_work_threads.end())
		return;
	found->stop();
	uint16_t const core = found->get_core();
	m_work_threads.erase(found);
	m_free_cores.push_back(core);
}

void pool::terminate_all_workers()
{
	failure_list failures;
	for (auto &entry : m_work_threads) {
		entry.stop();
		failures.take_from(entry);
	}
	m_work_threads.clear();
	m_free_cores = m_cores;
	failures.throw_if_any();
}

} // namespace kova::bench::companion::worker
