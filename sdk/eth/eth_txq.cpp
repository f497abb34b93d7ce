// Send queues: a TPACKET_V2 transmit ring on the device's interface that bypasses the queueing
// discipline. Execution copies the frame into a free slot (checksums filled when offloaded); the
// queue's poll kicks the kernel once and completes the slots the kernel has released, in order.
#include "eth_internal.hpp"

#include <kova_internal/buf_data.hpp>
#include <kova_internal/capability.hpp>
#include <kova_internal/sdk_log.hpp>

#include <kova/ctx.h>
#include <kova/error.h>

#include <linux/if_packet.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <type_traits>

using kova::sdk::control_call;
namespace eth = kova::sdk::eth;

static_assert(std::is_standard_layout_v<kova_eth_txq> && std::is_standard_layout_v<kova_eth_rxq>,
	      "a queue is reached from its context");

namespace {

constexpr uint32_t tx_data_offset = TPACKET_ALIGN(sizeof(tpacket2_hdr));
constexpr uint32_t tx_min_frames = 64;
constexpr uint32_t tx_max_frames = 4096;

kova_eth_txq *txq_of(kova_ctx *ctx) noexcept
{
	return reinterpret_cast<kova_eth_txq *>(ctx);
}

tpacket2_hdr *slot_header(kova_eth_txq *txq, uint32_t slot) noexcept
{
	return reinterpret_cast<tpacket2_hdr *>(txq->ring.memory + std::size_t{slot} * txq->frame_size);
}

uint32_t slot_status(const tpacket2_hdr *header) noexcept
{
	return __atomic_load_n(&header->tp_status, __ATOMIC_ACQUIRE);
}

// Fills the checksums of the frame copied into the slot when they are offloaded, hands the slot to
// the interface and records its owner.
void publish_slot(kova_eth_txq *txq, uint32_t slot, tpacket2_hdr *header, uint32_t len, kova_task *owner) noexcept
{
	uint8_t *data = reinterpret_cast<uint8_t *>(header) + tx_data_offset;
	if (txq->l3_chksum_offload != 0 || txq->l4_chksum_offload != 0) {
		if (eth::fill_checksums(data, len, txq->l3_chksum_offload != 0, txq->l4_chksum_offload != 0))
			txq->counters.chksum_computed.add();
		else
			txq->counters.chksum_skipped.add();
	}
	header->tp_len = len;
	header->tp_snaplen = len;
	__atomic_store_n(&header->tp_status, TP_STATUS_SEND_REQUEST, __ATOMIC_RELEASE);
	txq->slots[slot] = owner;
	txq->fill = (slot + 1) & (txq->frame_count - 1);
	++txq->unsent;
}

// Copies the task's frame into the next slot; false when no slot is free.
bool fill_slot(kova_eth_txq *txq, kova_task *task) noexcept
{
	uint32_t const slot = txq->fill;
	tpacket2_hdr *header = slot_header(txq, slot);
	if (txq->slots[slot] != nullptr || slot_status(header) != TP_STATUS_AVAILABLE)
		return false;
	uint8_t *data = reinterpret_cast<uint8_t *>(header) + tx_data_offset;
	uint32_t len = 0;
	for (const kova_buf *element = task->src; element != nullptr; element = element->next) {
		std::memcpy(data + len, element->data, element->data_len);
		len += static_cast<uint32_t>(element->data_len);
	}
	publish_slot(txq, slot, header, len, task);
	return true;
}

kova_error execute_send(kova_task *task) noexcept
{
	kova_eth_txq *txq = txq_of(task->kind->ctx);
	uint64_t const len = kova::sdk::list_data_len(task->src);
	if (len < 14 || len > txq->max_frame_len) [[unlikely]] {
		txq->counters.tx_failed.add();
		return KOVA_ERROR_INVALID_VALUE;
	}
	if (txq->waiting_head != nullptr || !fill_slot(txq, task))
		eth::fifo_push(txq->waiting_head, txq->waiting_tail, task);
	return kova::sdk::task_kept;
}

// Sends every requested slot; with the ring, "would block" leaves the rest for the next kick. False
// when the kernel refused them (the interface is down or gone): they will not be sent.
bool kick(kova_eth_txq *txq) noexcept
{
	if (txq->unsent == 0)
		return true;
	if (::send(txq->ring.fd, nullptr, 0, MSG_DONTWAIT) >= 0 || errno == EAGAIN || errno == ENOBUFS) {
		txq->unsent = 0;
		return true;
	}
	return errno == EINTR;
}

uint32_t poll_txq(kova_ctx *ctx)
{
	kova_eth_txq *txq = txq_of(ctx);
	if (txq->ring.memory == nullptr) [[unlikely]]
		return 0;
	// The kernel owns the ring of a GPU data path; the CPU only reports its failed sends.
	if (ctx->gpu_datapath != nullptr) {
		eth::gpu_txq_report(txq);
		return 0;
	}
	bool const refused = !kick(txq);
	int const refusal = errno;
	uint32_t completed = 0;
	uint32_t not_taken = 0;
	for (;;) {
		uint32_t const slot = txq->reap;
		kova_task *task = txq->slots[slot];
		if (task == nullptr)
			break;
		tpacket2_hdr *header = slot_header(txq, slot);
		uint32_t const status = slot_status(header);
		kova_error result = KOVA_SUCCESS;
		if (status == TP_STATUS_AVAILABLE) {
			txq->counters.tx_frames.add();
			txq->counters.tx_bytes.add(header->tp_len);
		} else if ((status & TP_STATUS_WRONG_FORMAT) != 0 || (refused && status == TP_STATUS_SEND_REQUEST)) {
			__atomic_store_n(&header->tp_status, TP_STATUS_AVAILABLE, __ATOMIC_RELEASE);
			txq->counters.tx_failed.add();
			not_taken += refused ? 1 : 0;
			result = KOVA_ERROR_IO_FAILED;
		} else {
			break;
		}
		txq->slots[slot] = nullptr;
		txq->reap = (slot + 1) & (txq->frame_count - 1);
		kova::sdk::task_complete(task, result);
		++completed;
	}
	if (not_taken != 0) [[unlikely]]
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: \"%s\" refused %u frames: %s", txq->iface_name, not_taken,
			       std::strerror(refusal));
	while (txq->waiting_head != nullptr && fill_slot(txq, txq->waiting_head))
		eth::fifo_pop(txq->waiting_head, txq->waiting_tail);
	kick(txq);
	return completed;
}

uint32_t round_up_pow2(uint32_t value) noexcept
{
	uint32_t result = 1;
	while (result < value)
		result <<= 1;
	return result;
}

kova_error open_tx_ring(kova_eth_txq *txq)
{
	uint32_t const index = eth::iface_index(txq->iface_name);
	if (index == 0) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: network interface \"%s\" does not exist", txq->iface_name);
		return KOVA_ERROR_NOT_FOUND;
	}
	uint32_t const mtu = eth::iface_mtu(txq->iface_name);
	txq->max_frame_len = (mtu != 0 ? mtu : 1500) + 14;
	txq->frame_size = round_up_pow2(tx_data_offset + txq->max_frame_len);
	if (txq->frame_size < 2048)
		txq->frame_size = 2048;
	uint32_t const wanted =
		round_up_pow2(txq->ctx.gpu_datapath != nullptr ? txq->max_burst_size : txq->send.num_tasks);
	txq->frame_count = wanted < tx_min_frames ? tx_min_frames : wanted > tx_max_frames ? tx_max_frames : wanted;
	uint32_t const page = static_cast<uint32_t>(::sysconf(_SC_PAGESIZE) > 0 ? ::sysconf(_SC_PAGESIZE) : 4096);
	uint32_t const block_size = txq->frame_size > page ? txq->frame_size : page;

	int const fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (fd < 0) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: cannot open a packet socket: %s", std::strerror(errno));
		return errno == EPERM ? KOVA_ERROR_NOT_PERMITTED : KOVA_ERROR_OPERATING_SYSTEM;
	}
	txq->ring.fd = fd;
	int version = TPACKET_V2;
	int one = 1;
	tpacket_req request{};
	request.tp_block_size = block_size;
	request.tp_frame_size = txq->frame_size;
	request.tp_frame_nr = txq->frame_count;
	request.tp_block_nr = txq->frame_count / (block_size / txq->frame_size);
	if (::setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof(version)) != 0 ||
	    ::setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof(one)) != 0 ||
	    ::setsockopt(fd, SOL_PACKET, PACKET_TX_RING, &request, sizeof(request)) != 0) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: cannot set up the send ring: %s", std::strerror(errno));
		eth::ring_close(txq->ring);
		return KOVA_ERROR_OPERATING_SYSTEM;
	}
	std::size_t const length = std::size_t{txq->frame_size} * txq->frame_count;
	void *memory = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	if (memory == MAP_FAILED) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: cannot map the send ring: %s", std::strerror(errno));
		eth::ring_close(txq->ring);
		return KOVA_ERROR_NO_MEMORY;
	}
	txq->ring.memory = static_cast<uint8_t *>(memory);
	txq->ring.length = length;
	sockaddr_ll address{};
	address.sll_family = AF_PACKET;
	address.sll_protocol = 0; // sends only
	address.sll_ifindex = static_cast<int>(index);
	if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: cannot bind to \"%s\": %s", txq->iface_name,
			       std::strerror(errno));
		eth::ring_close(txq->ring);
		return KOVA_ERROR_OPERATING_SYSTEM;
	}
	return KOVA_SUCCESS;
}

kova_error start_txq(kova_ctx *ctx)
{
	kova_eth_txq *txq = txq_of(ctx);
	if (kova_error const err = open_tx_ring(txq))
		return err;
	txq->slots = new (std::nothrow) kova_task *[txq->frame_count]{};
	if (txq->slots == nullptr) {
		eth::ring_close(txq->ring);
		return KOVA_ERROR_NO_MEMORY;
	}
	txq->fill = 0;
	txq->reap = 0;
	txq->unsent = 0;
	eth::iface_attach_counters(txq->port, &txq->counters);
	if (ctx->gpu_datapath != nullptr)
		eth::gpu_txq_bind(txq);
	return KOVA_SUCCESS;
}

void stop_txq(kova_ctx *ctx)
{
	kova_eth_txq *txq = txq_of(ctx);
	if (ctx->gpu_datapath != nullptr && txq->ring.memory != nullptr) {
		eth::gpu_txq_retire(txq);
		eth::gpu_txq_report(txq);
	}
	if (txq->slots != nullptr) {
		eth::iface_detach_counters(txq->port, &txq->counters);
		delete[] txq->slots;
		txq->slots = nullptr;
	}
	txq->waiting_head = nullptr;
	txq->waiting_tail = nullptr;
	eth::ring_close(txq->ring);
}

constexpr kova::sdk::ctx_ops txq_ops{"kova_eth_txq", start_txq, stop_txq, poll_txq};

// Marks a slot that holds a frame of the GPU data path (no task owns it).
kova_task *const gpu_frame = reinterpret_cast<kova_task *>(alignof(kova_task));

// The slot's earlier frame, when the interface has taken it: counted as sent. A refused frame is
// counted as failed and its slot freed.
void gpu_settle(kova_eth_txq *txq, uint32_t slot, tpacket2_hdr *header, uint32_t status) noexcept
{
	if (txq->slots[slot] != gpu_frame)
		return;
	if (status == TP_STATUS_AVAILABLE) {
		txq->counters.tx_frames.add();
		txq->counters.tx_bytes.add(header->tp_len);
	} else if ((status & TP_STATUS_WRONG_FORMAT) != 0) {
		__atomic_store_n(&header->tp_status, TP_STATUS_AVAILABLE, __ATOMIC_RELEASE);
		txq->counters.tx_failed.add();
		txq->gpu_failures.fetch_add(1, std::memory_order_release);
	} else {
		return;
	}
	txq->slots[slot] = nullptr;
}

int gpu_send(kova_gpu_eth_txq *handle, const void *frame, uint32_t len) noexcept
{
	auto *txq = static_cast<kova_eth_txq *>(handle->queue);
	if (len < 14 || len > txq->max_frame_len) [[unlikely]] {
		txq->counters.tx_failed.add();
		txq->gpu_failures.fetch_add(1, std::memory_order_release);
		return KOVA_ERROR_INVALID_VALUE;
	}
	uint32_t const slot = txq->fill;
	tpacket2_hdr *header = slot_header(txq, slot);
	gpu_settle(txq, slot, header, slot_status(header));
	if (txq->slots[slot] != nullptr) {
		if (txq->unsent != 0 && !kick(txq)) [[unlikely]] {
			kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: \"%s\" refused frames: %s", txq->iface_name,
				       std::strerror(errno));
			txq->unsent = 0;
		}
		return KOVA_ERROR_AGAIN;
	}
	uint8_t *data = reinterpret_cast<uint8_t *>(header) + tx_data_offset;
	std::memcpy(data, frame, len);
	publish_slot(txq, slot, header, len, gpu_frame);
	// The interface is kicked once per burst, or when the ring is full.
	if (txq->unsent >= (txq->max_burst_size != 0 ? txq->max_burst_size : 1))
		kick(txq);
	return KOVA_SUCCESS;
}

void gpu_flush(kova_gpu_eth_txq *handle) noexcept
{
	kick(static_cast<kova_eth_txq *>(handle->queue));
}

} // namespace

namespace kova::sdk::eth {

void gpu_txq_bind(kova_eth_txq *txq) noexcept
{
	txq->gpu.queue = txq;
	txq->gpu.send = gpu_send;
	txq->gpu.flush = gpu_flush;
}

void gpu_txq_retire(kova_eth_txq *txq) noexcept
{
	kick(txq);
	for (uint32_t slot = 0; slot < txq->frame_count; ++slot) {
		tpacket2_hdr *header = slot_header(txq, slot);
		gpu_settle(txq, slot, header, slot_status(header));
	}
}

uint32_t gpu_txq_report(kova_eth_txq *txq) noexcept
{
	uint64_t const failures = txq->gpu_failures.load(std::memory_order_acquire);
	uint32_t reported = 0;
	while (txq->gpu_failures_reported < failures) {
		++txq->gpu_failures_reported;
		++reported;
		if (txq->gpu_error_cb != nullptr) {
			kova_eth_txq_gpu_event_error_send_packet event{txq};
			txq->gpu_error_cb(&event, txq->gpu_error_user_data);
		}
	}
	return reported;
}

} // namespace kova::sdk::eth

KOVA_EXPORT kova_error kova_eth_txq_create(kova_dev *dev, uint32_t max_burst_size, kova_eth_txq **txq)
{
	if (dev == nullptr || txq == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_eth_txq_create"))
		return forced;
	kova_eth_txq *created = nullptr;
	if (kova_error const err = eth::new_queue(dev, &txq_ops, created))
		return err;
	kova::sdk::task_kind_init<kova_eth_txq_task_send>(&created->send, &created->ctx, "send", execute_send, 0);
	created->max_burst_size = max_burst_size;
	created->type = KOVA_ETH_TXQ_TYPE_REGULAR;
	*txq = created;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_eth_txq_destroy(kova_eth_txq *txq)
{
	return eth::destroy_queue(txq, "kova_eth_txq_destroy");
}

KOVA_EXPORT kova_ctx *kova_eth_txq_as_kova_ctx(kova_eth_txq *txq)
{
	return txq == nullptr ? nullptr : &txq->ctx;
}

KOVA_EXPORT kova_error kova_eth_txq_set_max_burst_size(kova_eth_txq *txq, uint32_t max_burst_size)
{
	return eth::set_while_idle(txq, &kova_eth_txq::max_burst_size, max_burst_size);
}

KOVA_EXPORT kova_error kova_eth_txq_set_type(kova_eth_txq *txq, uint32_t type)
{
	if (txq == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_eth_txq_set_type", true, type))
		return forced;
	if (txq->ctx.state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	if (type != KOVA_ETH_TXQ_TYPE_REGULAR)
		return KOVA_ERROR_INVALID_VALUE;
	txq->type = type;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_eth_txq_set_l3_chksum_offload(kova_eth_txq *txq, uint8_t enable)
{
	if (kova_error const forced = control_call("kova_eth_txq_set_l3_chksum_offload", true, enable))
		return forced;
	return eth::set_while_idle(txq, &kova_eth_txq::l3_chksum_offload, enable != 0 ? 1 : 0);
}

KOVA_EXPORT kova_error kova_eth_txq_set_l4_chksum_offload(kova_eth_txq *txq, uint8_t enable)
{
	if (kova_error const forced = control_call("kova_eth_txq_set_l4_chksum_offload", true, enable))
		return forced;
	return eth::set_while_idle(txq, &kova_eth_txq::l4_chksum_offload, enable != 0 ? 1 : 0);
}

KOVA_EXPORT kova_error kova_eth_txq_task_send_set_conf(kova_eth_txq *txq, kova_task_completion_cb_t success_cb,
						       kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	if (txq == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_eth_txq_task_send_set_conf", true, num_tasks))
		return forced;
	return kova::sdk::task_kind_configure(&txq->send, success_cb, error_cb, num_tasks);
}

KOVA_EXPORT kova_error kova_eth_txq_task_send_allocate_init(kova_eth_txq *txq, const kova_buf *pkt,
							    kova_data user_data, kova_eth_txq_task_send **task)
{
	if (txq == nullptr || pkt == nullptr || task == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	kova_task *taken = nullptr;
	if (kova_error const err = kova::sdk::task_alloc(&txq->send, user_data, pkt, nullptr, &taken))
		return err;
	*task = kova::sdk::task_cast<kova_eth_txq_task_send>(taken);
	return KOVA_SUCCESS;
}

KOVA_EXPORT void kova_eth_txq_task_send_set_pkt(kova_eth_txq_task_send *task, const kova_buf *pkt)
{
	if (task != nullptr)
		task->task.src = pkt;
}

KOVA_EXPORT const kova_buf *kova_eth_txq_task_send_get_pkt(const kova_eth_txq_task_send *task)
{
	return task == nullptr ? nullptr : task->task.src;
}

KOVA_EXPORT kova_task *kova_eth_txq_task_send_as_kova_task(kova_eth_txq_task_send *task)
{
	return task == nullptr ? nullptr : &task->task;
}
