// The stand-in's comch counters: what its consumers placed and its producers had placed, in
// messages and bytes, and the tasks that failed, while the contexts live and after they are gone.
#include "comch_side.hpp"

#include <gtest/gtest.h>

#include <kova/test_control.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace {

using kova::comch_test::buffers;
using kova::comch_test::consumer_side;
using kova::comch_test::producer_side;
using kova::comch_test::pump_until;
using kova::comch_test::side;

kova_test_comch_counters read_counters()
{
	kova_test_comch_counters counters{};
	kova_test_comch_get_counters(&counters);
	return counters;
}

struct counting_case {
	const char *name;
	uint32_t message_size;
	uint32_t buffer_size;
	uint32_t messages;
	bool unknown_consumer; // the sends name a consumer id nobody announced
	uint64_t placed;
	uint64_t refused;        // larger than the posted buffer
	uint64_t never_filled;   // posted receives that no message reached, failed at the consumer's stop
};

class comch_counters : public testing::TestWithParam<counting_case> {};

TEST_P(comch_counters, count_placed_messages_and_bytes_and_failed_tasks_on_both_ends)
{
	counting_case const &c = GetParam();
	kova_test_reset();
	std::string const name = kova::comch_test::unique_name(c.name);
	side receiving{name};
	side sending{name};
	ASSERT_EQ(receiving.start(), KOVA_ERROR_IN_PROGRESS);
	ASSERT_EQ(sending.start(), KOVA_ERROR_IN_PROGRESS);
	ASSERT_TRUE(pump_until([&] {
		receiving.progress();
		sending.progress();
		return receiving.state() == KOVA_CTX_STATE_RUNNING && sending.state() == KOVA_CTX_STATE_RUNNING;
	}, 5000));
	{
		buffers rx{receiving.dev(), c.messages, c.buffer_size, false};
		buffers tx{sending.dev(), c.messages, c.message_size, true};
		consumer_side consumer{receiving, rx, c.messages};
		ASSERT_TRUE(pump_until([&] {
			kova_pe_progress(consumer.pe);
			receiving.progress();
			sending.progress();
			return consumer.state() == KOVA_CTX_STATE_RUNNING && !sending.recorded.announced.empty();
		}, 5000));
		uint32_t const target = c.unknown_consumer ? consumer.id() + 1000 : consumer.id();
		producer_side producer{sending, c.messages};
		ASSERT_EQ(producer.start_result, KOVA_SUCCESS);
		for (uint32_t i = 0; i < c.messages; ++i) {
			ASSERT_NE(consumer.post(rx.at(i)), nullptr);
			ASSERT_EQ(kova_task_submit(producer.task(tx.at(i), target)), KOVA_SUCCESS);
		}
		ASSERT_TRUE(pump_until([&] {
			kova_pe_progress(producer.pe);
			kova_pe_progress(consumer.pe);
			return producer.done.ok + producer.done.failed == c.messages &&
			       consumer.done.ok + consumer.done.failed == c.placed + c.refused;
		}, 10000));

		kova_test_comch_counters const live = read_counters();
		EXPECT_EQ(live.consumers, 1U);
		EXPECT_EQ(live.producers, 1U);
		EXPECT_EQ(live.received_messages, c.placed);
		EXPECT_EQ(live.received_bytes, c.placed * c.message_size);
		EXPECT_EQ(live.receives_failed, c.refused);
		EXPECT_EQ(live.sent_messages, c.placed);
		EXPECT_EQ(live.sent_bytes, c.placed * c.message_size);
		EXPECT_EQ(live.sends_failed, c.messages - c.placed);
		// The counters agree with what the tasks' owners saw.
		EXPECT_EQ(live.received_messages, consumer.done.ok);
		EXPECT_EQ(live.sent_messages, producer.done.ok);
		EXPECT_EQ(live.sends_failed, producer.done.failed);
	}

	kova_test_comch_counters const after = read_counters();
	EXPECT_EQ(after.consumers, 1U);
	EXPECT_EQ(after.producers, 1U);
	EXPECT_EQ(after.received_messages, c.placed);
	EXPECT_EQ(after.received_bytes, c.placed * c.message_size);
	EXPECT_EQ(after.receives_failed, c.refused + c.never_filled);
	EXPECT_EQ(after.sent_messages, c.placed);
	EXPECT_EQ(after.sent_bytes, c.placed * c.message_size);
	EXPECT_EQ(after.sends_failed, c.messages - c.placed);

	kova_test_reset();
	kova_test_comch_counters const reset = read_counters();
	for (uint64_t value : {reset.consumers, reset.producers, reset.received_messages, reset.received_bytes,
			       reset.receives_failed, reset.sent_messages, reset.sent_bytes, reset.sends_failed})
		EXPECT_EQ(value, 0U);
}

INSTANTIATE_TEST_SUITE_P(
	comch_counters, comch_counters,
	testing::Values(counting_case{"placed_4_kib", 4096, 4096, 3, false, 3, 0, 0},
			counting_case{"placed_short", 100, 1024, 5, false, 5, 0, 0},
			counting_case{"too_large", 4096, 1024, 2, false, 0, 2, 0},
			counting_case{"unknown_consumer", 64, 64, 2, true, 0, 0, 2}),
	[](const testing::TestParamInfo<counting_case> &info) { return std::string{info.param.name}; });

} // namespace
