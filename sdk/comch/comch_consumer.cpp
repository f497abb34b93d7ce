// Comch consumers: a context on a client's connection that owns a receive ring in shared memory.
// Starting it hands the ring to the server, which announces it to the client's peers; it runs
// once the server has written its id into the ring. Posted receive tasks are kept in order and
// filled, inside kova_pe_progress of the consumer's own engine, from the lanes the producers
// write; a message is copied into the buffer's free room, or completes the receive with 27 when
// it does not fit. Stopping retires the id at the peers.
#include "comch_internal.hpp"

#include <kova_internal/buf_data.hpp>
#include <kova_internal/capability.hpp>

#include <kova/ctx.h>
#include <kova/error.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>

using kova::sdk::control_call;
namespace comch = kova::sdk::comch;

namespace {

kova_comch_consumer *consumer_of(kova_ctx *ctx) noexcept
{
	return reinterpret_cast<kova_comch_consumer *>(ctx);
}

kova_error start_consumer(kova_ctx *ctx)
{
	kova_comch_consumer *consumer = consumer_of(ctx);
	kova_comch_client *client = consumer->connection->client;
	if (client->ctx.state != KOVA_CTX_STATE_RUNNING || client->fd < 0)
		return KOVA_ERROR_NOT_CONNECTED;
	std::memset(consumer->heads, 0, sizeof(consumer->heads));
	consumer->header->id.store(0, std::memory_order_relaxed);
	consumer->header->alive.store(1, std::memory_order_release);
	consumer->id = 0;
	if (!comch::client_send(client, comch::op::consumer_new, 0, nullptr, 0, consumer->ring_fd)) {
		consumer->header->alive.store(0, std::memory_order_release);
		return KOVA_ERROR_IO_FAILED;
	}
	return KOVA_ERROR_IN_PROGRESS; // runs once the server gave it an id
}

void stop_consumer(kova_ctx *ctx)
{
	kova_comch_consumer *consumer = consumer_of(ctx);
	consumer->header->alive.store(0, std::memory_order_release);
	if (consumer->id != 0)
		comch::client_send(consumer->connection->client, comch::op::consumer_gone, consumer->id, nullptr, 0, -1);
}

kova_comch_consumer_task_post_recv *pop_posted(kova_comch_consumer *consumer) noexcept
{
	kova_comch_consumer_task_post_recv *task = consumer->posted_head;
	consumer->posted_head = task->next_posted;
	if (consumer->posted_head == nullptr)
		consumer->posted_tail = nullptr;
	return task;
}

// Fills posted buffers from one lane; the number of receives completed.
uint32_t drain_lane(kova_comch_consumer *consumer, uint32_t lane)
{
	comch::lane_control &control = consumer->header->lanes[lane];
	uint64_t const tail = control.tail.load(std::memory_order_acquire);
	uint64_t head = consumer->heads[lane];
	std::byte *data = comch::lane_data(consumer->ring, lane);
	uint32_t completed = 0;
	while (head != tail && consumer->posted_head != nullptr) {
		uint64_t const offset = head % comch::lane_bytes;
		auto *record = reinterpret_cast<comch::record_header *>(data + offset);
		if (record->len == comch::pad_record) {
			head += comch::lane_bytes - offset;
			continue;
		}
		kova_comch_consumer_task_post_recv *task = pop_posted(consumer);
		kova_buf *buf = task->task.dst;
		kova_error status = KOVA_SUCCESS;
		if (record->len > kova::sdk::list_room(buf)) {
			status = KOVA_ERROR_TOO_BIG; // never truncated
		} else {
			kova::sdk::list_writer{buf}.write(record + 1, record->len);
			task->producer_id = record->producer_id;
			task->imm_len = record->imm_len;
			std::memcpy(task->imm, record->imm, record->imm_len);
		}
		if (status == KOVA_SUCCESS) {
			consumer->counters.messages.add();
			consumer->counters.bytes.add(record->len);
		} else {
			record->status = status;
			control.refused.store(control.refused.load(std::memory_order_relaxed) + 1,
					      std::memory_order_relaxed);
			consumer->counters.failed.add();
		}
		head += comch::record_bytes(record->len);
		control.head.store(head, std::memory_order_release); // completes the send at its producer
		consumer->heads[lane] = head;
		kova::sdk::task_complete(&task->task, status);
		++completed;
	}
	consumer->heads[lane] = head;
	return completed;
}

uint8_t poll_consumer(kova_ctx *ctx)
{
	kova_comch_consumer *consumer = consumer_of(ctx);
	if (ctx->state == KOVA_CTX_STATE_STARTING) {
		uint32_t const id = consumer->header->id.load(std::memory_order_acquire);
		if (id == 0)
			return 0;
		consumer->id = id;
		kova::sdk::ctx_set_state(ctx, KOVA_CTX_STATE_RUNNING);
		return 1;
	}
	if (ctx->state == KOVA_CTX_STATE_STOPPING) {
		while (consumer->posted_head != nullptr) {
			consumer->counters.failed.add();
			kova::sdk::task_complete(&pop_posted(consumer)->task, KOVA_ERROR_SHUTDOWN);
		}
		return 1;
	}
	if (ctx->state != KOVA_CTX_STATE_RUNNING || consumer->posted_head == nullptr)
		return 0;
	// A producer claims the first free lane and keeps it: the claimed lanes are the first ones.
	uint32_t claimed = 0;
	while (claimed < comch::max_lanes &&
	       consumer->header->lanes[claimed].owner.load(std::memory_order_relaxed) != 0)
		++claimed;
	if (claimed == 0)
		return 0;
	uint32_t completed = 0;
	uint32_t const first = consumer->next_lane % claimed;
	for (uint32_t i = 0; i < claimed && consumer->posted_head != nullptr; ++i)
		completed += drain_lane(consumer, (first + i) % claimed);
	consumer->next_lane = (first + 1) % claimed;
	return completed != 0 ? 1 : 0;
}

// A posted receive waits for the next message.
kova_error run_post_recv(kova_task *task)
{
	auto *recv = kova::sdk::task_cast<kova_comch_consumer_task_post_recv>(task);
	kova_comch_consumer *consumer = consumer_of(task->kind->ctx);
	kova_error refused = KOVA_SUCCESS;
	if (consumer->ctx.state == KOVA_CTX_STATE_STOPPING)
		refused = KOVA_ERROR_SHUTDOWN;
	else if (task->dst == nullptr)
		refused = KOVA_ERROR_INVALID_VALUE;
	if (refused != KOVA_SUCCESS) {
		consumer->counters.failed.add();
		return refused;
	}
	recv->next_posted = nullptr;
	if (consumer->posted_tail != nullptr)
		consumer->posted_tail->next_posted = recv;
	else
		consumer->posted_head = recv;
	consumer->posted_tail = recv;
	return KOVA_ERROR_IN_PROGRESS;
}

constexpr kova::sdk::ctx_ops consumer_ops{"kova_comch_consumer", start_consumer, stop_consumer};
constexpr kova::sdk::ctx_async_ops consumer_async_ops{poll_consumer, true};

} // namespace

KOVA_EXPORT kova_error kova_comch_consumer_create(kova_comch_connection *connection, kova_mmap *buf_mmap,
						  kova_comch_consumer **consumer)
{
	if (connection == nullptr || connection->client == nullptr || consumer == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_comch_consumer_create"))
		return forced;
	int const fd = ::memfd_create("kova_comch_ring", MFD_CLOEXEC);
	if (fd < 0)
		return KOVA_ERROR_NO_MEMORY;
	void *ring = MAP_FAILED;
	if (::ftruncate(fd, static_cast<off_t>(comch::ring_bytes)) == 0)
		ring = ::mmap(nullptr, comch::ring_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	auto *created = ring != MAP_FAILED ? new (std::nothrow) kova_comch_consumer{} : nullptr;
	if (created == nullptr) {
		if (ring != MAP_FAILED)
			::munmap(ring, comch::ring_bytes);
		::close(fd);
		return KOVA_ERROR_NO_MEMORY;
	}
	kova::sdk::ctx_init(&created->ctx, &consumer_ops, connection->client->dev);
	kova::sdk::ctx_set_async(&created->ctx, &consumer_async_ops);
	kova::sdk::task_kind_init<kova_comch_consumer_task_post_recv>(&created->post_recv_kind, &created->ctx,
								       "post_recv", run_post_recv, 0);
	created->connection = connection;
	created->mmap = buf_mmap;
	created->ring_fd = fd;
	created->ring = ring;
	created->header = new (ring) comch::ring_header{};
	comch::attach_counters(&created->counters, comch::channel_role::consumer);
	*consumer = created;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_consumer_destroy(kova_comch_consumer *consumer)
{
	if (consumer == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_comch_consumer_destroy"))
		return forced;
	if (kova_error const err = kova::sdk::ctx_release(&consumer->ctx))
		return err;
	comch::detach_counters(&consumer->counters, comch::channel_role::consumer);
	::munmap(consumer->ring, comch::ring_bytes);
	::close(consumer->ring_fd);
	delete consumer;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_consumer_get_id(const kova_comch_consumer *consumer, uint32_t *id)
{
	if (consumer == nullptr || id == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (consumer->ctx.state != KOVA_CTX_STATE_RUNNING && consumer->ctx.state != KOVA_CTX_STATE_STOPPING)
		return KOVA_ERROR_BAD_STATE;
	*id = consumer->id;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_consumer_get_imm_data_len(const kova_comch_consumer *consumer,
							    uint32_t *imm_data_len)
{
	if (consumer == nullptr || imm_data_len == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*imm_data_len = consumer->imm_data_len;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_consumer_set_imm_data_len(kova_comch_consumer *consumer, uint32_t imm_data_len)
{
	if (consumer == nullptr || imm_data_len > comch::max_imm_data_len)
		return KOVA_ERROR_INVALID_VALUE;
	if (consumer->ctx.state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	consumer->imm_data_len = imm_data_len;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_ctx *kova_comch_consumer_as_ctx(kova_comch_consumer *consumer)
{
	return consumer != nullptr ? &consumer->ctx : nullptr;
}

KOVA_EXPORT kova_error kova_comch_consumer_task_post_recv_set_conf(kova_comch_consumer *consumer,
								   kova_task_completion_cb_t success_cb,
								   kova_task_completion_cb_t error_cb,
								   uint32_t num_tasks)
{
	if (consumer == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_comch_consumer_task_post_recv_set_conf", true, num_tasks))
		return forced;
	if (num_tasks > comch::max_num_tasks)
		return KOVA_ERROR_INVALID_VALUE;
	return kova::sdk::task_kind_configure(&consumer->post_recv_kind, success_cb, error_cb, num_tasks);
}

KOVA_EXPORT kova_error kova_comch_consumer_task_post_recv_alloc_init(kova_comch_consumer *consumer, kova_buf *buf,
								     kova_comch_consumer_task_post_recv **task)
{
	if (consumer == nullptr || task == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	kova_task *taken = nullptr;
	if (kova_error const err = kova::sdk::task_alloc(&consumer->post_recv_kind, kova_data{}, nullptr, buf, &taken))
		return err;
	auto *recv = kova::sdk::task_cast<kova_comch_consumer_task_post_recv>(taken);
	recv->producer_id = 0;
	recv->imm_len = 0;
	*task = recv;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_buf *kova_comch_consumer_task_post_recv_get_buf(const kova_comch_consumer_task_post_recv *task)
{
	return task != nullptr ? task->task.dst : nullptr;
}

KOVA_EXPORT void kova_comch_consumer_task_post_recv_set_buf(kova_comch_consumer_task_post_recv *task, kova_buf *buf)
{
	if (task != nullptr && task->task.in_flight == 0)
		task->task.dst = buf;
}

KOVA_EXPORT uint32_t kova_comch_consumer_task_post_recv_get_producer_id(const kova_comch_consumer_task_post_recv *task)
{
	return task != nullptr ? task->producer_id : 0;
}

KOVA_EXPORT const uint8_t *kova_comch_consumer_task_post_recv_get_imm_data(const kova_comch_consumer_task_post_recv *task)
{
	return task != nullptr && task->imm_len != 0 ? task->imm : nullptr;
}

KOVA_EXPORT uint32_t kova_comch_consumer_task_post_recv_get_imm_data_len(const kova_comch_consumer_task_post_recv *task)
{
	return task != nullptr ? task->imm_len : 0;
}

KOVA_EXPORT kova_task *kova_comch_consumer_task_post_recv_as_task(kova_comch_consumer_task_post_recv *task)
{
	return task != nullptr ? &task->task : nullptr;
}
