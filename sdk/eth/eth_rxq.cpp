// Receive queues: a TPACKET_V3 ring on the device's interface; frames steered to the queue fill the
// posted receive tasks in order.
#include "eth_internal.hpp"

#include <kova_internal/buf_data.hpp>
#include <kova_internal/capability.hpp>
#include <kova_internal/sdk_log.hpp>

#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/error.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

using kova::sdk::control_call;
namespace eth = kova::sdk::eth;

namespace {

constexpr uint32_t rx_block_size = 1U << 18;
constexpr uint32_t rx_block_count = 16;
constexpr uint32_t rx_frame_size = 2048;
constexpr uint32_t rx_block_timeout_ms = 1;

kova_eth_rxq *rxq_of(kova_ctx *ctx) noexcept
{
	return reinterpret_cast<kova_eth_rxq *>(ctx);
}

kova_eth_rxq *rxq_of_kind(kova::sdk::task_kind *kind) noexcept
{
	return rxq_of(kind->ctx);
}

void release_block(kova_eth_rxq *rxq) noexcept
{
	auto *desc = reinterpret_cast<tpacket_block_desc *>(rxq->ring.memory + std::size_t{rxq->block} * rxq->block_size);
	__atomic_store_n(&desc->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
	rxq->block = (rxq->block + 1) % rxq->block_count;
	rxq->next_frame = nullptr;
	rxq->left_in_block = 0;
}

// Takes the next block from the kernel when it has handed it over; false when it has not.
bool take_block(kova_eth_rxq *rxq) noexcept
{
	auto *desc = reinterpret_cast<tpacket_block_desc *>(rxq->ring.memory + std::size_t{rxq->block} * rxq->block_size);
	if ((__atomic_load_n(&desc->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0)
		return false;
	rxq->left_in_block = desc->hdr.bh1.num_pkts;
	rxq->next_frame = reinterpret_cast<uint8_t *>(desc) + desc->hdr.bh1.offset_to_first_pkt;
	if (rxq->left_in_block == 0)
		release_block(rxq);
	return true;
}

void next_frame(kova_eth_rxq *rxq, const tpacket3_hdr *header) noexcept
{
	if (--rxq->left_in_block == 0)
		release_block(rxq);
	else
		rxq->next_frame += header->tp_next_offset;
}

uint32_t flush_posted(kova_eth_rxq *rxq) noexcept
{
	uint32_t completed = 0;
	while (rxq->posted_head != nullptr) {
		kova_task *task = eth::fifo_pop(rxq->posted_head, rxq->posted_tail);
		kova::sdk::task_complete(task, KOVA_ERROR_SHUTDOWN);
		++completed;
	}
	return completed;
}

uint32_t poll_rxq(kova_ctx *ctx)
{
	kova_eth_rxq *rxq = rxq_of(ctx);
	if (ctx->state == KOVA_CTX_STATE_STOPPING) [[unlikely]]
		return flush_posted(rxq);
	if (rxq->posted_head == nullptr || rxq->ring.memory == nullptr)
		return 0;
	const eth::snapshot *rules = eth::iface_snapshot(rxq->port);
	bool const counts_unsteered = rxq->queue_applied != 0 && rules->lowest_live == rxq->queue_id;
	uint32_t const burst = rxq->max_burst_size != 0 ? rxq->max_burst_size : UINT32_MAX;
	uint32_t completed = 0;
	while (rxq->posted_head != nullptr && completed < burst) {
		if (rxq->left_in_block == 0 && !take_block(rxq))
			break;
		if (rxq->left_in_block == 0)
			continue;
		auto const *header = reinterpret_cast<const tpacket3_hdr *>(rxq->next_frame);
		auto const *frame = rxq->next_frame + header->tp_mac;
		auto const *from = reinterpret_cast<const sockaddr_ll *>(rxq->next_frame + TPACKET_ALIGN(sizeof(tpacket3_hdr)));
		if (from->sll_pkttype == PACKET_OUTGOING) {
			next_frame(rxq, header);
			continue;
		}
		uint32_t const len = header->tp_snaplen;
		eth::steering_result const where =
			rxq->queue_applied != 0 ? eth::steer(*rules, frame, len) : eth::steering_result{eth::verdict::no_match, 0};
		if (where.what == eth::verdict::deliver) {
			if (where.queue == rxq->queue_id) {
				kova_task *task = rxq->posted_head;
				if (header->tp_len > len || len > rxq->max_packet_size ||
				    kova::sdk::list_room(task->dst) < len) {
					rxq->counters.rx_dropped_too_large.add();
				} else {
					kova::sdk::list_writer{task->dst}.write(frame, len);
					eth::fifo_pop(rxq->posted_head, rxq->posted_tail);
					rxq->counters.rx_frames.add();
					rxq->counters.rx_bytes.add(len);
					next_frame(rxq, header);
					kova::sdk::task_complete(task, KOVA_SUCCESS);
					++completed;
					continue;
				}
			}
		} else if (counts_unsteered) {
			if (where.what == eth::verdict::dropped_by_rule)
				rxq->counters.rx_dropped_by_rule.add();
			else if (where.what == eth::verdict::unknown_queue)
				rxq->counters.rx_dropped_unknown_queue.add();
			else
				rxq->counters.rx_dropped_no_match.add();
		}
		next_frame(rxq, header);
	}
	return completed;
}

kova_error execute_recv(kova_task *task) noexcept
{
	kova_eth_rxq *rxq = rxq_of_kind(task->kind);
	if (rxq->ctx.state != KOVA_CTX_STATE_RUNNING) [[unlikely]]
		return KOVA_ERROR_SHUTDOWN;
	eth::fifo_push(rxq->posted_head, rxq->posted_tail, task);
	return kova::sdk::task_kept;
}

kova_error open_rx_ring(kova_eth_rxq *rxq)
{
	uint32_t const index = eth::iface_index(rxq->iface_name);
	if (index == 0) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: network interface \"%s\" does not exist", rxq->iface_name);
		return KOVA_ERROR_NOT_FOUND;
	}
	int const fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (fd < 0) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: cannot open a packet socket: %s", std::strerror(errno));
		return errno == EPERM ? KOVA_ERROR_NOT_PERMITTED : KOVA_ERROR_OPERATING_SYSTEM;
	}
	rxq->ring.fd = fd;
	int version = TPACKET_V3;
	int one = 1;
	tpacket_req3 request{};
	request.tp_block_size = rx_block_size;
	request.tp_block_nr = rx_block_count;
	request.tp_frame_size = rx_frame_size;
	request.tp_frame_nr = rx_block_size / rx_frame_size * rx_block_count;
	request.tp_retire_blk_tov = rx_block_timeout_ms;
	if (::setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof(version)) != 0 ||
	    ::setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &request, sizeof(request)) != 0) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: cannot set up the receive ring: %s", std::strerror(errno));
		eth::ring_close(rxq->ring);
		return KOVA_ERROR_OPERATING_SYSTEM;
	}
	// Frames this host sends on the interface are not received (older kernels: skipped when read).
	(void)::setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof(one));
	std::size_t const length = std::size_t{rx_block_size} * rx_block_count;
	void *memory = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	if (memory == MAP_FAILED) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: cannot map the receive ring: %s", std::strerror(errno));
		eth::ring_close(rxq->ring);
		return KOVA_ERROR_NO_MEMORY;
	}
	rxq->ring.memory = static_cast<uint8_t *>(memory);
	rxq->ring.length = length;
	sockaddr_ll address{};
	address.sll_family = AF_PACKET;
	address.sll_protocol = htons(ETH_P_ALL);
	address.sll_ifindex = static_cast<int>(index);
	if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: cannot bind to \"%s\": %s", rxq->iface_name,
			       std::strerror(errno));
		eth::ring_close(rxq->ring);
		return KOVA_ERROR_OPERATING_SYSTEM;
	}
	rxq->block_size = rx_block_size;
	rxq->block_count = rx_block_count;
	rxq->block = 0;
	rxq->left_in_block = 0;
	rxq->next_frame = nullptr;
	return KOVA_SUCCESS;
}

kova_error start_rxq(kova_ctx *ctx)
{
	kova_eth_rxq *rxq = rxq_of(ctx);
	// Cyclic queues are driven by a GPU kernel into their packet memory.
	if (rxq->type == KOVA_ETH_RXQ_TYPE_CYCLIC) {
		if (ctx->gpu_datapath == nullptr) {
			kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: a cyclic receive queue needs a GPU data path");
			return KOVA_ERROR_NOT_SUPPORTED;
		}
		if (rxq->pkt_buf == nullptr) {
			kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: the cyclic receive queue has no packet buffer");
			return KOVA_ERROR_BAD_STATE;
		}
	} else if (ctx->gpu_datapath != nullptr) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: only cyclic receive queues run on a GPU");
		return KOVA_ERROR_NOT_SUPPORTED;
	}
	if (kova_error const err = open_rx_ring(rxq))
		return err;
	rxq->pkt_slot = 0;
	if (ctx->gpu_datapath != nullptr)
		eth::gpu_rxq_bind(rxq);
	rxq->counters.rx_socket = rxq->ring.fd;
	eth::iface_attach_counters(rxq->port, &rxq->counters);
	return KOVA_SUCCESS;
}

// Frames the kernel placed in the ring that no receive task took: the rest of the block being read
// and every later block handed over. They are dropped with the ring, and counted as such.
uint64_t frames_left_in_ring(const kova_eth_rxq *rxq) noexcept
{
	if (rxq->ring.memory == nullptr)
		return 0;
	uint64_t left = rxq->left_in_block;
	uint32_t block = rxq->block;
	uint32_t blocks = rxq->block_count;
	if (rxq->left_in_block != 0) {
		block = (block + 1) % rxq->block_count;
		--blocks;
	}
	for (; blocks != 0; --blocks, block = (block + 1) % rxq->block_count) {
		auto const *desc =
			reinterpret_cast<const tpacket_block_desc *>(rxq->ring.memory + std::size_t{block} * rxq->block_size);
		if ((__atomic_load_n(&desc->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0)
			break;
		left += desc->hdr.bh1.num_pkts;
	}
	return left;
}

void stop_rxq(kova_ctx *ctx)
{
	kova_eth_rxq *rxq = rxq_of(ctx);
	// Frames still on their way (the kernel's backlog, the block it is filling) reach the ring within a
	// few retire periods: wait until the count holds still, so that every frame that arrived is
	// counted as dropped rather than lost with the ring.
	uint64_t left = frames_left_in_ring(rxq);
	for (int round = 0; round != 10; ++round) {
		std::this_thread::sleep_for(std::chrono::milliseconds{10});
		uint64_t const now = frames_left_in_ring(rxq);
		if (now == left)
			break;
		left = now;
	}
	rxq->counters.rx_dropped_no_task.fetch_add(left, std::memory_order_relaxed);
	rxq->posted_head = nullptr;
	rxq->posted_tail = nullptr;
	if (rxq->queue_applied != 0) {
		eth::iface_remove_queue(rxq->port, rxq->queue_id);
		rxq->queue_applied = 0;
	}
	if (rxq->counters.rx_socket >= 0) {
		eth::iface_detach_counters(rxq->port, &rxq->counters);
		rxq->counters.rx_socket = -1;
	}
	eth::ring_close(rxq->ring);
}

constexpr kova::sdk::ctx_ops rxq_ops{"kova_eth_rxq", start_rxq, stop_rxq, poll_rxq};

} // namespace

namespace kova::sdk::eth {

uint32_t rx_take_steered(kova_eth_rxq *rxq, uint8_t *to, uint32_t room) noexcept
{
	if (rxq->ring.memory == nullptr)
		return 0;
	const snapshot *rules = iface_snapshot(rxq->port);
	bool const counts_unsteered = rxq->queue_applied != 0 && rules->lowest_live == rxq->queue_id;
	for (;;) {
		if (rxq->left_in_block == 0 && !take_block(rxq))
			return 0;
		if (rxq->left_in_block == 0)
			continue;
		auto const *header = reinterpret_cast<const tpacket3_hdr *>(rxq->next_frame);
		auto const *frame = rxq->next_frame + header->tp_mac;
		auto const *from = reinterpret_cast<const sockaddr_ll *>(rxq->next_frame + TPACKET_ALIGN(sizeof(tpacket3_hdr)));
		uint32_t const len = header->tp_snaplen;
		if (from->sll_pkttype != PACKET_OUTGOING && rxq->queue_applied != 0) {
			steering_result const where = steer(*rules, frame, len);
			if (where.what == verdict::deliver) {
				if (where.queue == rxq->queue_id) {
					if (header->tp_len > len || len > room) {
						rxq->counters.rx_dropped_too_large.add();
					} else {
						std::memcpy(to, frame, len);
						rxq->counters.rx_frames.add();
						rxq->counters.rx_bytes.add(len);
						next_frame(rxq, header);
						return len;
					}
				}
			} else if (counts_unsteered) {
				if (where.what == verdict::dropped_by_rule)
					rxq->counters.rx_dropped_by_rule.add();
				else if (where.what == verdict::unknown_queue)
					rxq->counters.rx_dropped_unknown_queue.add();
				else
					rxq->counters.rx_dropped_no_match.add();
			}
		}
		next_frame(rxq, header);
	}
}

namespace {

uint64_t monotonic_ns() noexcept
{
	timespec now{};
	::clock_gettime(CLOCK_MONOTONIC, &now);
	return static_cast<uint64_t>(now.tv_sec) * 1000000000U + static_cast<uint64_t>(now.tv_nsec);
}

// Frames go to consecutive slots of max_packet_size bytes of the packet memory, wrapping around.
uint32_t gpu_receive(kova_gpu_eth_rxq *handle, uint32_t max_packets, uint64_t timeout_ns, uint64_t *bytes,
		     const uint8_t *stop) noexcept
{
	auto *rxq = static_cast<kova_eth_rxq *>(handle->queue);
	uint32_t const slot_size = rxq->max_packet_size;
	uint32_t const slots = slot_size == 0 ? 0 : rxq->pkt_buf_size / slot_size;
	if (slots == 0 || max_packets == 0)
		return 0;
	uint64_t const deadline = monotonic_ns() + timeout_ns;
	uint32_t received = 0;
	while (received < max_packets) {
		uint32_t const len = rx_take_steered(rxq, rxq->pkt_buf + std::size_t{rxq->pkt_slot} * slot_size, slot_size);
		if (len != 0) {
			rxq->pkt_slot = rxq->pkt_slot + 1 == slots ? 0 : rxq->pkt_slot + 1;
			*bytes += len;
			++received;
			continue;
		}
		if (__atomic_load_n(stop, __ATOMIC_ACQUIRE) != 0 || monotonic_ns() >= deadline)
			break;
		// The ring hands blocks over once a millisecond at the latest.
		timespec const pause{0, 20000};
		::nanosleep(&pause, nullptr);
	}
	return received;
}

} // namespace

void gpu_rxq_bind(kova_eth_rxq *rxq) noexcept
{
	rxq->gpu.queue = rxq;
	rxq->gpu.receive = gpu_receive;
}

void ring_close(kova_eth_ring &ring) noexcept
{
	if (ring.memory != nullptr)
		::munmap(ring.memory, ring.length);
	if (ring.fd >= 0)
		::close(ring.fd);
	ring = kova_eth_ring{};
}

kova_error resolve_iface(const kova_dev *dev, char (&name)[64]) noexcept
{
	const kova_devinfo *info = kova_dev_as_devinfo(dev);
	if (info == nullptr || kova_devinfo_get_iface_name(info, name, sizeof(name)) != KOVA_SUCCESS || name[0] == 0) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: the device has no network interface");
		return KOVA_ERROR_NOT_FOUND;
	}
	if (iface_index(name) == 0) {
		char address[KOVA_DEVINFO_PCI_ADDR_SIZE] = {};
		(void)kova_devinfo_get_pci_addr_str(info, address);
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_eth: network interface \"%s\" of device %s does not exist", name,
			       address);
		return KOVA_ERROR_NOT_FOUND;
	}
	return KOVA_SUCCESS;
}

} // namespace kova::sdk::eth

KOVA_EXPORT kova_error kova_eth_rxq_create(kova_dev *dev, uint32_t max_burst_size, uint32_t max_packet_size,
					   kova_eth_rxq **rxq)
{
	if (dev == nullptr || rxq == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_eth_rxq_create"))
		return forced;
	kova_eth_rxq *created = nullptr;
	if (kova_error const err = eth::new_queue(dev, &rxq_ops, created))
		return err;
	kova::sdk::task_kind_init<kova_eth_rxq_task_recv>(&created->recv, &created->ctx, "recv", execute_recv, 0);
	created->max_burst_size = max_burst_size;
	created->max_packet_size = max_packet_size;
	created->type = KOVA_ETH_RXQ_TYPE_REGULAR;
	*rxq = created;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_eth_rxq_destroy(kova_eth_rxq *rxq)
{
	return eth::destroy_queue(rxq, "kova_eth_rxq_destroy");
}

KOVA_EXPORT kova_ctx *kova_eth_rxq_as_kova_ctx(kova_eth_rxq *rxq)
{
	return rxq == nullptr ? nullptr : &rxq->ctx;
}

KOVA_EXPORT kova_error kova_eth_rxq_set_max_burst_size(kova_eth_rxq *rxq, uint32_t max_burst_size)
{
	return eth::set_while_idle(rxq, &kova_eth_rxq::max_burst_size, max_burst_size);
}

KOVA_EXPORT kova_error kova_eth_rxq_set_max_packet_size(kova_eth_rxq *rxq, uint32_t max_packet_size)
{
	return eth::set_while_idle(rxq, &kova_eth_rxq::max_packet_size, max_packet_size);
}

KOVA_EXPORT kova_error kova_eth_rxq_set_type(kova_eth_rxq *rxq, uint32_t type)
{
	if (rxq == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_eth_rxq_set_type", true, type))
		return forced;
	if (rxq->ctx.state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	if (type > KOVA_ETH_RXQ_TYPE_REGULAR)
		return KOVA_ERROR_INVALID_VALUE;
	// Task-driven receive on the CPU, cyclic receive on a GPU; no managed memory pool.
	if (type == KOVA_ETH_RXQ_TYPE_MANAGED_MEMPOOL)
		return KOVA_ERROR_NOT_SUPPORTED;
	rxq->type = type;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_eth_rxq_apply_queue_id(kova_eth_rxq *rxq, uint16_t queue_id)
{
	if (rxq == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_eth_rxq_apply_queue_id", true, queue_id))
		return forced;
	if (rxq->ctx.state != KOVA_CTX_STATE_RUNNING)
		return KOVA_ERROR_BAD_STATE;
	if (rxq->queue_applied != 0 && rxq->queue_id == queue_id)
		return KOVA_SUCCESS;
	if (kova_error const err = eth::iface_add_queue(rxq->port, queue_id))
		return err;
	if (rxq->queue_applied != 0)
		eth::iface_remove_queue(rxq->port, rxq->queue_id);
	rxq->queue_id = queue_id;
	rxq->queue_applied = 1;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_eth_rxq_task_recv_set_conf(kova_eth_rxq *rxq, kova_task_completion_cb_t success_cb,
						       kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	if (rxq == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_eth_rxq_task_recv_set_conf", true, num_tasks))
		return forced;
	return kova::sdk::task_kind_configure(&rxq->recv, success_cb, error_cb, num_tasks);
}

KOVA_EXPORT kova_error kova_eth_rxq_task_recv_allocate_init(kova_eth_rxq *rxq, kova_buf *pkt, kova_data user_data,
							    kova_eth_rxq_task_recv **task)
{
	if (rxq == nullptr || pkt == nullptr || task == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	kova_task *taken = nullptr;
	if (kova_error const err = kova::sdk::task_alloc(&rxq->recv, user_data, nullptr, pkt, &taken))
		return err;
	*task = kova::sdk::task_cast<kova_eth_rxq_task_recv>(taken);
	return KOVA_SUCCESS;
}

KOVA_EXPORT void kova_eth_rxq_task_recv_set_pkt(kova_eth_rxq_task_recv *task, kova_buf *pkt)
{
	if (task != nullptr)
		task->task.dst = pkt;
}

KOVA_EXPORT kova_buf *kova_eth_rxq_task_recv_get_pkt(const kova_eth_rxq_task_recv *task)
{
	return task == nullptr ? nullptr : task->task.dst;
}

KOVA_EXPORT kova_task *kova_eth_rxq_task_recv_as_kova_task(kova_eth_rxq_task_recv *task)
{
	return task == nullptr ? nullptr : &task->task;
}
