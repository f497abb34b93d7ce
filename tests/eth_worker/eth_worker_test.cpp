// The companion's Ethernet workers: their command map, the sizes they refuse, and real frames over a
// veth pair between two namespaces (root needed; under CI a missing prerequisite fails).
#include "companion/worker/eth_worker.hpp"

#include "kova_exception.hpp"
#include "sdk_eth/eth_fixture.hpp"
#include "support/fixed_dpdk_port.hpp"
#include "support/kova_throws.hpp"
#include "utility/eth_common.hpp"

#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace kova::bench::companion::worker {
namespace {

using kova::sdk_eth_test::queue_resources;
using kova::test::fixed_dpdk_port;
using kova::test::thrown_by;

attribute_map command_map(uint32_t count, uint32_t size, uint32_t burst = 8, uint32_t flags = 0)
{
	return create_eth_worker_command_to_map({count, size, burst, flags});
}

TEST(eth_worker_command, the_map_holds_four_keys_and_reads_back_the_same_command)
{
	create_eth_worker_command const command{7, 4294967295U, 64, 3};
	attribute_map map = create_eth_worker_command_to_map(command);
	EXPECT_EQ(map.size(), 4U);
	EXPECT_EQ(map.at("buffer-size"), "4294967295");
	map["unknown"] = "ignored";
	create_eth_worker_command const back = create_eth_worker_command_from_map(map);
	EXPECT_EQ(back.buffer_count, 7U);
	EXPECT_EQ(back.buffer_size, 4294967295U);
	EXPECT_EQ(back.burst_size, 64U);
	EXPECT_EQ(back.flags, 3U);
}

TEST(eth_worker_command, a_missing_key_or_a_value_without_digits_is_refused)
{
	struct bad_map {
		const char *remove;
		std::vector<std::pair<const char *, const char *>> set;
		const char *message;
	} const cases[] = {
		{"flags", {}, "[BUG] invalid create_eth_worker_command"},
		{"buffer-size", {{"flags", "x"}}, "[BUG] invalid create_eth_worker_command"},
		{nullptr, {{"burst-size", "x"}, {"flags", "y"}}, "[BUG] invalid create_eth_worker_command - burst size is not a number"},
		{nullptr, {{"buffer-count", "abc"}}, "[BUG] invalid create_eth_worker_command - buffer count is not a number"},
	};
	for (auto const &c : cases) {
		attribute_map map = command_map(4, 64);
		if (c.remove != nullptr)
			map.erase(c.remove);
		for (auto const &[key, value] : c.set)
			map[key] = value;
		auto const error = thrown_by([&] { create_eth_worker_command_from_map(map); });
		EXPECT_EQ(error.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_STREQ(error.what(), c.message);
	}
	attribute_map trailing = command_map(4, 64);
	trailing["buffer-size"] = "12abc";
	EXPECT_EQ(create_eth_worker_command_from_map(trailing).buffer_size, 12U);
}

class eth_worker_veth : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		if (!net.ready()) {
			if (kova::sdk_eth_test::under_ci())
				FAIL() << "cannot create network namespaces and a veth pair (root needed)";
			GTEST_SKIP() << "cannot create network namespaces and a veth pair (root needed)";
		}
		kova::sdk_eth_test::use_interfaces(net.a(), net.b());
	}
	void TearDown() override { kova_test_reset(); }

	kova_test_eth_counters counters_of(const std::string &iface)
	{
		kova_test_eth_counters counters{};
		kova_test_eth_get_counters(iface.c_str(), &counters);
		return counters;
	}

	kova::sdk_eth_test::veth_namespaces net{"kvw"};
	fixed_dpdk_port port{2};
};

TEST_F(eth_worker_veth, sizes_a_worker_cannot_hold_are_refused_before_anything_is_made)
{
	struct size_case {
		const char *type;
		uint32_t count;
		uint32_t size;
		kova_error code;
	} const cases[] = {
		{"eth_send", 8, 13, 29}, {"eth_recv", 8, 13, 29}, {"eth_bidir", 8, 13, 29},
		{"eth_bidir", 7, 64, KOVA_ERROR_INVALID_VALUE}, {"eth_send", 65536, 65536, KOVA_ERROR_INVALID_VALUE},
		{"eth_recv", 0, 64, KOVA_ERROR_INVALID_VALUE},
	};
	kova::sdk_eth_test::run_in_namespace(net.a(), [&] {
		queue_resources res{0, 1, 64};
		for (auto const &c : cases) {
			SCOPED_TRACE(std::string{c.type} + " " + std::to_string(c.count) + " x " + std::to_string(c.size));
			attribute_map const map = command_map(c.count, c.size);
			auto const error = thrown_by([&] {
				if (std::string{c.type} == "eth_send")
					create_eth_send_worker(1, map, res.dev);
				else if (std::string{c.type} == "eth_recv")
					create_eth_recv_worker(1, map, res.dev, &port);
				else
					create_eth_bidir_worker(1, map, res.dev, &port);
			});
			EXPECT_EQ(error.code(), c.code) << error.what();
		}
	});
}

TEST_F(eth_worker_veth, the_flag_bits_turn_the_send_queues_checksum_offloads_on)
{
	struct flag_case {
		uint32_t flags;
		const char *l3;
		const char *l4;
	} const cases[] = {
		{3, "kova_eth_txq_set_l3_chksum_offload(1)", "kova_eth_txq_set_l4_chksum_offload(1)"},
		{1, "kova_eth_txq_set_l3_chksum_offload(1)", "kova_eth_txq_set_l4_chksum_offload(0)"},
		{2, "kova_eth_txq_set_l3_chksum_offload(0)", "kova_eth_txq_set_l4_chksum_offload(1)"},
		{4, "kova_eth_txq_set_l3_chksum_offload(0)", "kova_eth_txq_set_l4_chksum_offload(0)"},
	};
	kova::sdk_eth_test::run_in_namespace(net.a(), [&] {
		queue_resources res{0, 1, 64};
		for (auto const &c : cases) {
			SCOPED_TRACE(c.flags);
			kova_test_trace_enable(1);
			auto const made = create_eth_send_worker(1, command_map(4, 64, 4, c.flags), res.dev);
			std::string trace(kova_test_trace_read(nullptr, 0), '\0');
			kova_test_trace_read(trace.data(), trace.size() + 1);
			EXPECT_NE(trace.find(std::string{c.l3} + "\n"), std::string::npos) << trace;
			EXPECT_NE(trace.find(std::string{c.l4} + "\n"), std::string::npos) << trace;
			EXPECT_STREQ(made->get_type(), "eth_send");
		}
	});
}

// An "eth_send" worker in namespace a; a receive queue in namespace b takes `frames` frames.
TEST_F(eth_worker_veth, a_send_worker_s_frames_arrive_with_the_template_header_and_fill)
{
	constexpr uint64_t frames = 10000;
	constexpr uint32_t tasks = 256;
	struct receiver_state {
		uint64_t received = 0;
		uint64_t mismatches = 0;
	} rx;
	std::atomic<bool> ready{false};
	std::atomic<bool> enough{false};
	std::thread receiver{[&] {
		ASSERT_TRUE(kova::sdk_eth_test::enter_namespace(net.b()));
		queue_resources res{1, tasks, 2048};
		auto on_ok = [](kova_task *task, kova_data, kova_data user) {
			auto *st = static_cast<receiver_state *>(user.ptr);
			kova_buf *pkt = kova_eth_rxq_task_recv_get_pkt(reinterpret_cast<kova_eth_rxq_task_recv *>(task));
			void *data = nullptr;
			std::size_t len = 0;
			kova_buf_get_data(pkt, &data);
			kova_buf_get_data_len(pkt, &len);
			auto const *bytes = static_cast<const uint8_t *>(data);
			bool same = len == 64 && std::memcmp(bytes, eth_frame_header, 14) == 0;
			for (std::size_t i = 14; same && i < len; ++i)
				same = bytes[i] == eth_frame_fill;
			if (!same)
				++st->mismatches;
			++st->received;
			kova_buf_reset_data_len(pkt);
			kova_task_submit(task);
		};
		auto ignore = [](kova_task *, kova_data, kova_data) {};
		utility::eth_rxq queue{{0, 1518, tasks, tasks}, kova_data{.ptr = &rx}, res.dev, res.pe, &port};
		queue.configure_task_pool({on_ok, ignore});
		queue.start();
		for (kova_buf *buf : res.buffers)
			kova_task_submit(kova_eth_rxq_task_recv_as_kova_task(queue.create_task(buf, kova_data{})));
		ready = true;
		auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{60};
		while (rx.received < frames && std::chrono::steady_clock::now() < deadline)
			kova_pe_progress(res.pe);
		enough = true;
	}};
	while (!ready)
		std::this_thread::yield();
	::testing::internal::CaptureStdout();
	kova::sdk_eth_test::run_in_namespace(net.a(), [&] {
		queue_resources res{0, 1, 64};
		auto sender = create_eth_send_worker(3, command_map(64, 64, 64), res.dev);
		EXPECT_EQ(sender->get_id(), 3U);
		std::thread body{[&] { sender->thread_proc(); }};
		while (!enough)
			std::this_thread::sleep_for(std::chrono::milliseconds{1});
		sender->terminate();
		body.join();
	});
	std::string const printed = ::testing::internal::GetCapturedStdout();
	receiver.join();
	EXPECT_GE(rx.received, frames);
	EXPECT_EQ(rx.mismatches, 0U);
	EXPECT_NE(printed.find("Companion App transmitted "), std::string::npos) << printed;
	EXPECT_GE(counters_of(net.a()).tx_frames, frames);
}

// Sends `count` template frames from namespace a through a plain send queue.
void send_from(const std::string &ns, uint32_t count)
{
	kova::sdk_eth_test::run_in_namespace(ns, [&] {
		std::vector<uint8_t> frame(64, eth_frame_fill);
		std::memcpy(frame.data(), eth_frame_header, 14);
		queue_resources res{0, count, 64, frame};
		struct state {
			uint32_t done = 0;
		} s;
		auto on_done = [](kova_task *, kova_data, kova_data user) { ++static_cast<state *>(user.ptr)->done; };
		utility::eth_txq queue{{0, 64, count, count, 0, 0}, kova_data{.ptr = &s}, res.dev, res.pe};
		queue.configure_task_pool({on_done, on_done});
		queue.start();
		for (kova_buf *buf : res.buffers)
			kova_task_submit(kova_eth_txq_task_send_as_kova_task(queue.create_task(buf, kova_data{})));
		while (s.done < count)
			kova_pe_progress(res.pe);
	});
}

TEST_F(eth_worker_veth, a_bidirectional_worker_sends_only_what_it_received)
{
	::testing::internal::CaptureStdout();
	{
		std::unique_ptr<worker> bidir;
		std::thread body;
		kova::sdk_eth_test::run_in_namespace(net.b(), [&] {
			queue_resources res{1, 1, 64};
			bidir = create_eth_bidir_worker(9, command_map(8, 64), res.dev, &port);
			EXPECT_STREQ(bidir->get_type(), "eth_bidir");
			body = std::thread{[&] {
				ASSERT_TRUE(kova::sdk_eth_test::enter_namespace(net.b()));
				bidir->thread_proc();
			}};
			std::this_thread::sleep_for(std::chrono::milliseconds{200});
			// Four receives posted, nothing received: nothing sent.
			EXPECT_EQ(counters_of(net.b()).tx_frames, 0U);
			send_from(net.a(), 3);
			auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
			while (counters_of(net.b()).tx_frames < 3 && std::chrono::steady_clock::now() < deadline)
				std::this_thread::sleep_for(std::chrono::milliseconds{5});
			bidir->terminate();
			body.join();
			bidir.reset();
		});
	}
	std::string const printed = ::testing::internal::GetCapturedStdout();
	EXPECT_NE(printed.find("After create recv bufs = 4\n"), std::string::npos) << printed;
	EXPECT_NE(printed.find("After create send bufs = 8\n"), std::string::npos) << printed;
	EXPECT_NE(printed.find("Companion App sent 3 frames\nCompanion App received 3 frames\n"), std::string::npos)
		<< printed;
	EXPECT_EQ(counters_of(net.b()).tx_frames, 3U);
}

TEST_F(eth_worker_veth, a_worker_stopped_before_any_completion_counts_nothing)
{
	::testing::internal::CaptureStdout();
	kova::sdk_eth_test::run_in_namespace(net.b(), [&] {
		queue_resources res{1, 1, 64};
		auto receiver = create_eth_recv_worker(4, command_map(16, 2048), res.dev, &port);
		receiver->terminate();
		receiver->thread_proc();
	});
	std::string const printed = ::testing::internal::GetCapturedStdout();
	EXPECT_NE(printed.find("Companion App received 0 frames\n"), std::string::npos) << printed;
}

} // namespace
} // namespace kova::bench::companion::worker
