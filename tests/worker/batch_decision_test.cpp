// Unit tests for impl/batch_decision.hpp: what a completion in a batch mode submits next.
#include "impl/batch_decision.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kova::bench::impl {
namespace {

TEST(batch_decision, table_of_cases)
{
	constexpr uint64_t no_target = UINT64_MAX;
	struct decision_case {
		const char *name;
		bool is_last;
		bool keep_submitting;
		bool unflushed;
		uint64_t enqueued;
		uint64_t target;
		bool submit;
		bool close;
	};
	std::vector<decision_case> const cases{
		{"next step while restarting", false, true, false, 10, no_target, true, false},
		{"next step while restarting, unflushed", false, true, true, 10, no_target, true, false},
		{"next step after restarts stopped", false, false, false, 10, no_target, true, true},
		{"next step after restarts stopped, unflushed", false, false, true, 10, no_target, true, true},
		{"next step once the target is reached", false, false, false, 100, 100, true, true},
		{"restart", true, true, false, 10, no_target, true, false},
		{"restart, unflushed", true, true, true, 10, no_target, true, false},
		{"restart below the target", true, true, true, 98, 100, true, false},
		{"restart reaching the target", true, true, true, 99, 100, true, true},
		{"restart reaching a target of 1", true, true, false, 0, 1, true, true},
		{"finished job after restarts stopped", true, false, false, 10, no_target, false, true},
		{"finished job flushes what waits", true, false, true, 10, no_target, true, true},
		{"finished job at the target with nothing waiting", true, false, false, 100, 100, false, true},
		{"finished job never restarts past the target", true, false, true, 100, 100, false, true},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		batch_decision const decision =
			decide_batched_submission(c.is_last, c.keep_submitting, c.unflushed, c.enqueued, c.target);
		EXPECT_EQ(decision.submit, c.submit);
		if (decision.submit) {
			EXPECT_EQ(decision.close, c.close);
		}
	}
}

} // namespace
} // namespace kova::bench::impl
