// Comch producers: a context on a client's connection that sends buffers to consumers of the
// client's peers. A send claims (once per consumer) a lane of the consumer's ring, which its
// client mapped when the consumer was announced, writes its record when the lane has room, and
// completes inside kova_pe_progress of the producer's own engine once the consumer has placed
// the message into a posted buffer (or refused it), or with 16 when the consumer is gone.
#include "comch_internal.hpp"

#include <kova_internal/buf_data.hpp>
#include <kova_internal/capability.hpp>

#include <kova/ctx.h>
#include <kova/error.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>

using kova::sdk::control_call;
namespace comch = kova::sdk::comch;

namespace {

std::atomic<uint32_t> next_producer_id{1};

kova_comch_producer *producer_of(kova_ctx *ctx) noexcept
{
	return reinterpret_cast<kova_comch_producer *>(ctx);
}

bool consumer_alive(const producer_lane *lane) noexcept
{
	return lane->header->alive.load(std::memory_order_acquire) != 0;
}

// This producer's lane in the ring of the consumer, claimed on first use; null when the consumer
// is unknown, gone, or has no free lane.
producer_lane *lane_for(kova_comch_producer *producer, uint32_t consumer_id) noexcept
{
	for (uint32_t i = 0; i < producer->num_lanes; ++i) {
		if (producer->lanes[i].consumer_id == consumer_id)
			return &producer->lanes[i];
	}
	if (producer->num_lanes == comch::max_lanes)
		return nullptr;
	void *ring = comch::find_remote_ring(producer->connection->client, consumer_id);
	if (ring == nullptr)
		return nullptr;
	auto *header = static_cast<comch::ring_header *>(ring);
	for (uint32_t index = 0; index < comch::max_lanes; ++index) {
		uint64_t expected = 0;
		if (!header->lanes[index].owner.compare_exchange_strong(expected, producer->token,
									 std::memory_order_acq_rel))
			continue;
		producer_lane &lane = producer->lanes[producer->num_lanes++];
		lane.consumer_id = consumer_id;
		lane.ring = ring;
		lane.header = header;
		lane.index = index;
		lane.tail = header->lanes[index].tail.load(std::memory_order_relaxed);
		lane.head = header->lanes[index].head.load(std::memory_order_acquire);
		lane.refused = header->lanes[index].refused.load(std::memory_order_relaxed);
		return &lane;
	}
	return nullptr;
}

// Writes the record of a send into its lane; false when the lane lacks room (back-pressure).
bool write_record(kova_comch_producer *producer, kova_comch_producer_task_send *task) noexcept
{
	producer_lane *lane = task->lane;
	comch::lane_control &control = lane->header->lanes[lane->index];
	uint64_t const len = kova::sdk::list_data_len(task->task.src);
	uint64_t const bytes = comch::record_bytes(static_cast<uint32_t>(len));
	uint64_t const offset = lane->tail % comch::lane_bytes;
	uint64_t const to_end = comch::lane_bytes - offset;
	uint64_t const needed = bytes <= to_end ? bytes : to_end + bytes;
	if (comch::lane_bytes - (lane->tail - lane->head) < needed) {
		lane->head = control.head.load(std::memory_order_acquire);
		if (comch::lane_bytes - (lane->tail - lane->head) < needed)
			return false;
	}
	std::byte *data = comch::lane_data(lane->ring, lane->index);
	uint64_t tail = lane->tail;
	if (bytes > to_end) {
		reinterpret_cast<comch::record_header *>(data + offset)->len = comch::pad_record;
		tail += to_end;
	}
	auto *record = reinterpret_cast<comch::record_header *>(data + tail % comch::lane_bytes);
	record->len = static_cast<uint32_t>(len);
	record->status = KOVA_SUCCESS;
	record->producer_id = producer->id;
	record->imm_len = task->imm_len;
	std::memcpy(record->imm, task->imm, task->imm_len);
	std::byte *to = reinterpret_cast<std::byte *>(record + 1);
	for (const kova_buf *buf = task->task.src; buf != nullptr; buf = buf->next) {
		std::memcpy(to, buf->data, buf->data_len);
		to += buf->data_len;
	}
	task->record_start = tail;
	task->len = static_cast<uint32_t>(len);
	tail += bytes;
	task->record_end = tail;
	lane->tail = tail;
	control.tail.store(tail, std::memory_order_release);
	return true;
}

kova_comch_producer_task_send *pop_sent(kova_comch_producer *producer) noexcept
{
	kova_comch_producer_task_send *task = producer->sent_head;
	if (producer->unwritten == task)
		producer->unwritten = task->next_sent;
	producer->sent_head = task->next_sent;
	if (producer->sent_head == nullptr)
		producer->sent_tail = nullptr;
	return task;
}

uint8_t poll_producer(kova_ctx *ctx)
{
	kova_comch_producer *producer = producer_of(ctx);
	if (producer->sent_head == nullptr)
		return 0;
	if (ctx->state == KOVA_CTX_STATE_STOPPING) {
		while (producer->sent_head != nullptr) {
			producer->counters.failed.add();
			kova::sdk::task_complete(&pop_sent(producer)->task, KOVA_ERROR_SHUTDOWN);
		}
		return 1;
	}
	while (producer->unwritten != nullptr && consumer_alive(producer->unwritten->lane) &&
	       write_record(producer, producer->unwritten))
		producer->unwritten = producer->unwritten->next_sent;
	uint8_t did = 0;
	producer_lane *read_lane = nullptr; // the lane whose head and refusals were read in this round
	uint64_t refused = 0;
	while (kova_comch_producer_task_send *task = producer->sent_head) {
		producer_lane *lane = task->lane;
		if (lane != read_lane && task != producer->unwritten) {
			comch::lane_control &control = lane->header->lanes[lane->index];
			lane->head = control.head.load(std::memory_order_acquire);
			refused = control.refused.load(std::memory_order_relaxed);
			read_lane = lane;
		}
		kova_error status;
		if (task != producer->unwritten && lane->head >= task->record_end) {
			status = KOVA_SUCCESS;
			if (refused != lane->refused) { // one of the records up to head was refused: this one?
				std::byte *data = comch::lane_data(lane->ring, lane->index);
				status = reinterpret_cast<comch::record_header *>(data + task->record_start % comch::lane_bytes)
						 ->status;
				if (status != KOVA_SUCCESS)
					++lane->refused;
			}
		} else if (!consumer_alive(lane)) {
			status = KOVA_ERROR_NOT_FOUND;
		} else {
			break;
		}
		if (status == KOVA_SUCCESS) {
			producer->counters.messages.add();
			producer->counters.bytes.add(task->len);
		} else {
			producer->counters.failed.add();
		}
		kova::sdk::task_complete(&pop_sent(producer)->task, status);
		did = 1;
	}
	return did;
}

// A send goes into the FIFO of sends in flight and is written as soon as its lane has room.
kova_error run_send(kova_task *task)
{
	auto *send = kova::sdk::task_cast<kova_comch_producer_task_send>(task);
	kova_comch_producer *producer = producer_of(task->kind->ctx);
	kova_error refused = KOVA_SUCCESS;
	if (producer->ctx.state == KOVA_CTX_STATE_STOPPING) {
		refused = KOVA_ERROR_SHUTDOWN;
	} else if (kova::sdk::list_data_len(task->src) > comch::max_buf_size) {
		refused = KOVA_ERROR_TOO_BIG;
	} else {
		send->lane = lane_for(producer, send->consumer_id);
		if (send->lane == nullptr || !consumer_alive(send->lane))
			refused = KOVA_ERROR_NOT_FOUND;
	}
	if (refused != KOVA_SUCCESS) {
		producer->counters.failed.add();
		return refused;
	}
	send->next_sent = nullptr;
	send->record_end = 0;
	if (producer->sent_tail != nullptr)
		producer->sent_tail->next_sent = send;
	else
		producer->sent_head = send;
	producer->sent_tail = send;
	if (producer->unwritten == nullptr) {
		if (write_record(producer, send))
			return KOVA_ERROR_IN_PROGRESS;
		producer->unwritten = send;
	}
	return KOVA_ERROR_IN_PROGRESS;
}

kova_error start_producer(kova_ctx *ctx)
{
	kova_comch_client *client = producer_of(ctx)->connection->client;
	if (client->ctx.state != KOVA_CTX_STATE_RUNNING)
		return KOVA_ERROR_NOT_CONNECTED;
	return KOVA_SUCCESS;
}

constexpr kova::sdk::ctx_ops producer_ops{"kova_comch_producer", start_producer, nullptr};
constexpr kova::sdk::ctx_async_ops producer_async_ops{poll_producer, true};

} // namespace

KOVA_EXPORT kova_error kova_comch_producer_create(kova_comch_connection *connection, kova_comch_producer **producer)
{
	if (connection == nullptr || connection->client == nullptr || producer == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_comch_producer_create"))
		return forced;
	auto *created = new (std::nothrow) kova_comch_producer{};
	if (created == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	kova::sdk::ctx_init(&created->ctx, &producer_ops, connection->client->dev);
	kova::sdk::ctx_set_async(&created->ctx, &producer_async_ops);
	kova::sdk::task_kind_init<kova_comch_producer_task_send>(&created->send_kind, &created->ctx, "send", run_send,
								 comch::max_buf_size);
	created->connection = connection;
	created->id = next_producer_id.fetch_add(1, std::memory_order_relaxed);
	created->token = (static_cast<uint64_t>(::getpid()) << 32) | created->id;
	comch::attach_counters(&created->counters, comch::channel_role::producer);
	*producer = created;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_producer_destroy(kova_comch_producer *producer)
{
	if (producer == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_comch_producer_destroy"))
		return forced;
	if (kova_error const err = kova::sdk::ctx_release(&producer->ctx))
		return err;
	comch::detach_counters(&producer->counters, comch::channel_role::producer);
	delete producer;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_producer_get_id(const kova_comch_producer *producer, uint32_t *id)
{
	if (producer == nullptr || id == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*id = producer->id;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_ctx *kova_comch_producer_as_ctx(kova_comch_producer *producer)
{
	return producer != nullptr ? &producer->ctx : nullptr;
}

KOVA_EXPORT kova_error kova_comch_producer_task_send_set_conf(kova_comch_producer *producer,
							      kova_task_completion_cb_t success_cb,
							      kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	if (producer == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_comch_producer_task_send_set_conf", true, num_tasks))
		return forced;
	if (num_tasks > comch::max_num_tasks)
		return KOVA_ERROR_INVALID_VALUE;
	return kova::sdk::task_kind_configure(&producer->send_kind, success_cb, error_cb, num_tasks);
}

KOVA_EXPORT kova_error kova_comch_producer_task_send_alloc_init(kova_comch_producer *producer, const kova_buf *buf,
								const uint8_t *imm_data, uint32_t imm_data_len,
								uint32_t consumer_id,
								kova_comch_producer_task_send **task)
{
	if (producer == nullptr || task == nullptr || imm_data_len > comch::max_imm_data_len ||
	    (imm_data == nullptr && imm_data_len != 0))
		return KOVA_ERROR_INVALID_VALUE;
	kova_task *taken = nullptr;
	if (kova_error const err = kova::sdk::task_alloc(&producer->send_kind, kova_data{}, buf, nullptr, &taken))
		return err;
	auto *send = kova::sdk::task_cast<kova_comch_producer_task_send>(taken);
	send->consumer_id = consumer_id;
	send->imm_len = imm_data_len;
	if (imm_data_len != 0)
		std::memcpy(send->imm, imm_data, imm_data_len);
	*task = send;
	return KOVA_SUCCESS;
}

KOVA_EXPORT const kova_buf *kova_comch_producer_task_send_get_buf(const kova_comch_producer_task_send *task)
{
	return task != nullptr ? task->task.src : nullptr;
}

KOVA_EXPORT void kova_comch_producer_task_send_set_buf(kova_comch_producer_task_send *task, const kova_buf *buf)
{
	if (task != nullptr && task->task.in_flight == 0)
		task->task.src = buf;
}

KOVA_EXPORT uint32_t kova_comch_producer_task_send_get_consumer_id(const kova_comch_producer_task_send *task)
{
	return task != nullptr ? task->consumer_id : 0;
}

KOVA_EXPORT void kova_comch_producer_task_send_set_consumer_id(kova_comch_producer_task_send *task,
							       uint32_t consumer_id)
{
	if (task != nullptr && task->task.in_flight == 0)
		task->consumer_id = consumer_id;
}

KOVA_EXPORT const uint8_t *kova_comch_producer_task_send_get_imm_data(const kova_comch_producer_task_send *task)
{
	return task != nullptr && task->imm_len != 0 ? task->imm : nullptr;
}

KOVA_EXPORT uint32_t kova_comch_producer_task_send_get_imm_data_len(const kova_comch_producer_task_send *task)
{
	return task != nullptr ? task->imm_len : 0;
}

KOVA_EXPORT kova_error kova_comch_producer_task_send_set_imm_data(kova_comch_producer_task_send *task,
								  const uint8_t *imm_data, uint32_t imm_data_len)
{
	if (task == nullptr || imm_data_len > comch::max_imm_data_len || (imm_data == nullptr && imm_data_len != 0))
		return KOVA_ERROR_INVALID_VALUE;
	if (task->task.in_flight != 0)
		return KOVA_ERROR_BAD_STATE;
	task->imm_len = imm_data_len;
	if (imm_data_len != 0)
		std::memcpy(task->imm, imm_data, imm_data_len);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_task *kova_comch_producer_task_send_as_task(kova_comch_producer_task_send *task)
{
	return task != nullptr ? &task->task : nullptr;
}
