// Unit tests for src/impl/thread_affinity_posix.cpp
#include "impl/thread_affinity.hpp"

#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

// A thread that waits until released, as a worker waits at its start gate.
class gated_thread {
public:
	gated_thread()
		: m_thread{[this] {
			  while (!m_release.load())
				  std::this_thread::yield();
			  m_cpu_seen = sched_getcpu();
		  }}
	{
	}
	~gated_thread()
	{
		m_release = true;
		if (m_thread.joinable())
			m_thread.join();
	}
	std::thread &thread() { return m_thread; }
	int finish()
	{
		m_release = true;
		m_thread.join();
		return m_cpu_seen;
	}

private:
	std::atomic<bool> m_release{false};
	int m_cpu_seen = -1;
	std::thread m_thread;
};

void expect_affinity_error(uint32_t cpu, const std::string &message_start)
{
	gated_thread worker;
	kova::exception const ex = kova::test::thrown_by([&] {
		kova::bench::impl::set_thread_affinity(worker.thread(), cpu);
	});
	EXPECT_EQ(ex.code(), KOVA_ERROR_OPERATING_SYSTEM);
	EXPECT_EQ(std::string{ex.what()}.substr(0, message_start.size()), message_start) << ex.what();
	EXPECT_GT(std::string{ex.what()}.size(), message_start.size()) << "the system's error text is missing";
}

} // namespace

TEST(thread_affinity, pins_a_waiting_thread_to_an_allowed_cpu)
{
	cpu_set_t allowed;
	ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof(allowed), &allowed), 0);
	int cpu = 0;
	while (cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &allowed))
		++cpu;
	ASSERT_LT(cpu, CPU_SETSIZE);

	gated_thread worker;
	kova::bench::impl::set_thread_affinity(worker.thread(), static_cast<uint32_t>(cpu));
	cpu_set_t applied;
	ASSERT_EQ(pthread_getaffinity_np(worker.thread().native_handle(), sizeof(applied), &applied), 0);
	EXPECT_EQ(CPU_COUNT(&applied), 1);
	EXPECT_TRUE(CPU_ISSET(cpu, &applied));
	EXPECT_EQ(worker.finish(), cpu);
}

TEST(thread_affinity, cpu_beyond_the_set_is_refused)
{
	for (uint32_t cpu : {1024u, 5000u}) {
		SCOPED_TRACE(cpu);
		expect_affinity_error(cpu, "Unable to set thread affinity to cpu " + std::to_string(cpu) +
						   ". Underlying error: ");
	}
}

TEST(thread_affinity, cpu_that_is_not_online_is_refused)
{
	long const configured = sysconf(_SC_NPROCESSORS_CONF);
	if (configured <= 0 || configured >= 1023)
		GTEST_SKIP() << "no CPU number below 1024 is known to be absent";
	auto const absent = static_cast<uint32_t>(configured) + 1;
	expect_affinity_error(absent, "Unable to set thread affinity to cpu " + std::to_string(absent) +
					      ". Underlying error: ");
}
