// Tests of the companion's runtime state: memory regions and their export, and the pool's
// replacement.
#include "companion/fake_worker.hpp"
#include "companion/runtime_state.hpp"
#include "support/thrown_by.hpp"

#include <gtest/gtest.h>

#include <kova/mmap.h>
#include <kova/test_control.h>

#include <cstring>

namespace {

using kova::bench::companion::runtime_state;
using kova::test::thrown_by;

class companion_runtime_state : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		state.open_device_and_representor("0000:03:00.0", {});
	}

	runtime_state state;
};

TEST_F(companion_runtime_state, regions_accumulate_over_requests_and_go_together)
{
	EXPECT_TRUE(state.create_mmaps(0, 4096).empty());
	EXPECT_EQ(state.get_mmap_count(), 0u);
	auto const blank = state.create_mmaps(2, 4096);
	auto const filled = state.create_mmaps({{'a', 'b', 'c'}, {'x', 'y'}});
	ASSERT_EQ(blank.size(), 2u);
	ASSERT_EQ(filled.size(), 2u);
	EXPECT_EQ(state.get_mmap_count(), 4u);
	EXPECT_EQ(std::memcmp(state.get_buffer(2).data(), "abc", 3), 0);
	EXPECT_EQ(state.get_buffer(3).size(), 2u);

	// Each descriptor imports as a map over its own region.
	for (std::size_t i = 0; i != 4; ++i) {
		auto const &descriptor = i < 2 ? blank[i].export_descriptor : filled[i - 2].export_descriptor;
		kova_mmap *imported = nullptr;
		ASSERT_EQ(kova_mmap_create_from_export(nullptr, descriptor.data(), descriptor.size(),
						       state.get_devices()[0], &imported),
			  KOVA_SUCCESS);
		void *addr = nullptr;
		std::size_t len = 0;
		ASSERT_EQ(kova_mmap_get_memrange(imported, &addr, &len), KOVA_SUCCESS);
		EXPECT_EQ(addr, state.get_buffer(i).data());
		EXPECT_EQ(len, state.get_buffer(i).size());
		kova_mmap_destroy(imported);
	}

	state.destroy_all_mmaps();
	EXPECT_EQ(state.get_mmap_count(), 0u);
	kova_mmap *stale = nullptr;
	EXPECT_EQ(kova_mmap_create_from_export(nullptr, blank[0].export_descriptor.data(),
					       blank[0].export_descriptor.size(), state.get_devices()[0], &stale),
		  KOVA_ERROR_IO_FAILED);
}

TEST_F(companion_runtime_state, refuses_requests_it_cannot_serve_and_releases_a_failed_one)
{
	state.create_mmaps(2, 64);
	struct refusal {
		const char *name;
		std::function<void()> call;
		kova_error code;
	};
	uint64_t const limit = runtime_state::max_request_bytes();
	for (auto const &c : std::vector<refusal>{
		     {"size 0", [&] { state.create_mmaps(3, 0); }, KOVA_ERROR_INVALID_VALUE},
		     {"largest", [&] { state.create_mmaps(4294967295u, 4294967295u); }, KOVA_ERROR_NO_MEMORY},
		     {"over the limit", [&] { state.create_mmaps(static_cast<uint32_t>(limit / 4294967295u + 1), 4294967295u); },
		      KOVA_ERROR_NO_MEMORY},
		     // The second region of this request fails: the first goes with it.
		     {"empty content", [&] { state.create_mmaps({{'a'}, {}, {'b'}}); }, KOVA_ERROR_INVALID_VALUE},
	     }) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(thrown_by(c.call).code(), c.code);
		EXPECT_EQ(state.get_mmap_count(), 2u);
	}
	EXPECT_NE(std::string{thrown_by([&] { state.create_mmaps(4294967295u, 4294967295u); }).what()}.find("too large"),
		  std::string::npos);
	kova_test_force_result("kova_mmap_export_pci", KOVA_ERROR_NO_MEMORY, 1);
	auto const e = thrown_by([&] { state.create_mmaps(1, 64); });
	EXPECT_EQ(e.code(), KOVA_ERROR_NO_MEMORY);
	EXPECT_STREQ(e.what(), "Unable to export memory map.");
	EXPECT_EQ(state.get_mmap_count(), 2u);
}

TEST_F(companion_runtime_state, replaces_the_pool_only_while_it_holds_no_worker)
{
	EXPECT_EQ(state.get_worker_pool(), nullptr);
	state.configure_worker_pool({1, 2});
	auto *first = state.get_worker_pool();
	ASSERT_NE(first, nullptr);
	state.configure_worker_pool({3});
	EXPECT_EQ(state.get_worker_pool()->get_max_worker_count(), 1u);
	kova::test::fake_worker_log log;
	ASSERT_TRUE(state.get_worker_pool()->add_worker(std::make_unique<kova::test::fake_worker>(1, log)));
	auto const e = thrown_by([&] { state.configure_worker_pool({4, 5}); });
	EXPECT_EQ(e.code(), KOVA_ERROR_IN_USE);
	EXPECT_STREQ(e.what(), "Cannot configure worker pool. 1 workers are running.");
	EXPECT_EQ(state.get_worker_pool()->get_max_worker_count(), 1u);
	state.get_worker_pool()->terminate_all_workers();
	state.configure_worker_pool({4, 5});
	EXPECT_EQ(state.get_worker_pool()->get_max_worker_count(), 2u);
}

} // namespace
