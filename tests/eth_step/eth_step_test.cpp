// The Ethernet steps on a device whose interface is the loopback of the test's namespace (nothing is
// sent): their queue settings, the command their peer worker is told, the limits of their task sets
// and the Ethernet capability record.
#include "step/kova_eth_step.hpp"

#include "kova_exception.hpp"
#include "runtime_state.hpp"
#include "sdk_eth/eth_fixture.hpp"
#include "step/factory.hpp"
#include "support/kova_throws.hpp"
#include "utility/kova_utils.hpp"

#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>

namespace kova::bench::step {
namespace {

using kova::test::thrown_by;

void ignore(kova_task *, kova_data, kova_data) {}

class eth_step_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		kova::sdk_eth_test::use_interfaces("lo", "lo");
		state.open_device_and_representor("03:00.0", {});
		pe = utility::make_pe();
	}
	void TearDown() override { kova_test_reset(); }

	object::attributes attributes(uint32_t buffer_size, uint32_t jobs,
				      std::unordered_map<std::string, std::string> map = {})
	{
		object::attributes a;
		a.task_pool_size = jobs;
		a.job_output_buffer_size = buffer_size;
		a.job_count = jobs;
		a.job_input_size = buffer_size;
		a.attribute_map = std::move(map);
		return a;
	}

	std::unique_ptr<kova_eth_recv_step> rx(const object::attributes &a)
	{
		return std::make_unique<kova_eth_recv_step>(a, state, pe.get(), ignore, ignore, kova_data{});
	}
	std::unique_ptr<kova_eth_send_step> tx(const object::attributes &a)
	{
		return std::make_unique<kova_eth_send_step>(a, state, pe.get(), ignore, ignore, kova_data{});
	}

	runtime_state state;
	std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> pe;
};

TEST_F(eth_step_test, offload_attributes_set_the_send_queue_and_the_receive_steps_peer_flags)
{
	struct offload_case {
		const char *l3;
		const char *l4;
		uint32_t flags;
	} const cases[] = {{"yes", nullptr, 1}, {nullptr, "true", 2}, {"1", "yes", 3}, {"no", "0", 0}, {nullptr, nullptr, 0}};
	for (auto const &c : cases) {
		std::unordered_map<std::string, std::string> map;
		if (c.l3 != nullptr)
			map["kova_eth.l3-chksum-offload"] = c.l3;
		if (c.l4 != nullptr)
			map["kova_eth.l4-chksum-offload"] = c.l4;
		SCOPED_TRACE(c.flags);
		auto const receive = rx(attributes(1518, 4, map));
		EXPECT_EQ(receive->get_peer_flags(), c.flags);
		auto const send = tx(attributes(1518, 4, map));
		EXPECT_EQ(send->queue().get_cfg().l3_chksum_offload, c.flags & 1U);
		EXPECT_EQ(send->queue().get_cfg().l4_chksum_offload, (c.flags >> 1) & 1U);
	}
}

TEST_F(eth_step_test, an_offload_attribute_must_be_one_of_six_words_exactly)
{
	for (std::string const value : {"Yes", "on", "1 ", "", "truex"}) {
		SCOPED_TRACE("\"" + value + "\"");
		auto const error = thrown_by([&] { tx(attributes(1518, 4, {{"kova_eth.l3-chksum-offload", value}})); });
		EXPECT_EQ(error.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_EQ(std::string{error.what()}, "Unable to convert value\"" + value + "\" to a boolean");
		EXPECT_EQ(thrown_by([&] { rx(attributes(1518, 4, {{"kova_eth.l4-chksum-offload", value}})); }).code(),
			  KOVA_ERROR_INVALID_VALUE);
	}
}

TEST_F(eth_step_test, queues_take_the_job_count_and_a_frame_sized_buffer)
{
	// The pipeline trial's 2 MiB buffers become 1518-byte frames; the burst is the job count unless a
	// queue depth is set.
	auto const receive = rx(attributes(2097152, 64));
	EXPECT_EQ(receive->queue().get_cfg().num_tasks, 64U);
	EXPECT_EQ(receive->queue().get_cfg().max_burst_size, 64U);
	EXPECT_EQ(receive->queue().get_cfg().max_packet_size, 1518U);
	object::attributes deep = attributes(512, 64);
	deep.rq_depth = 16U;
	deep.sq_depth = 8U;
	EXPECT_EQ(rx(deep)->queue().get_cfg().max_burst_size, 16U);
	EXPECT_EQ(rx(deep)->queue().get_cfg().max_packet_size, 512U);
	EXPECT_EQ(tx(deep)->queue().get_cfg().max_burst_size, 8U);
	EXPECT_STREQ(receive->get_name(), "kova_eth::rx");
	EXPECT_STREQ(tx(deep)->get_name(), "kova_eth::tx");
}

TEST_F(eth_step_test, task_sets_take_frames_up_to_1518_bytes_and_at_least_a_header_to_send)
{
	aligned_buffer memory{4 * 2048};
	auto const mmap = utility::make_mmap(memory, state.get_devices(), {});
	auto const inventory = utility::make_inventory(8);
	auto *base = reinterpret_cast<char *>(memory.data());
	kova_buf *b1518 = utility::get_buffer(inventory.get(), mmap.get(), base, 1518);
	kova_buf *b1519 = utility::get_buffer(inventory.get(), mmap.get(), base + 2048, 1519);
	kova_buf *b13 = utility::get_buffer(inventory.get(), mmap.get(), base + 4096, 13);
	kova_buf *spare = utility::get_buffer(inventory.get(), mmap.get(), base + 6144, 64);
	{
		auto const receive = rx(attributes(1518, 4));
		task_set const set = receive->create_task_set(b13, b1518, spare, kova_data{.u64 = 1});
		EXPECT_NE(set.task, nullptr);
		EXPECT_EQ(set.next_input, b1518);
		EXPECT_EQ(set.next_output, spare);
		EXPECT_EQ(set.next_spare, b1518);
		auto const too_long = thrown_by([&] { receive->create_task_set(b13, b1519, spare, kova_data{.u64 = 1}); });
		EXPECT_EQ(too_long.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_STREQ(too_long.what(), "Rx buffer size must not exceed 1518 bytes");
		receive->destroy_all_tasks();

		auto const send = tx(attributes(1518, 4));
		task_set const sent = send->create_task_set(b1518, b13, spare, kova_data{.u64 = 1});
		EXPECT_EQ(sent.next_input, b1518);
		EXPECT_EQ(sent.next_output, b13);
		EXPECT_EQ(sent.next_spare, spare);
		EXPECT_STREQ(thrown_by([&] { send->create_task_set(b1519, b13, spare, kova_data{.u64 = 1}); }).what(),
			     "Tx buffer size must not exceed 1518 bytes");
		EXPECT_EQ(thrown_by([&] { send->create_task_set(b13, b1518, spare, kova_data{.u64 = 1}); }).code(), 29U);
		send->destroy_all_tasks();
	}
	for (kova_buf *buf : {b1518, b1519, b13, spare})
		kova_buf_dec_refcount(buf, nullptr);
}

TEST_F(eth_step_test, the_capability_record_reports_both_tasks_and_what_the_device_cannot_do_as_no)
{
	kova_test_override_capability("kova_eth_txq_cap_is_l4_chksum_offload_supported", KOVA_ERROR_NOT_SUPPORTED, 0);
	auto const list = factory::create_step_info_list(state.get_devices()[0]);
	auto const record = std::find_if(list.begin(), list.end(), [](auto const &r) { return r.name == "kova_eth"; });
	ASSERT_NE(record, list.end());
	EXPECT_TRUE(record->installed);
	ASSERT_EQ(record->tasks.size(), 2U);
	auto const &recv = record->tasks.at("recv");
	EXPECT_TRUE(recv.supported);
	// The loopback's MTU allows more than an Ethernet frame: MTU + 18.
	uint64_t mtu = 0;
	std::ifstream{"/sys/class/net/lo/mtu"} >> mtu;
	EXPECT_EQ(recv.max_buffer_length, std::max<uint64_t>(1518, mtu + 18));
	EXPECT_EQ(recv.properties.at("Max supported burst size"), "4096");
	auto const &send = record->tasks.at("send");
	EXPECT_EQ(send.max_buffer_length, 2097152U);
	EXPECT_EQ(send.properties.at("L3 checksum offload enabled"), "yes");
	EXPECT_EQ(send.properties.at("L4 checksum offload enabled"), "no");
	EXPECT_EQ(send.properties.at("Wait on time offload"), "not supported");
	EXPECT_EQ(send.properties.at("Max LSO message size"), "0");

	kova_test_override_capability("kova_eth_txq_cap_is_l3_chksum_offload_supported", KOVA_ERROR_DRIVER, 0);
	auto const failure = thrown_by([&] { factory::create_step_info_list(state.get_devices()[0]); });
	EXPECT_EQ(failure.code(), KOVA_ERROR_DRIVER);
	EXPECT_STREQ(failure.what(), "Failed to get kova_eth txq l3 checksum offload support.");
}

} // namespace
} // namespace kova::bench::step
