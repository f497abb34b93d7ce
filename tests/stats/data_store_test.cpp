// Tests for stats/data_store.
#include "stats/data_store.hpp"

#include "kova_exception.hpp"
#include "stats/stats_test_support.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using kova::bench::stats::data_store;
using namespace kova::bench::test;

namespace {

std::string access_error(const data_store &store, kova::bench::stats::permutation_id id)
{
	try {
		(void)store.get_permutation_stats(id);
	} catch (const kova::exception &e) {
		EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_STREQ(e.function(), "get_permutation_stats");
		return e.what();
	}
	return "no error";
}

} // namespace

TEST(data_store, answers_stored_ids_only)
{
	data_store store{make_collection(3), {}, {}};
	EXPECT_EQ(access_error(store, 0), "Tried to access invalid stats permutation 0 when only 0 permutations exist");

	for (uint64_t jobs : {10u, 20u, 30u})
		store.add_permutation_stats(make_permutation({make_thread(0, 1, 0, jobs, 0, 1s)}));
	for (uint32_t id = 0; id != 3; ++id)
		EXPECT_EQ(store.get_permutation_stats(id).aggregate.step.enqueued_jobs, 10u * (id + 1)) << id;
	EXPECT_EQ(access_error(store, 3), "Tried to access invalid stats permutation 3 when only 3 permutations exist");
	EXPECT_EQ(access_error(store, 4294967295u),
		  "Tried to access invalid stats permutation 4294967295 when only 3 permutations exist");
}

TEST(data_store, keeps_its_own_copies)
{
	auto collection = make_collection(2);
	kova::bench::stats::environment_map const host{{"cpu.model", "x86"}, {"os", "linux"}};
	kova::bench::stats::environment_map const dpu{{"cpu.model", "arm"}};
	data_store store{collection, host, dpu};
	collection.permutations.clear();

	EXPECT_EQ(store.get_host_env(), host);
	EXPECT_EQ(store.get_dpu_env(), dpu);
	EXPECT_EQ(store.get_configuration().permutations.size(), 2u);
	EXPECT_EQ(store.get_configuration().fixed.data_provider.name, "random-data");

	auto stats = make_permutation({make_thread(0, 1, 0, 5, 0, 1s)});
	stats.aggregate.step.latency_samples = {1, 2, 3};
	store.add_permutation_stats(stats);
	stats.aggregate.step.latency_samples.clear();
	EXPECT_EQ(store.get_permutation_stats(0).aggregate.step.latency_samples.size(), 3u);
}
