// The Ethernet queue owners against the stand-in libraries: settings reach the SDK, steering goes
// through one flow port per device, teardown drains before it frees, and frames cross a veth pair.
#include "utility/eth_common.hpp"

#include "kova_exception.hpp"
#include "sdk_eth/eth_fixture.hpp"
#include "support/fixed_dpdk_port.hpp"
#include "support/kova_throws.hpp"
#include "utility/kova_utils.hpp"

#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace kova::bench::utility {
namespace {

using kova::sdk_eth_test::queue_resources;
using kova::test::fixed_dpdk_port;
using kova::test::thrown_by;

std::string read_trace()
{
	std::string text(kova_test_trace_read(nullptr, 0), '\0');
	kova_test_trace_read(text.data(), text.size() + 1);
	return text;
}

std::size_t count_of(const std::string &text, const std::string &line)
{
	std::size_t count = 0;
	for (std::size_t at = text.find(line + "\n"); at != std::string::npos; at = text.find(line + "\n", at + 1)) {
		if (at == 0 || text[at - 1] == '\n')
			++count;
	}
	return count;
}

void ignore(kova_task *, kova_data, kova_data) {}

void count_call(kova_task *, kova_data, kova_data ctx_user)
{
	++*static_cast<int *>(ctx_user.ptr);
}

// Queues on the loopback interface of the test's own namespace: nothing is sent here.
class eth_queue_settings : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		kova::sdk_eth_test::use_interfaces("lo", "lo");
		resources = std::make_unique<queue_resources>(0, 4, 2048);
		kova_test_trace_enable(1);
	}
	void TearDown() override
	{
		resources.reset();
		kova_test_reset();
	}

	std::unique_ptr<queue_resources> resources;
	queue_resources &res() { return *resources; }
	fixed_dpdk_port port{5};
};

struct memory_model_case {
	uint32_t model;
	const char *traced;  // the SDK type the queue was given, or null
	kova_error code;     // 0: built
	const char *message;
};

TEST_F(eth_queue_settings, receive_memory_models_select_the_sdk_types_in_reverse)
{
	memory_model_case const cases[] = {
		{0, "kova_eth_rxq_set_type(2)", 0, ""},
		// The stand-in has no managed memory pool: that type is refused by the SDK. The cyclic type is
		// taken (its queue then starts only with a GPU data path).
		{1, "kova_eth_rxq_set_type(1)", KOVA_ERROR_NOT_SUPPORTED, "Failed to set rxq memory model"},
		{2, "kova_eth_rxq_set_type(0)", 0, ""},
		{3, nullptr, KOVA_ERROR_INVALID_VALUE, "Unknown rxq memory model: (3)"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.model);
		kova_test_trace_enable(1);
		auto const make = [&] { eth_rxq{{c.model, 1518, 4, 4}, kova_data{}, res().dev, res().pe, &port}; };
		if (c.code == 0) {
			EXPECT_NO_THROW(make());
		} else {
			auto const error = thrown_by(make);
			EXPECT_EQ(error.code(), c.code);
			EXPECT_STREQ(error.what(), c.message);
		}
		std::string const trace = read_trace();
		if (c.traced != nullptr)
			EXPECT_EQ(count_of(trace, c.traced), 1U) << trace;
		else
			EXPECT_EQ(trace.find("kova_eth_rxq_set_type"), std::string::npos) << trace;
		// A queue that failed half-way is destroyed again.
		EXPECT_EQ(count_of(trace, "kova_eth_rxq_destroy"), 1U) << trace;
	}
}

TEST_F(eth_queue_settings, a_send_queue_takes_only_memory_model_zero)
{
	auto const error = thrown_by([&] { eth_txq{{1, 1518, 4, 4, 0, 0}, kova_data{}, res().dev, res().pe}; });
	EXPECT_EQ(error.code(), KOVA_ERROR_INVALID_VALUE);
	EXPECT_STREQ(error.what(), "Unknown txq memory model: (1)");
	EXPECT_EQ(count_of(read_trace(), "kova_eth_txq_destroy"), 1U);
}

TEST_F(eth_queue_settings, only_the_value_one_turns_a_checksum_offload_on)
{
	struct offload_case {
		uint32_t l3;
		uint32_t l4;
		const char *l3_traced;
		const char *l4_traced;
	} const cases[] = {
		{1, 1, "kova_eth_txq_set_l3_chksum_offload(1)", "kova_eth_txq_set_l4_chksum_offload(1)"},
		{2, 0, "kova_eth_txq_set_l3_chksum_offload(0)", "kova_eth_txq_set_l4_chksum_offload(0)"},
		{0, 2, "kova_eth_txq_set_l3_chksum_offload(0)", "kova_eth_txq_set_l4_chksum_offload(0)"},
		{0, 1, "kova_eth_txq_set_l3_chksum_offload(0)", "kova_eth_txq_set_l4_chksum_offload(1)"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(std::to_string(c.l3) + "/" + std::to_string(c.l4));
		kova_test_trace_enable(1);
		{
			eth_txq queue{{0, 1518, 4, 4, c.l3, c.l4}, kova_data{}, res().dev, res().pe};
		}
		std::string const trace = read_trace();
		EXPECT_EQ(count_of(trace, c.l3_traced), 1U) << trace;
		EXPECT_EQ(count_of(trace, c.l4_traced), 1U) << trace;
	}
}

TEST_F(eth_queue_settings, receive_queues_of_a_device_share_one_flow_port_on_its_own_port_id)
{
	{
		auto first = std::make_unique<eth_rxq>(eth_rxq::configuration{0, 1518, 4, 4}, kova_data{}, res().dev, res().pe,
						       &port);
		first->configure_task_pool({ignore, ignore});
		first->start();
		eth_rxq second{{0, 1518, 4, 4}, kova_data{}, res().dev, res().pe, &port};
		second.configure_task_pool({ignore, ignore});
		second.start();
		EXPECT_EQ(first->get_queue_id(), 128);
		EXPECT_EQ(second.get_queue_id(), 129);
		first.reset();
		// The released id is taken again.
		eth_rxq third{{0, 1518, 4, 4}, kova_data{}, res().dev, res().pe, &port};
		third.configure_task_pool({ignore, ignore});
		third.start();
		EXPECT_EQ(third.get_queue_id(), 128);
	}
	std::string const trace = read_trace();
	EXPECT_EQ(count_of(trace, "kova_flow_init_v1"), 1U) << trace;
	EXPECT_EQ(count_of(trace, "kova_flow_port_cfg_set_port_id(5)"), 1U) << trace;
	EXPECT_EQ(count_of(trace, "kova_flow_port_start(5)"), 1U) << trace;
	EXPECT_EQ(count_of(trace, "kova_eth_rxq_apply_queue_id(128)"), 2U) << trace;
	EXPECT_EQ(count_of(trace, "kova_eth_rxq_apply_queue_id(129)"), 1U) << trace;
	// One pipe per change of the queue set: three added, two removed while others lived.
	EXPECT_EQ(count_of(trace, "kova_flow_pipe_create_v1"), 5U) << trace;
	EXPECT_EQ(count_of(trace, "kova_flow_pipe_destroy"), 5U) << trace;
	EXPECT_EQ(count_of(trace, "kova_flow_pipe_cfg_destroy"), 5U) << trace;
	EXPECT_EQ(count_of(trace, "kova_flow_port_stop(5)"), 1U) << trace;
	EXPECT_EQ(count_of(trace, "kova_flow_port_cfg_destroy"), 1U) << trace;
	EXPECT_EQ(count_of(trace, "kova_flow_destroy"), 1U) << trace;
	EXPECT_EQ(count_of(trace, "kova_flow_cfg_destroy"), 1U) << trace;
	// The library is shut down only after the last port stopped.
	EXPECT_LT(trace.find("kova_flow_port_stop(5)"), trace.find("kova_flow_destroy"));
}

TEST_F(eth_queue_settings, teardown_stops_the_queue_before_it_frees_its_posted_tasks)
{
	int errors = 0;
	::testing::internal::CaptureStderr();
	{
		eth_rxq queue{{0, 1518, 4, 4}, kova_data{.ptr = &errors}, res().dev, res().pe, &port};
		queue.configure_task_pool({count_call, count_call});
		queue.start();
		for (kova_buf *buf : res().buffers)
			ASSERT_EQ(kova_task_submit(kova_eth_rxq_task_recv_as_kova_task(queue.create_task(buf, kova_data{}))),
				  KOVA_SUCCESS);
		kova_pe_progress(res().pe);
		// Posted tasks cannot be freed yet: they stay for the teardown.
		queue.destroy_all_tasks();
	}
	std::string const printed = ::testing::internal::GetCapturedStderr();
	// Every posted task came back through its callback before it was freed; the queue was destroyed.
	EXPECT_EQ(errors, 4);
	EXPECT_EQ(printed, "");
	EXPECT_EQ(count_of(read_trace(), "kova_eth_rxq_destroy"), 1U);
}

TEST_F(eth_queue_settings, destroying_all_tasks_and_then_the_queue_frees_each_task_once)
{
	eth_txq queue{{0, 1518, 4, 4, 0, 0}, kova_data{}, res().dev, res().pe};
	queue.configure_task_pool({ignore, ignore});
	queue.start();
	for (kova_buf *buf : res().buffers)
		queue.create_task(buf, kova_data{});
	uint32_t configured = 0;
	uint32_t allocated = 0;
	kova_ctx *ctx = kova_eth_txq_as_kova_ctx(queue.get_kova_obj());
	ASSERT_EQ(kova_test_ctx_get_num_tasks(ctx, &configured, &allocated), KOVA_SUCCESS);
	EXPECT_EQ(allocated, 4U);
	queue.destroy_all_tasks();
	ASSERT_EQ(kova_test_ctx_get_num_tasks(ctx, &configured, &allocated), KOVA_SUCCESS);
	EXPECT_EQ(allocated, 0U);
	queue.destroy_all_tasks();
}

// Frames of the workers' template cross the veth pair from a send queue to a steered receive queue.
TEST(eth_queues_veth, a_receive_queue_gets_every_frame_of_a_send_queue_with_its_header)
{
	kova_test_reset();
	kova::sdk_eth_test::veth_namespaces net{"kvq"};
	if (!net.ready()) {
		if (kova::sdk_eth_test::under_ci())
			FAIL() << "cannot create network namespaces and a veth pair (root needed)";
		GTEST_SKIP() << "cannot create network namespaces and a veth pair (root needed)";
	}
	kova::sdk_eth_test::use_interfaces(net.a(), net.b());
	constexpr uint64_t frames = 10000;
	constexpr uint32_t tasks = 256;
	std::vector<uint8_t> const frame = [] {
		std::vector<uint8_t> bytes(64, 0x11);
		std::memcpy(bytes.data(), "FFFFFF012233\x08\x00", 14);
		return bytes;
	}();

	struct receiver_state {
		uint64_t received = 0;
		uint64_t header_mismatches = 0;
	} rx_state;
	std::atomic<bool> ready{false};
	std::atomic<bool> done{false};
	std::thread receiver{[&] {
		ASSERT_TRUE(kova::sdk_eth_test::enter_namespace(net.b()));
		queue_resources rx_res{1, tasks, 2048};
		fixed_dpdk_port rx_port{1};
		auto on_ok = [](kova_task *task, kova_data, kova_data user) {
			auto *st = static_cast<receiver_state *>(user.ptr);
			kova_buf *pkt = kova_eth_rxq_task_recv_get_pkt(reinterpret_cast<kova_eth_rxq_task_recv *>(task));
			void *data = nullptr;
			kova_buf_get_data(pkt, &data);
			if (std::memcmp(data, "FFFFFF012233\x08\x00", 14) != 0)
				++st->header_mismatches;
			++st->received;
			kova_buf_reset_data_len(pkt);
			kova_task_submit(task);
		};
		eth_rxq queue{{0, eth_rx_max_packet_size(2048), tasks, tasks}, kova_data{.ptr = &rx_state}, rx_res.dev,
			      rx_res.pe, &rx_port};
		queue.configure_task_pool({on_ok, ignore});
		queue.start();
		for (kova_buf *buf : rx_res.buffers)
			ASSERT_EQ(kova_task_submit(kova_eth_rxq_task_recv_as_kova_task(queue.create_task(buf, kova_data{}))),
				  KOVA_SUCCESS);
		ready = true;
		// Until every frame came, or a second after the sender finished.
		std::optional<std::chrono::steady_clock::time_point> finished;
		while (rx_state.received < frames) {
			kova_pe_progress(rx_res.pe);
			if (!finished && done)
				finished = std::chrono::steady_clock::now();
			if (finished && std::chrono::steady_clock::now() - *finished > std::chrono::seconds{1})
				break;
		}
	}};
	while (!ready)
		std::this_thread::yield();
	kova::sdk_eth_test::run_in_namespace(net.a(), [&] {
		queue_resources tx_res{0, tasks, 64, frame};
		struct sender_state {
			uint64_t completed = 0;
			uint64_t submitted = 0;
		} tx_state;
		auto on_sent = [](kova_task *task, kova_data, kova_data user) {
			auto *st = static_cast<sender_state *>(user.ptr);
			++st->completed;
			if (st->submitted < frames && kova_task_submit(task) == KOVA_SUCCESS)
				++st->submitted;
		};
		eth_txq queue{{0, 64, tasks, tasks, 0, 0}, kova_data{.ptr = &tx_state}, tx_res.dev, tx_res.pe};
		queue.configure_task_pool({on_sent, ignore});
		queue.start();
		for (kova_buf *buf : tx_res.buffers) {
			if (kova_task_submit(kova_eth_txq_task_send_as_kova_task(queue.create_task(buf, kova_data{}))) ==
			    KOVA_SUCCESS)
				++tx_state.submitted;
		}
		while (tx_state.completed < frames)
			kova_pe_progress(tx_res.pe);
	});
	done = true;
	receiver.join();
	kova_test_eth_counters counters{};
	ASSERT_EQ(kova_test_eth_get_counters(net.b().c_str(), &counters), KOVA_SUCCESS);
	EXPECT_EQ(rx_state.header_mismatches, 0U);
	EXPECT_EQ(rx_state.received + counters.rx_dropped_no_task, frames);
	EXPECT_GE(rx_state.received, frames * 9 / 10);
	kova_test_reset();
}

} // namespace
} // namespace kova::bench::utility
