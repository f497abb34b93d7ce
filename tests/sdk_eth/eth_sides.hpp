// The two ends of a test over the veth pair: a sender that sends frames through a send queue until
// a number of them completed, and a receiver whose receive queue is steered by a root pipe and keeps
// every posted task busy until told to stop.
#pragma once

#include "sdk_eth/eth_fixture.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

namespace kova::sdk_eth_test {

using frame_bytes = std::vector<uint8_t>;

// A frame of `size` bytes: the header "FFFFFF" "012233" 08 00, then the byte `fill`.
inline frame_bytes test_frame(std::size_t size, uint8_t fill = 0x11)
{
	frame_bytes frame(size, fill);
	std::memcpy(frame.data(), "FFFFFF012233\x08\x00", size < 14 ? size : 14);
	return frame;
}

struct send_result {
	uint64_t completed_ok = 0;
	uint64_t completed_failed = 0;
	std::vector<kova_error> statuses; // of the failed ones
};

// Sends `total` frames, cycling over `frames` (each copied into `copies` buffers), from the calling
// thread's namespace through device `device_index`.
inline send_result send_frames(uint32_t device_index, const std::vector<frame_bytes> &frames, uint64_t total,
			       uint32_t copies = 1, uint8_t l3 = 0, uint8_t l4 = 0)
{
	struct state {
		send_result result;
		uint64_t submitted = 0;
		uint64_t total = 0;
	} s;
	s.total = total;
	std::size_t largest = 0;
	for (auto const &frame : frames)
		largest = std::max(largest, frame.size());
	uint32_t const buffer_count = static_cast<uint32_t>(frames.size()) * copies;
	std::vector<std::unique_ptr<queue_resources>> parts;
	// One region per distinct frame, all on one engine: the first part's.
	for (auto const &frame : frames)
		parts.push_back(std::make_unique<queue_resources>(device_index, copies, static_cast<uint32_t>(largest), frame));
	kova_pe *pe = parts[0]->pe;
	kova_eth_txq *txq = nullptr;
	EXPECT_EQ(kova_eth_txq_create(parts[0]->dev, 64, &txq), KOVA_SUCCESS);
	if (txq == nullptr)
		return s.result;
	auto on_ok = [](kova_task *task, kova_data, kova_data ctx_user) {
		auto *st = static_cast<state *>(ctx_user.ptr);
		++st->result.completed_ok;
		if (st->submitted < st->total && kova_task_submit(task) == KOVA_SUCCESS)
			++st->submitted;
	};
	auto on_error = [](kova_task *task, kova_data, kova_data ctx_user) {
		auto *st = static_cast<state *>(ctx_user.ptr);
		++st->result.completed_failed;
		st->result.statuses.push_back(kova_task_get_status(task));
		if (st->submitted < st->total && kova_task_submit(task) == KOVA_SUCCESS)
			++st->submitted;
	};
	kova_ctx *ctx = kova_eth_txq_as_kova_ctx(txq);
	EXPECT_EQ(kova_eth_txq_set_type(txq, KOVA_ETH_TXQ_TYPE_REGULAR), KOVA_SUCCESS);
	EXPECT_EQ(kova_eth_txq_set_l3_chksum_offload(txq, l3), KOVA_SUCCESS);
	EXPECT_EQ(kova_eth_txq_set_l4_chksum_offload(txq, l4), KOVA_SUCCESS);
	EXPECT_EQ(kova_eth_txq_task_send_set_conf(txq, on_ok, on_error, buffer_count), KOVA_SUCCESS);
	EXPECT_EQ(kova_ctx_set_user_data(ctx, kova_data{.ptr = &s}), KOVA_SUCCESS);
	EXPECT_EQ(kova_pe_connect_ctx(pe, ctx), KOVA_SUCCESS);
	EXPECT_EQ(kova_ctx_start(ctx), KOVA_SUCCESS);
	std::vector<kova_task *> tasks;
	for (auto const &part : parts) {
		for (kova_buf *buf : part->buffers) {
			kova_eth_txq_task_send *task = nullptr;
			EXPECT_EQ(kova_eth_txq_task_send_allocate_init(txq, buf, kova_data{}, &task), KOVA_SUCCESS);
			tasks.push_back(kova_eth_txq_task_send_as_kova_task(task));
		}
	}
	for (kova_task *task : tasks) {
		if (s.submitted < total && kova_task_submit(task) == KOVA_SUCCESS)
			++s.submitted;
	}
	auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{60};
	while (s.result.completed_ok + s.result.completed_failed < total && std::chrono::steady_clock::now() < deadline)
		kova_pe_progress(pe);
	kova_error stop = kova_ctx_stop(ctx);
	while (stop == KOVA_ERROR_IN_PROGRESS && std::chrono::steady_clock::now() < deadline) {
		kova_pe_progress(pe);
		stop = kova_ctx_stop(ctx);
	}
	EXPECT_EQ(stop, KOVA_SUCCESS);
	for (kova_task *task : tasks)
		EXPECT_EQ(kova_task_free(task), KOVA_SUCCESS);
	EXPECT_EQ(kova_eth_txq_destroy(txq), KOVA_SUCCESS);
	return s.result;
}

// Flow objects of a root pipe on the device's interface whose one match-all entry forwards to the
// listed queues.
class steering {
public:
	steering(kova_dev *dev, uint16_t port_id, std::vector<uint16_t> queues) : m_queues{std::move(queues)}
	{
		EXPECT_EQ(kova_flow_cfg_create(&m_cfg), KOVA_SUCCESS);
		EXPECT_EQ(kova_flow_cfg_set_pipe_queues(m_cfg, 1), KOVA_SUCCESS);
		EXPECT_EQ(kova_flow_init_v1(m_cfg), KOVA_SUCCESS);
		EXPECT_EQ(kova_flow_port_cfg_create(&m_port_cfg), KOVA_SUCCESS);
		EXPECT_EQ(kova_flow_port_cfg_set_port_id(m_port_cfg, port_id), KOVA_SUCCESS);
		EXPECT_EQ(kova_flow_port_cfg_set_dev(m_port_cfg, dev), KOVA_SUCCESS);
		EXPECT_EQ(kova_flow_port_start(m_port_cfg, &m_port), KOVA_SUCCESS);
		EXPECT_EQ(kova_flow_pipe_cfg_create(&m_pipe_cfg, m_port), KOVA_SUCCESS);
		EXPECT_EQ(kova_flow_pipe_cfg_set_is_root(m_pipe_cfg, 1), KOVA_SUCCESS);
		kova_flow_match const match{};
		EXPECT_EQ(kova_flow_pipe_cfg_set_match_v1(m_pipe_cfg, &match, nullptr), KOVA_SUCCESS);
		kova_flow_fwd fwd{};
		fwd.type = KOVA_FLOW_FWD_RSS;
		fwd.target.rss.rss_type = KOVA_FLOW_RSS_QUEUES;
		fwd.rss_queues = m_queues.data();
		fwd.num_of_queues = static_cast<uint32_t>(m_queues.size());
		kova_flow_fwd miss{};
		miss.type = KOVA_FLOW_FWD_DROP;
		EXPECT_EQ(kova_flow_pipe_create_v1(m_pipe_cfg, &fwd, &miss, &m_pipe), KOVA_SUCCESS);
		EXPECT_EQ(kova_flow_pipe_add_entry_v1(0, m_pipe, &match, nullptr, nullptr, nullptr, 0, nullptr, &m_entry),
			  KOVA_SUCCESS);
		EXPECT_EQ(kova_flow_entries_process(m_port, 0, 10000, 4), KOVA_SUCCESS);
	}
	steering(const steering &) = delete;
	steering &operator=(const steering &) = delete;
	~steering()
	{
		kova_flow_pipe_destroy(m_pipe);
		kova_flow_pipe_cfg_destroy(m_pipe_cfg);
		kova_flow_port_stop(m_port);
		kova_flow_port_cfg_destroy(m_port_cfg);
		kova_flow_destroy();
		kova_flow_cfg_destroy(m_cfg);
	}

private:
	std::vector<uint16_t> m_queues;
	kova_flow_cfg *m_cfg = nullptr;
	kova_flow_port_cfg *m_port_cfg = nullptr;
	kova_flow_port *m_port = nullptr;
	kova_flow_pipe_cfg *m_pipe_cfg = nullptr;
	kova_flow_pipe *m_pipe = nullptr;
	kova_flow_pipe_entry *m_entry = nullptr;
};

struct receive_result {
	uint64_t received = 0;
	uint64_t failed = 0;
	std::vector<frame_bytes> first_frames; // up to 16
};

// Receives on device `device_index` as queue `queue_id`, steered by a root pipe forwarding to
// `steer_to`, with `tasks` posted buffers of `buffer_size` bytes, until `stop` is set and no frame
// arrived for 300 ms. `ready` is set once frames can be received.
inline receive_result receive_frames(uint32_t device_index, uint16_t queue_id, std::vector<uint16_t> steer_to,
				     uint32_t tasks, uint32_t buffer_size, std::atomic<bool> &ready,
				     std::atomic<bool> &stop)
{
	receive_result result;
	queue_resources res{device_index, tasks, buffer_size};
	kova_eth_rxq *rxq = nullptr;
	EXPECT_EQ(kova_eth_rxq_create(res.dev, tasks, buffer_size, &rxq), KOVA_SUCCESS);
	if (rxq == nullptr) {
		ready = true;
		return result;
	}
	auto on_ok = [](kova_task *task, kova_data, kova_data ctx_user) {
		auto *r = static_cast<receive_result *>(ctx_user.ptr);
		++r->received;
		kova_buf *pkt = kova_eth_rxq_task_recv_get_pkt(reinterpret_cast<kova_eth_rxq_task_recv *>(task));
		if (r->first_frames.size() < 16) {
			void *data = nullptr;
			std::size_t len = 0;
			kova_buf_get_data(pkt, &data);
			kova_buf_get_data_len(pkt, &len);
			auto const *bytes = static_cast<const uint8_t *>(data);
			r->first_frames.emplace_back(bytes, bytes + len);
		}
		kova_buf_reset_data_len(pkt);
		kova_task_submit(task);
	};
	auto on_error = [](kova_task *, kova_data, kova_data ctx_user) {
		++static_cast<receive_result *>(ctx_user.ptr)->failed;
	};
	kova_ctx *ctx = kova_eth_rxq_as_kova_ctx(rxq);
	EXPECT_EQ(kova_eth_rxq_set_type(rxq, KOVA_ETH_RXQ_TYPE_REGULAR), KOVA_SUCCESS);
	EXPECT_EQ(kova_eth_rxq_task_recv_set_conf(rxq, on_ok, on_error, tasks), KOVA_SUCCESS);
	EXPECT_EQ(kova_ctx_set_user_data(ctx, kova_data{.ptr = &result}), KOVA_SUCCESS);
	EXPECT_EQ(kova_pe_connect_ctx(res.pe, ctx), KOVA_SUCCESS);
	EXPECT_EQ(kova_ctx_start(ctx), KOVA_SUCCESS);
	EXPECT_EQ(kova_eth_rxq_apply_queue_id(rxq, queue_id), KOVA_SUCCESS);
	std::vector<kova_task *> posted;
	{
		steering rules{res.dev, static_cast<uint16_t>(device_index), std::move(steer_to)};
		for (kova_buf *buf : res.buffers) {
			kova_eth_rxq_task_recv *task = nullptr;
			EXPECT_EQ(kova_eth_rxq_task_recv_allocate_init(rxq, buf, kova_data{}, &task), KOVA_SUCCESS);
			posted.push_back(kova_eth_rxq_task_recv_as_kova_task(task));
			EXPECT_EQ(kova_task_submit(posted.back()), KOVA_SUCCESS);
		}
		ready = true;
		auto last_frame = std::chrono::steady_clock::now();
		uint64_t seen = 0;
		kova_test_eth_counters counters{};
		char name[64] = {};
		kova_devinfo_get_iface_name(kova_dev_as_devinfo(res.dev), name, sizeof(name));
		auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{120};
		for (uint64_t turn = 0;; ++turn) {
			kova_pe_progress(res.pe);
			if (turn % 512 != 0)
				continue;
			auto const now = std::chrono::steady_clock::now();
			// Frames that were dropped count as arrivals too.
			kova_test_eth_get_counters(name, &counters);
			uint64_t const arrived = result.received + counters.rx_dropped_too_large + counters.rx_dropped_no_match +
						 counters.rx_dropped_unknown_queue + counters.rx_dropped_by_rule;
			if (arrived != seen) {
				seen = arrived;
				last_frame = now;
			}
			if ((stop && now - last_frame > std::chrono::milliseconds{300}) || now > deadline)
				break;
		}
	}
	kova_error stopped = kova_ctx_stop(ctx);
	for (int i = 0; stopped == KOVA_ERROR_IN_PROGRESS && i < 1000; ++i) {
		kova_pe_progress(res.pe);
		stopped = kova_ctx_stop(ctx);
	}
	EXPECT_EQ(stopped, KOVA_SUCCESS);
	for (kova_task *task : posted)
		EXPECT_EQ(kova_task_free(task), KOVA_SUCCESS);
	EXPECT_EQ(kova_eth_rxq_destroy(rxq), KOVA_SUCCESS);
	return result;
}

} // namespace kova::sdk_eth_test
