// The Ethernet workers. Their completion callbacks run inside kova_pe_progress on the worker's
// thread: they only move tasks to a pending array sized for every task and count; a failure is
// recorded and raised by thread_proc once the progress call has returned.
#include "companion/worker/eth_worker.hpp"

#include "aligned_buffer.hpp"
#include "companion/worker/worker_command_map.hpp"
#include "dl/kova_eth_api.hpp"
#include "kova_exception.hpp"
#include "utility/eth_common.hpp"
#include "utility/kova_utils.hpp"

#include <kova/buf.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kova::bench::companion::worker {

namespace {

constexpr const char *command_record = "create_eth_worker_command";
constexpr uint32_t min_frame_size = 14;

const dl::kova_eth_api *get_api_or_throw()
{
	const dl::kova_eth_api *api = dl::kova_eth_api::singleton();
	if (api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_eth library is not installed");
	return api;
}

// The size and count a worker can hold, or the reason it cannot.
void check_sizes(const create_eth_worker_command &command, bool paired)
{
	if (command.buffer_size < min_frame_size)
		KOVA_THROW(29, "Buffer size is too small for ethernet header, buffer must be at least " +
				       std::to_string(min_frame_size) + " bytes");
	uint64_t const region = uint64_t{command.buffer_size} * command.buffer_count;
	if (region == 0 || region > UINT32_MAX)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid Ethernet worker memory: buffer size " +
							     std::to_string(command.buffer_size) + " x buffer count " +
							     std::to_string(command.buffer_count) + " bytes");
	if (paired && command.buffer_count % 2 != 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "eth_bidir needs an even buffer count, got " +
							     std::to_string(command.buffer_count));
}

// The SDK hands a queue's task to its callbacks by its generic handle, which is the task itself.
kova_eth_rxq_task_recv *as_recv(kova_task *task) noexcept
{
	return reinterpret_cast<kova_eth_rxq_task_recv *>(task);
}

kova_eth_txq_task_send *as_send(kova_task *task) noexcept
{
	return reinterpret_cast<kova_eth_txq_task_send *>(task);
}

// Tasks waiting to be (re)submitted: one slot per task, filled by the callbacks.
struct pending_list {
	std::unique_ptr<kova_task *[]> slots;
	uint32_t count = 0;

	void allocate(uint32_t capacity) { slots = std::make_unique<kova_task *[]>(capacity); }
	void push(kova_task *task) noexcept { slots[count++] = task; }
};

} // namespace

attribute_map create_eth_worker_command_to_map(const create_eth_worker_command &command)
{
	attribute_map map;
	write_number(map, "buffer-size", command.buffer_size);
	write_number(map, "buffer-count", command.buffer_count);
	write_number(map, "burst-size", command.burst_size);
	write_number(map, "flags", command.flags);
	return map;
}

create_eth_worker_command create_eth_worker_command_from_map(const attribute_map &map)
{
	if (!has_keys(map, {"buffer-size", "buffer-count", "burst-size", "flags"}))
		throw_invalid(command_record);
	create_eth_worker_command command{};
	command.buffer_size = number_or_throw(map.at("buffer-size"), command_record, "buffer size");
	command.buffer_count = number_or_throw(map.at("buffer-count"), command_record, "buffer count");
	command.burst_size = number_or_throw(map.at("burst-size"), command_record, "burst size");
	command.flags = number_or_throw(map.at("flags"), command_record, "flags");
	return command;
}

class eth_worker_base : public worker {
public:
	eth_worker_base(const eth_worker_base &) = delete;
	eth_worker_base &operator=(const eth_worker_base &) = delete;
	~eth_worker_base() override { teardown(); }

	void populate_create_worker_response_fields(attribute_map & /*fields*/) override {}
	void terminate() override { m_stop.exchange(true); }
	[[nodiscard]] uint32_t get_id() const override { return m_cold->id; }

	// Nothing to wait for: an Ethernet worker has no connection to make.
	void poll_eth_connection() {}

protected:
	struct cold_data {
		const dl::kova_eth_api *api = nullptr;
		create_eth_worker_command command{};
		kova_pe *pe = nullptr;
		std::unique_ptr<utility::eth_rxq> rxq;
		std::unique_ptr<utility::eth_txq> txq;
		std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>> mmap;
		kova_dev *dev = nullptr;
		std::unique_ptr<kova_buf_inventory, kova::delegated_deleter<kova_buf_inventory>> inventory;
		aligned_buffer region{0};
		std::optional<std::thread> poll_thread;
		std::vector<kova_buf *> buffers;
		uint32_t id = 0;
	};

	eth_worker_base(uint32_t id, const attribute_map &attributes, kova_dev *dev, bool paired)
	    : m_cold{std::make_unique<cold_data>()}
	{
		m_cold->api = get_api_or_throw();
		m_api = m_cold->api;
		m_cold->command = create_eth_worker_command_from_map(attributes);
		check_sizes(m_cold->command, paired);
		m_cold->id = id;
		m_cold->dev = dev;
		create_eth_worker_command const &command = m_cold->command;
		m_cold->region.resize(uint64_t{command.buffer_size} * command.buffer_count);
		kova_dev *devices[] = {dev};
		m_cold->mmap = utility::make_mmap(m_cold->region, devices, kova::optional<uint32_t>{1U});
		m_cold->inventory = utility::make_inventory(command.buffer_count);
		if (kova_error const err = kova_pe_create(&m_cold->pe))
			KOVA_THROW(err, "Unable to create progress engine");
		m_pe = m_cold->pe;
		m_cold->buffers.reserve(command.buffer_count);
	}

	[[nodiscard]] const create_eth_worker_command &command() const noexcept { return m_cold->command; }
	[[nodiscard]] kova_data as_ctx_user() noexcept { return kova_data{.ptr = this}; }

	utility::eth_rxq::configuration rx_configuration() const noexcept
	{
		create_eth_worker_command const &c = m_cold->command;
		return {0, utility::eth_rx_max_packet_size(c.buffer_size), c.buffer_count, c.burst_size};
	}

	utility::eth_txq::configuration tx_configuration() const noexcept
	{
		create_eth_worker_command const &c = m_cold->command;
		return {0, c.buffer_size, c.buffer_count, c.burst_size, c.flags & 1U, (c.flags >> 1) & 1U};
	}

	// Cuts `count` buffers from the region, starting at buffer `first`; sending ones carry the frame.
	void cut_buffers(uint32_t first, uint32_t count, bool with_frame)
	{
		uint32_t const size = m_cold->command.buffer_size;
		for (uint32_t i = first; i < first + count; ++i) {
			auto *at = reinterpret_cast<char *>(m_cold->region.data()) + std::size_t{i} * size;
			if (with_frame) {
				std::memcpy(at, eth_frame_header, sizeof(eth_frame_header));
				std::memset(at + sizeof(eth_frame_header), eth_frame_fill, size - sizeof(eth_frame_header));
			}
			kova_buf *buf = nullptr;
			if (kova_error const err = kova_buf_inventory_buf_get_by_args(m_cold->inventory.get(), m_cold->mmap.get(),
										     at, size, at, with_frame ? size : 0, &buf))
				KOVA_THROW(err, "Unable to allocate KOVA buf");
			m_cold->buffers.push_back(buf);
		}
	}

	void start_poll_thread()
	{
		m_cold->poll_thread.emplace([this] { poll_eth_connection(); });
	}

	void join_poll_thread() noexcept
	{
		if (m_cold->poll_thread && m_cold->poll_thread->joinable())
			m_cold->poll_thread->join();
		m_cold->poll_thread.reset();
	}

	// Submits from the last slot down; a full queue (7) leaves the rest for the next pass.
	void submit(pending_list &list, const char *failure)
	{
		while (list.count != 0) {
			kova_error const err = kova_task_submit(list.slots[list.count - 1]);
			if (err == KOVA_ERROR_NO_MEMORY)
				return;
			if (err != KOVA_SUCCESS)
				KOVA_THROW(err, failure);
			--list.count;
		}
	}

	void drain() noexcept
	{
		while (kova_pe_progress(m_pe) != 0) {
		}
	}

	// The loop of a worker with one queue: one task per buffer, resubmitted until stopped.
	template <typename MakeTask>
	void run_one_queue(MakeTask make_task, const char *count_line, const char *submit_failure)
	{
		join_poll_thread();
		m_pending.allocate(static_cast<uint32_t>(m_cold->buffers.size()));
		for (kova_buf *buf : m_cold->buffers)
			m_pending.push(make_task(buf));
		for (;;) {
			if (m_stop.load()) {
				std::printf(count_line, m_frames);
				throw_if_failed();
				return;
			}
			submit(m_pending, submit_failure);
			drain();
		}
	}

	// A completed task's packet: present, its task successful, its length readable; else recorded.
	bool check_packet(kova_task *task, const kova_buf *pkt, const char *packet_failure, const char *size_failure) noexcept
	{
		if (pkt == nullptr) {
			fail(KOVA_ERROR_INVALID_VALUE, packet_failure);
			return false;
		}
		if (kova_error const status = kova_task_get_status(task)) {
			fail(status, packet_failure);
			return false;
		}
		std::size_t len = 0;
		if (kova_error const err = kova_buf_get_data_len(pkt, &len)) {
			fail(err, size_failure);
			return false;
		}
		return true;
	}

	// Called from a callback: keeps the first failure and stops the worker.
	void fail(kova_error code, const char *text) noexcept
	{
		if (m_failure_code == 0) {
			m_failure_code = code != 0 ? code : kova_error{KOVA_ERROR_UNKNOWN};
			m_failure_text = text;
		}
		m_stop.store(true, std::memory_order_relaxed);
	}

	void task_error(kova_task *task, const char *kind) noexcept
	{
		if (m_tearing_down)
			return;
		kova_error const status = kova_task_get_status(task);
		if (m_failure_code == 0) {
			m_failure_code = status != 0 ? status : kova_error{KOVA_ERROR_UNKNOWN};
			m_failure_text = kind;
			m_failure_is_task = true;
		}
		m_stop.store(true, std::memory_order_relaxed);
	}

	// After the loop: a failure a callback recorded leaves thread_proc.
	void throw_if_failed() const
	{
		if (m_failure_code == 0)
			return;
		if (m_failure_is_task)
			KOVA_THROW(m_failure_code, std::string{get_type()} + " worker " + std::to_string(get_id()) + ": " +
							   m_failure_text + " task failed: " + kova_error_get_name(m_failure_code));
		KOVA_THROW(m_failure_code, m_failure_text);
	}

	// Queues first (they drain what is in flight), then the engine, buffers, inventory and map.
	void teardown() noexcept
	{
		if (!m_cold)
			return;
		m_tearing_down = true;
		m_stop.store(true);
		join_poll_thread();
		m_cold->txq.reset();
		m_cold->rxq.reset();
		if (m_cold->pe != nullptr)
			static_cast<void>(kova_pe_destroy(m_cold->pe));
		m_cold->pe = nullptr;
		for (kova_buf *buf : m_cold->buffers)
			static_cast<void>(kova_buf_dec_refcount(buf, nullptr));
		m_cold->buffers.clear();
		m_cold->inventory.reset();
		m_cold->mmap.reset();
		m_cold.reset();
	}

	// Hot: what the thread and the callbacks touch.
	std::atomic<bool> m_stop{false};
	std::unique_ptr<cold_data> m_cold;
	kova_pe *m_pe = nullptr;
	const dl::kova_eth_api *m_api = nullptr;
	pending_list m_pending;
	uint64_t m_frames = 0;
	bool m_tearing_down = false;
	bool m_failure_is_task = false;
	kova_error m_failure_code = 0;
	const char *m_failure_text = "";
};

namespace {

template <typename Worker>
Worker *self_of(kova_data ctx_user) noexcept
{
	return static_cast<Worker *>(ctx_user.ptr);
}

} // namespace

class eth_recv_worker final : public eth_worker_base {
public:
	eth_recv_worker(uint32_t id, const attribute_map &attributes, kova_dev *dev, utility::dpdk_context *dpdk)
	    : eth_worker_base{id, attributes, dev, false}
	{
		m_cold->rxq = std::make_unique<utility::eth_rxq>(rx_configuration(), as_ctx_user(), dev, m_pe, dpdk);
		m_cold->rxq->configure_task_pool({on_task_complete, on_task_error});
		m_cold->rxq->start();
		cut_buffers(0, command().buffer_count, false);
		start_poll_thread();
	}
	~eth_recv_worker() override { teardown(); }

	void thread_proc() override
	{
		run_one_queue(
			[this](kova_buf *buf) {
				return m_api->kova_eth_rxq_task_recv_as_kova_task(m_cold->rxq->create_task(buf, kova_data{}));
			},
			"Companion App received %" PRIu64 " frames\n", "Failed to submit receive task");
	}

	[[nodiscard]] const char *get_type() const override { return "eth_recv"; }

	static void on_task_complete(kova_task *task, kova_data /*task_user*/, kova_data ctx_user)
	{
		auto *self = self_of<eth_recv_worker>(ctx_user);
		if (self->m_tearing_down)
			return;
		self->m_pending.push(task);
		kova_buf *pkt = self->m_api->kova_eth_rxq_task_recv_get_pkt(as_recv(task));
		if (!self->check_packet(task, pkt, "Failed to get packet of Rx task", "Failed to get Rx packet size"))
			return;
		++self->m_frames;
		static_cast<void>(kova_buf_reset_data_len(pkt));
	}

	static void on_task_error(kova_task *task, kova_data /*task_user*/, kova_data ctx_user)
	{
		self_of<eth_recv_worker>(ctx_user)->task_error(task, "receive");
	}
};

class eth_send_worker final : public eth_worker_base {
public:
	eth_send_worker(uint32_t id, const attribute_map &attributes, kova_dev *dev)
	    : eth_worker_base{id, attributes, dev, false}
	{
		m_cold->txq = std::make_unique<utility::eth_txq>(tx_configuration(), as_ctx_user(), dev, m_pe);
		m_cold->txq->configure_task_pool({on_task_complete, on_task_error});
		m_cold->txq->start();
		cut_buffers(0, command().buffer_count, true);
		start_poll_thread();
	}
	~eth_send_worker() override { teardown(); }

	void thread_proc() override
	{
		run_one_queue(
			[this](kova_buf *buf) {
				return m_api->kova_eth_txq_task_send_as_kova_task(m_cold->txq->create_task(buf, kova_data{}));
			},
			"Companion App transmitted %" PRIu64 " frames\n", "Failed to submit send task");
	}

	[[nodiscard]] const char *get_type() const override { return "eth_send"; }

	static void on_task_complete(kova_task *task, kova_data /*task_user*/, kova_data ctx_user)
	{
		auto *self = self_of<eth_send_worker>(ctx_user);
		if (self->m_tearing_down)
			return;
		self->m_pending.push(task);
		const kova_buf *pkt = self->m_api->kova_eth_txq_task_send_get_pkt(as_send(task));
		if (!self->check_packet(task, pkt, "Failed to get packet of Tx task", "Failed to get Tx packet size"))
			return;
		// The frame goes out again unchanged.
		++self->m_frames;
	}

	static void on_task_error(kova_task *task, kova_data /*task_user*/, kova_data ctx_user)
	{
		self_of<eth_send_worker>(ctx_user)->task_error(task, "send");
	}
};

class eth_bidir_worker final : public eth_worker_base {
public:
	eth_bidir_worker(uint32_t id, const attribute_map &attributes, kova_dev *dev, utility::dpdk_context *dpdk)
	    : eth_worker_base{id, attributes, dev, true}
	{
		m_cold->rxq = std::make_unique<utility::eth_rxq>(rx_configuration(), as_ctx_user(), dev, m_pe, dpdk);
		m_cold->rxq->configure_task_pool({on_task_complete_recv, on_task_error_recv});
		m_cold->txq = std::make_unique<utility::eth_txq>(tx_configuration(), as_ctx_user(), dev, m_pe);
		m_cold->txq->configure_task_pool({on_task_complete_send, on_task_error_send});
		m_cold->txq->start();
		m_cold->rxq->start();
		uint32_t const half = command().buffer_count / 2;
		cut_buffers(0, half, false);
		std::printf("After create recv bufs = %zu\n", m_cold->buffers.size());
		cut_buffers(half, half, true);
		std::printf("After create send bufs = %zu\n", m_cold->buffers.size());
		start_poll_thread();
	}
	~eth_bidir_worker() override { teardown(); }

	void thread_proc() override
	{
		join_poll_thread();
		auto const half = static_cast<uint32_t>(m_cold->buffers.size() / 2);
		m_pending.allocate(half);
		m_send_pending.allocate(half);
		for (uint32_t i = 0; i < half; ++i)
			m_pending.push(m_api->kova_eth_rxq_task_recv_as_kova_task(
				m_cold->rxq->create_task(m_cold->buffers[i], kova_data{})));
		for (uint32_t i = 0; i < half; ++i)
			m_send_pending.push(m_api->kova_eth_txq_task_send_as_kova_task(
				m_cold->txq->create_task(m_cold->buffers[half + i], kova_data{})));
		for (uint32_t i = 0; i < half; ++i) {
			kova_task *recv = m_pending.slots[i];
			kova_task *send = m_send_pending.slots[i];
			if (kova_error const err = kova_task_set_user_data(send, kova_data{.ptr = recv}))
				KOVA_THROW(err, "Failed to pair send task");
			if (kova_error const err = kova_task_set_user_data(recv, kova_data{.ptr = send}))
				KOVA_THROW(err, "Failed to pair receive task");
		}
		// Sends wait for the receive they answer.
		m_send_pending.count = 0;
		for (;;) {
			if (m_stop.load()) {
				std::printf("Companion App sent %" PRIu64 " frames\n", m_sent);
				std::printf("Companion App received %" PRIu64 " frames\n", m_frames);
				throw_if_failed();
				return;
			}
			submit(m_pending, "Failed to submit receive task");
			submit(m_send_pending, "Failed to submit send task");
			drain();
		}
	}

	[[nodiscard]] const char *get_type() const override { return "eth_bidir"; }

	static void on_task_complete_recv(kova_task *task, kova_data task_user, kova_data ctx_user)
	{
		auto *self = self_of<eth_bidir_worker>(ctx_user);
		if (self->m_tearing_down)
			return;
		kova_buf *pkt = self->m_api->kova_eth_rxq_task_recv_get_pkt(as_recv(task));
		if (!self->check_packet(task, pkt, "Failed to get packet of Rx task", "Failed to get Rx packet size"))
			return;
		++self->m_frames;
		static_cast<void>(kova_buf_reset_data_len(pkt));
		self->m_send_pending.push(static_cast<kova_task *>(task_user.ptr));
	}

	static void on_task_complete_send(kova_task *task, kova_data task_user, kova_data ctx_user)
	{
		auto *self = self_of<eth_bidir_worker>(ctx_user);
		if (self->m_tearing_down)
			return;
		if (kova_error const status = kova_task_get_status(task))
			return self->fail(status, "Failed to get packet of Tx task");
		++self->m_sent;
		self->m_pending.push(static_cast<kova_task *>(task_user.ptr));
	}

	static void on_task_error_recv(kova_task *task, kova_data /*task_user*/, kova_data ctx_user)
	{
		self_of<eth_bidir_worker>(ctx_user)->task_error(task, "receive");
	}

	static void on_task_error_send(kova_task *task, kova_data /*task_user*/, kova_data ctx_user)
	{
		self_of<eth_bidir_worker>(ctx_user)->task_error(task, "send");
	}

private:
	pending_list m_send_pending;
	uint64_t m_sent = 0;
};

std::unique_ptr<worker> create_eth_recv_worker(uint32_t id, const attribute_map &attributes, kova_dev *dev,
					       utility::dpdk_context *dpdk)
{
	return std::make_unique<eth_recv_worker>(id, attributes, dev, dpdk);
}

std::unique_ptr<worker> create_eth_send_worker(uint32_t id, const attribute_map &attributes, kova_dev *dev)
{
	return std::make_unique<eth_send_worker>(id, attributes, dev);
}

std::unique_ptr<worker> create_eth_bidir_worker(uint32_t id, const attribute_map &attributes, kova_dev *dev,
						utility::dpdk_context *dpdk)
{
	return std::make_unique<eth_bidir_worker>(id, attributes, dev, dpdk);
}

} // namespace kova::bench::companion::worker
