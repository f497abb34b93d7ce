// The Ethernet and flow stand-ins over a real veth pair between two network namespaces. Root only
// (namespaces); under CI a missing prerequisite fails instead of skipping.
#include "sdk_eth/eth_sides.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <atomic>
#include <thread>

namespace kova::sdk_eth_test {
namespace {

class eth_veth : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		if (!net.ready()) {
			if (under_ci())
				FAIL() << "cannot create network namespaces and a veth pair (root needed)";
			GTEST_SKIP() << "cannot create network namespaces and a veth pair (root needed)";
		}
		use_interfaces(net.a(), net.b());
	}
	void TearDown() override { kova_test_reset(); }

	kova_test_eth_counters counters_of(const std::string &iface)
	{
		kova_test_eth_counters counters{};
		EXPECT_EQ(kova_test_eth_get_counters(iface.c_str(), &counters), KOVA_SUCCESS);
		return counters;
	}

	// Receives on the second device (namespace b) while `send` runs in namespace a.
	receive_result exchange(uint16_t queue_id, std::vector<uint16_t> steer_to, uint32_t buffer_size,
				const std::function<void()> &send)
	{
		std::atomic<bool> ready{false};
		std::atomic<bool> stop{false};
		receive_result received;
		std::thread receiver{[&] {
			ASSERT_TRUE(enter_namespace(net.b()));
			received = receive_frames(1, queue_id, std::move(steer_to), 256, buffer_size, ready, stop);
		}};
		while (!ready)
			std::this_thread::yield();
		run_in_namespace(net.a(), send);
		stop = true;
		receiver.join();
		return received;
	}

	veth_namespaces net{"kve"};
};

TEST_F(eth_veth, match_all_steering_delivers_every_frame_with_its_bytes)
{
	frame_bytes const frame = test_frame(64);
	send_result sent;
	receive_result const received =
		exchange(7, {7}, 2048, [&] { sent = send_frames(0, {frame}, 1000, 16); });
	EXPECT_EQ(sent.completed_ok, 1000U);
	EXPECT_EQ(received.received, 1000U);
	ASSERT_FALSE(received.first_frames.empty());
	EXPECT_EQ(received.first_frames.front(), frame);
	auto const rx = counters_of(net.b());
	EXPECT_EQ(rx.rx_frames, 1000U);
	EXPECT_EQ(rx.rx_bytes, 64000U);
	EXPECT_EQ(rx.rx_dropped_no_match + rx.rx_dropped_unknown_queue + rx.rx_dropped_too_large, 0U);
	auto const tx = counters_of(net.a());
	EXPECT_EQ(tx.tx_frames, 1000U);
	EXPECT_EQ(tx.tx_bytes, 64000U);
}

TEST_F(eth_veth, frames_steered_to_a_queue_id_nobody_holds_are_dropped_and_counted)
{
	send_result sent;
	receive_result const received =
		exchange(7, {999}, 2048, [&] { sent = send_frames(0, {test_frame(64)}, 500, 8); });
	EXPECT_EQ(sent.completed_ok, 500U);
	EXPECT_EQ(received.received, 0U);
	auto const rx = counters_of(net.b());
	EXPECT_EQ(rx.rx_dropped_unknown_queue, 500U);
	EXPECT_EQ(rx.rx_frames, 0U);
}

TEST_F(eth_veth, a_frame_longer_than_the_posted_buffer_is_dropped_and_counted)
{
	send_result sent;
	receive_result const received = exchange(3, {3}, 64, [&] {
		sent = send_frames(0, {test_frame(100), test_frame(64, 0x22)}, 40, 1);
	});
	EXPECT_EQ(sent.completed_ok, 40U);
	EXPECT_EQ(received.received, 20U);
	for (auto const &frame : received.first_frames)
		EXPECT_EQ(frame, test_frame(64, 0x22));
	EXPECT_EQ(counters_of(net.b()).rx_dropped_too_large, 20U);
}

// An IPv4/UDP frame whose checksums are left zero for the send queue to fill.
frame_bytes udp_frame()
{
	frame_bytes frame = test_frame(60, 0);
	uint8_t const ip[] = {0x45, 0, 0, 46, 0x12, 0x34, 0, 0, 64, 17, 0, 0, 192, 0, 2, 1, 192, 0, 2, 2};
	std::memcpy(frame.data() + 14, ip, sizeof(ip));
	uint8_t const udp[] = {0x30, 0x39, 0x00, 0x35, 0, 26, 0, 0};
	std::memcpy(frame.data() + 34, udp, sizeof(udp));
	for (std::size_t i = 42; i < frame.size(); ++i)
		frame[i] = static_cast<uint8_t>(i);
	return frame;
}

uint16_t ones_complement_sum(const uint8_t *bytes, std::size_t len, uint32_t sum = 0)
{
	for (std::size_t i = 0; i + 1 < len; i += 2)
		sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
	if ((len & 1U) != 0)
		sum += static_cast<uint32_t>(bytes[len - 1] << 8);
	while ((sum >> 16) != 0)
		sum = (sum & 0xFFFFU) + (sum >> 16);
	return static_cast<uint16_t>(sum);
}

TEST_F(eth_veth, checksum_offload_fills_ipv4_and_udp_checksums_and_counts_what_it_skipped)
{
	send_result sent;
	receive_result const received = exchange(1, {1}, 2048, [&] {
		sent = send_frames(0, {udp_frame(), test_frame(60)}, 2, 1, 1, 1);
	});
	EXPECT_EQ(sent.completed_ok, 2U);
	ASSERT_EQ(received.first_frames.size(), 2U);
	frame_bytes const &ip_frame =
		received.first_frames[0][12] == 0x08 && received.first_frames[0][23] == 17 ? received.first_frames[0]
											  : received.first_frames[1];
	// A correct checksum makes the one's complement sum come out as all ones.
	EXPECT_EQ(ones_complement_sum(ip_frame.data() + 14, 20), 0xFFFF);
	uint32_t const pseudo = ones_complement_sum(ip_frame.data() + 26, 8) + 17U + 26U;
	EXPECT_EQ(ones_complement_sum(ip_frame.data() + 34, 26, pseudo), 0xFFFF);
	EXPECT_NE(ip_frame[40] | ip_frame[41], 0);
	auto const tx = counters_of(net.a());
	EXPECT_EQ(tx.chksum_computed, 1U);
	EXPECT_EQ(tx.chksum_skipped, 1U);
}

TEST_F(eth_veth, frames_shorter_than_a_header_or_longer_than_the_mtu_fail)
{
	run_in_namespace(net.a(), [&] {
		send_result const sent = send_frames(0, {test_frame(13), test_frame(1515), test_frame(1514)}, 3, 1);
		EXPECT_EQ(sent.completed_ok, 1U);
		ASSERT_EQ(sent.statuses.size(), 2U);
		EXPECT_EQ(sent.statuses[0], KOVA_ERROR_INVALID_VALUE);
		EXPECT_EQ(sent.statuses[1], KOVA_ERROR_INVALID_VALUE);
	});
	EXPECT_EQ(counters_of(net.a()).tx_failed, 2U);
}

TEST_F(eth_veth, stopping_a_receive_queue_completes_its_posted_tasks_with_an_error)
{
	run_in_namespace(net.b(), [&] {
		std::atomic<bool> ready{false};
		std::atomic<bool> stop{true};
		receive_result const result = receive_frames(1, 5, {5}, 32, 2048, ready, stop);
		EXPECT_EQ(result.received, 0U);
		EXPECT_EQ(result.failed, 32U);
	});
}

TEST(eth_missing_interface, creating_a_queue_on_a_device_without_its_interface_fails_with_not_found)
{
	kova_test_reset();
	std::string const missing = "kvnone" + std::to_string(::getpid());
	use_interfaces(missing, missing);
	queue_resources res{0, 1, 64};
	kova_eth_rxq *rxq = nullptr;
	kova_eth_txq *txq = nullptr;
	EXPECT_EQ(kova_eth_rxq_create(res.dev, 16, 1518, &rxq), KOVA_ERROR_NOT_FOUND);
	EXPECT_EQ(kova_eth_txq_create(res.dev, 16, &txq), KOVA_ERROR_NOT_FOUND);
	EXPECT_EQ(rxq, nullptr);
	EXPECT_EQ(txq, nullptr);
	kova_test_reset();
}

// The receiver runs in a child process inside namespace b; this process sends from namespace a.
TEST_F(eth_veth, frames_between_two_processes_are_received_or_counted_as_dropped)
{
	constexpr uint64_t total = 100000;
	int to_child[2];
	int to_parent[2];
	ASSERT_EQ(::pipe(to_child), 0);
	ASSERT_EQ(::pipe(to_parent), 0);
	pid_t const child = ::fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		::close(to_child[1]);
		::close(to_parent[0]);
		struct report {
			uint64_t received;
			kova_test_eth_counters counters;
		} out{};
		if (enter_namespace(net.b())) {
			std::atomic<bool> ready{false};
			std::atomic<bool> stop{false};
			std::thread waiter{[&] {
				while (!ready)
					std::this_thread::yield();
				char byte = 1;
				(void)!::write(to_parent[1], &byte, 1);
				(void)!::read(to_child[0], &byte, 1);
				stop = true;
			}};
			out.received = receive_frames(1, 42, {42}, 1024, 2048, ready, stop).received;
			waiter.join();
			kova_test_eth_get_counters(net.b().c_str(), &out.counters);
		}
		(void)!::write(to_parent[1], &out, sizeof(out));
		::_exit(0);
	}
	::close(to_child[0]);
	::close(to_parent[1]);
	char byte = 0;
	ASSERT_EQ(::read(to_parent[0], &byte, 1), 1);
	send_result sent;
	run_in_namespace(net.a(), [&] { sent = send_frames(0, {test_frame(64)}, total, 256); });
	byte = 1;
	ASSERT_EQ(::write(to_child[1], &byte, 1), 1);
	struct report {
		uint64_t received;
		kova_test_eth_counters counters;
	} in{};
	ASSERT_EQ(::read(to_parent[0], &in, sizeof(in)), static_cast<ssize_t>(sizeof(in)));
	int status = 0;
	ASSERT_EQ(::waitpid(child, &status, 0), child);
	::close(to_child[1]);
	::close(to_parent[0]);

	EXPECT_EQ(sent.completed_ok, total);
	kova_test_eth_counters const &c = in.counters;
	uint64_t const dropped = c.rx_dropped_no_task + c.rx_dropped_too_large + c.rx_dropped_no_match +
				 c.rx_dropped_unknown_queue + c.rx_dropped_by_rule;
	EXPECT_EQ(in.received, c.rx_frames);
	EXPECT_EQ(c.rx_frames + dropped, sent.completed_ok)
		<< "received " << c.rx_frames << ", dropped without a task " << c.rx_dropped_no_task;
	EXPECT_GT(c.rx_frames, total / 2);
}

} // namespace
} // namespace kova::sdk_eth_test
