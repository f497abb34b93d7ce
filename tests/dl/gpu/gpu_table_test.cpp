// The GPU table over its three libraries (the "gpu" scenario): the kernel library reports its initialisation.
#include "dl/kova_tessel_api.hpp"
#include "dl/support/library_events.hpp"

#include <gtest/gtest.h>

#include <array>
#include <latch>
#include <thread>
#include <vector>

namespace kova::bench::dl {
namespace {

TEST(dl_gpu_table, threads_calling_first_at_once_get_one_table_initialised_once)
{
	constexpr std::size_t thread_count = 8;
	std::array<const kova_tessel_api *, thread_count> tables{};
	std::latch start{thread_count};
	{
		std::vector<std::jthread> threads;
		for (std::size_t i = 0; i < thread_count; ++i) {
			threads.emplace_back([&tables, &start, i] {
				start.arrive_and_wait();
				tables[i] = kova_tessel_api::singleton();
			});
		}
	}
	ASSERT_NE(tables[0], nullptr);
	for (auto const *table : tables)
		EXPECT_EQ(table, tables[0]);
	EXPECT_EQ(kova_tessel_api::singleton(), tables[0]);

	EXPECT_EQ(test::count_library_events("kova_bench_rhun_init"), 1);
	EXPECT_EQ(test::count_library_events("load libkova_bench_rhun_impl.so.2"), 1);
	EXPECT_EQ(test::count_library_events("load libkova_tessel.so.2"), 1);
	// The runtime is only checked for, not kept.
	EXPECT_EQ(test::count_library_events("load librhunrt.so"), 1);
	EXPECT_EQ(test::count_library_events("unload librhunrt.so"), 1);
	EXPECT_EQ(test::count_library_events("unload libkova_tessel.so.2"), 0);
}

} // namespace
} // namespace kova::bench::dl
