// Comch clients: a context that connects to the server of its name when it starts (starting the
// server when none runs), runs once the server welcomed it, and from then on, inside
// kova_pe_progress of its engine, reads the server's announcements and messages and sends its
// own messages (send tasks). It goes idle, with its state-change callback, when the server ends
// its channel.
#include "comch_internal.hpp"

#include <kova_internal/capability.hpp>

#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/error.h>

#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <new>

using kova::sdk::control_call;
namespace comch = kova::sdk::comch;

namespace kova::sdk::comch {

bool client_send(kova_comch_client *client, op kind, uint32_t id, const void *payload, uint32_t len, int fd) noexcept
{
	if (client->fd < 0)
		return false;
	packet_header header{kind, id, len, 0};
	iovec iov[2] = {{&header, sizeof(header)}, {const_cast<void *>(payload), len}};
	msghdr msg{};
	msg.msg_iov = iov;
	msg.msg_iovlen = len != 0 ? 2 : 1;
	alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
	if (fd >= 0) {
		std::memset(control, 0, sizeof(control));
		msg.msg_control = control;
		msg.msg_controllen = sizeof(control);
		cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
		cmsg->cmsg_level = SOL_SOCKET;
		cmsg->cmsg_type = SCM_RIGHTS;
		cmsg->cmsg_len = CMSG_LEN(sizeof(int));
		std::memcpy(CMSG_DATA(cmsg), &fd, sizeof(int));
	}
	ssize_t sent;
	do
		sent = ::sendmsg(client->fd, &msg, MSG_NOSIGNAL);
	while (sent < 0 && errno == EINTR);
	return sent >= 0;
}

void *find_remote_ring(kova_comch_client *client, uint32_t consumer_id) noexcept
{
	if (consumer_id == 0)
		return nullptr;
	for (remote_consumer &remote : client->remotes) {
		if (remote.id.load(std::memory_order_acquire) == consumer_id)
			return remote.ring;
	}
	return nullptr;
}

} // namespace kova::sdk::comch

namespace {

kova_comch_client *client_of(kova_ctx *ctx) noexcept
{
	return reinterpret_cast<kova_comch_client *>(ctx);
}

void close_channel(kova_comch_client *client) noexcept
{
	if (client->fd >= 0) {
		::close(client->fd);
		client->fd = -1;
	}
}

// Waits (bounded) for the server's welcome; false when the channel closed first.
bool await_welcome(kova_comch_client *client) noexcept
{
	pollfd p{client->fd, POLLIN, 0};
	if (::poll(&p, 1, 5000) != 1)
		return false;
	comch::packet_header header{};
	ssize_t const n = ::recv(client->fd, &header, sizeof(header), MSG_DONTWAIT);
	if (n != static_cast<ssize_t>(sizeof(header)) || header.kind != comch::op::welcome)
		return false;
	client->client_id = header.id;
	return true;
}

kova_error start_client(kova_ctx *ctx)
{
	kova_comch_client *client = client_of(ctx);
	// A server that is ending may take the connection and close it: join the next one.
	for (int attempt = 0; attempt < 3; ++attempt) {
		client->fd = comch::connect_to_server(client->name);
		if (client->fd < 0)
			return KOVA_ERROR_IO_FAILED;
		if (await_welcome(client))
			return KOVA_ERROR_IN_PROGRESS; // running from the next progress on
		close_channel(client);
	}
	return KOVA_ERROR_IO_FAILED;
}

void stop_client(kova_ctx *ctx)
{
	close_channel(client_of(ctx));
}

void fail_outgoing(kova_comch_client *client, kova_error status)
{
	while (kova_comch_task_send *task = client->out_head) {
		client->out_head = task->next_out;
		if (client->out_head == nullptr)
			client->out_tail = nullptr;
		kova::sdk::task_complete(&task->task, status);
	}
}

void on_announce(kova_comch_client *client, uint32_t id, int ring_fd)
{
	void *ring = ::mmap(nullptr, comch::ring_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, ring_fd, 0);
	::close(ring_fd);
	if (ring == MAP_FAILED || client->num_remotes == comch::max_remote_consumers) {
		if (ring != MAP_FAILED)
			::munmap(ring, comch::ring_bytes);
		return;
	}
	comch::remote_consumer &slot = client->remotes[client->num_remotes++];
	slot.ring = ring;
	slot.expired = false;
	slot.id.store(id, std::memory_order_release);
	if (client->new_consumer_cb != nullptr)
		client->new_consumer_cb(reinterpret_cast<kova_comch_event_consumer *>(client), &client->connection, id);
}

void on_expired(kova_comch_client *client, uint32_t id)
{
	for (uint32_t i = 0; i < client->num_remotes; ++i) {
		comch::remote_consumer &slot = client->remotes[i];
		if (slot.id.load(std::memory_order_relaxed) != id || slot.expired)
			continue;
		slot.expired = true;
		if (client->expired_consumer_cb != nullptr)
			client->expired_consumer_cb(reinterpret_cast<kova_comch_event_consumer *>(client),
						    &client->connection, id);
		return;
	}
}

// The server ended the channel: the client is no longer connected.
void on_disconnected(kova_comch_client *client)
{
	close_channel(client);
	fail_outgoing(client, KOVA_ERROR_CONNECTION_ABORTED);
	if (client->ctx.state != KOVA_CTX_STATE_IDLE && client->ctx.num_inflight == 0)
		kova::sdk::ctx_set_state(&client->ctx, KOVA_CTX_STATE_IDLE);
}

// Reads what the server sent; 1 when anything arrived.
uint8_t read_channel(kova_comch_client *client)
{
	uint8_t did = 0;
	alignas(comch::packet_header) std::byte buffer[comch::max_packet];
	for (int i = 0; i < 64 && client->fd >= 0; ++i) {
		iovec iov{buffer, sizeof(buffer)};
		alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
		msghdr msg{};
		msg.msg_iov = &iov;
		msg.msg_iovlen = 1;
		msg.msg_control = control;
		msg.msg_controllen = sizeof(control);
		ssize_t const n = ::recvmsg(client->fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
		if (n < 0 && (errno == EAGAIN || errno == EINTR))
			return did;
		did = 1;
		if (n < static_cast<ssize_t>(sizeof(comch::packet_header))) {
			on_disconnected(client);
			return did;
		}
		int passed = -1;
		for (cmsghdr *cmsg = CMSG_FIRSTHDR(&msg); cmsg != nullptr; cmsg = CMSG_NXTHDR(&msg, cmsg)) {
			if (cmsg->cmsg_level == SOL_SOCKET && cmsg->cmsg_type == SCM_RIGHTS)
				std::memcpy(&passed, CMSG_DATA(cmsg), sizeof(int));
		}
		comch::packet_header header{};
		std::memcpy(&header, buffer, sizeof(header));
		switch (header.kind) {
		case comch::op::consumer_announce:
			if (passed >= 0)
				on_announce(client, header.id, passed);
			break;
		case comch::op::consumer_expired:
			on_expired(client, header.id);
			break;
		case comch::op::message:
			client->live_counters[KOVA_COMCH_COUNTER_RECEIVED_MESSAGES].fetch_add(1, std::memory_order_relaxed);
			client->live_counters[KOVA_COMCH_COUNTER_RECEIVED_BYTES].fetch_add(header.len,
											   std::memory_order_relaxed);
			if (client->msg_recv_cb != nullptr)
				client->msg_recv_cb(reinterpret_cast<kova_comch_event_msg_recv *>(client),
						    reinterpret_cast<uint8_t *>(buffer + sizeof(header)), header.len,
						    &client->connection);
			break;
		default:
			if (passed >= 0)
				::close(passed);
			break;
		}
	}
	return did;
}

uint8_t poll_client(kova_ctx *ctx)
{
	kova_comch_client *client = client_of(ctx);
	uint8_t did = 0;
	if (ctx->state == KOVA_CTX_STATE_STARTING && client->fd >= 0) {
		kova::sdk::ctx_set_state(ctx, KOVA_CTX_STATE_RUNNING);
		did = 1;
	}
	if (ctx->state == KOVA_CTX_STATE_STOPPING) {
		fail_outgoing(client, KOVA_ERROR_SHUTDOWN);
		return 1;
	}
	while (kova_comch_task_send *task = client->out_head) {
		client->out_head = task->next_out;
		if (client->out_head == nullptr)
			client->out_tail = nullptr;
		bool const sent = comch::client_send(client, comch::op::message, 0, task->msg, task->len, -1);
		if (sent) {
			client->live_counters[KOVA_COMCH_COUNTER_SENT_MESSAGES].fetch_add(1, std::memory_order_relaxed);
			client->live_counters[KOVA_COMCH_COUNTER_SENT_BYTES].fetch_add(task->len, std::memory_order_relaxed);
		}
		kova::sdk::task_complete(&task->task, sent ? KOVA_SUCCESS : KOVA_ERROR_IO_FAILED);
		did = 1;
	}
	if (client->fd >= 0)
		did |= read_channel(client);
	// Disconnected while sends were still on their way: idle once they are all delivered.
	if (client->fd < 0 && ctx->state == KOVA_CTX_STATE_RUNNING && ctx->num_inflight == 0) {
		kova::sdk::ctx_set_state(ctx, KOVA_CTX_STATE_IDLE);
		did = 1;
	}
	return did;
}

// A send task goes out with the next progress.
kova_error run_send(kova_task *task)
{
	auto *send = kova::sdk::task_cast<kova_comch_task_send>(task);
	kova_comch_client *client = client_of(task->kind->ctx);
	if (client->ctx.state != KOVA_CTX_STATE_RUNNING || client->fd < 0)
		return KOVA_ERROR_NOT_CONNECTED;
	send->next_out = nullptr;
	if (client->out_tail != nullptr)
		client->out_tail->next_out = send;
	else
		client->out_head = send;
	client->out_tail = send;
	return KOVA_ERROR_IN_PROGRESS;
}

constexpr kova::sdk::ctx_ops client_ops{"kova_comch_client", start_client, stop_client};
constexpr kova::sdk::ctx_async_ops client_async_ops{poll_client, true};

} // namespace

KOVA_EXPORT kova_error kova_comch_connection_set_user_data(kova_comch_connection *connection, kova_data user_data)
{
	if (connection == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	connection->user_data = user_data;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_data kova_comch_connection_get_user_data(const kova_comch_connection *connection)
{
	return connection != nullptr ? connection->user_data : kova_data{};
}

KOVA_EXPORT kova_comch_client *kova_comch_client_get_client_ctx(const kova_comch_connection *connection)
{
	return connection != nullptr ? connection->client : nullptr;
}

KOVA_EXPORT kova_error kova_comch_client_create(kova_dev *dev, const char *server_name, kova_comch_client **client)
{
	if (dev == nullptr || server_name == nullptr || client == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_comch_client_create"))
		return forced;
	char path[128];
	if (!comch::socket_path(server_name, path, sizeof(path)))
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_comch_cap_client_is_supported(kova_dev_as_devinfo(dev)) != KOVA_SUCCESS)
		return KOVA_ERROR_NOT_SUPPORTED;
	auto *created = new (std::nothrow) kova_comch_client{};
	if (created == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	kova::sdk::ctx_init(&created->ctx, &client_ops, dev);
	kova::sdk::ctx_set_async(&created->ctx, &client_async_ops);
	kova::sdk::task_kind_init<kova_comch_task_send>(&created->send_kind, &created->ctx, "send", run_send, 0);
	created->dev = dev;
	std::strncpy(created->name, server_name, sizeof(created->name) - 1);
	created->max_msg_size = comch::max_msg_size;
	created->recv_queue_size = comch::default_recv_queue_size;
	created->fd = -1;
	created->connection.client = created;
	*client = created;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_client_destroy(kova_comch_client *client)
{
	if (client == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_comch_client_destroy"))
		return forced;
	if (kova_error const err = kova::sdk::ctx_release(&client->ctx))
		return err;
	close_channel(client);
	for (uint32_t i = 0; i < client->num_remotes; ++i)
		::munmap(client->remotes[i].ring, comch::ring_bytes);
	delete client;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_client_set_max_msg_size(kova_comch_client *client, uint32_t max_msg_size)
{
	if (client == nullptr || max_msg_size == 0 || max_msg_size > comch::max_msg_size)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_comch_client_set_max_msg_size", true, max_msg_size))
		return forced;
	if (client->ctx.state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	client->max_msg_size = max_msg_size;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_client_get_max_msg_size(const kova_comch_client *client, uint32_t *max_msg_size)
{
	if (client == nullptr || max_msg_size == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*max_msg_size = client->max_msg_size;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_client_set_recv_queue_size(kova_comch_client *client, uint32_t recv_queue_size)
{
	if (client == nullptr || recv_queue_size == 0 || recv_queue_size > comch::max_recv_queue_size)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_comch_client_set_recv_queue_size", true, recv_queue_size))
		return forced;
	if (client->ctx.state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	client->recv_queue_size = recv_queue_size;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_client_get_recv_queue_size(const kova_comch_client *client,
							     uint32_t *recv_queue_size)
{
	if (client == nullptr || recv_queue_size == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*recv_queue_size = client->recv_queue_size;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_client_get_device(const kova_comch_client *client, kova_dev **dev)
{
	if (client == nullptr || dev == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*dev = client->dev;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_ctx *kova_comch_client_as_ctx(kova_comch_client *client)
{
	return client != nullptr ? &client->ctx : nullptr;
}

KOVA_EXPORT kova_error kova_comch_client_get_connection(const kova_comch_client *client,
							kova_comch_connection **connection)
{
	if (client == nullptr || connection == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (client->ctx.state != KOVA_CTX_STATE_RUNNING)
		return KOVA_ERROR_BAD_STATE;
	*connection = const_cast<kova_comch_connection *>(&client->connection);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_client_task_send_set_conf(kova_comch_client *client,
							    kova_task_completion_cb_t success_cb,
							    kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	if (client == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_comch_client_task_send_set_conf", true, num_tasks))
		return forced;
	if (num_tasks > comch::max_send_tasks)
		return KOVA_ERROR_INVALID_VALUE;
	return kova::sdk::task_kind_configure(&client->send_kind, success_cb, error_cb, num_tasks);
}

KOVA_EXPORT kova_error kova_comch_client_task_send_alloc_init(kova_comch_client *client,
							      kova_comch_connection *connection, const void *msg,
							      uint32_t msg_len, kova_comch_task_send **task)
{
	if (client == nullptr || connection != &client->connection || task == nullptr ||
	    (msg == nullptr && msg_len != 0) || msg_len > client->max_msg_size)
		return KOVA_ERROR_INVALID_VALUE;
	kova_task *taken = nullptr;
	if (kova_error const err = kova::sdk::task_alloc(&client->send_kind, kova_data{}, nullptr, nullptr, &taken))
		return err;
	auto *send = kova::sdk::task_cast<kova_comch_task_send>(taken);
	send->len = msg_len;
	if (msg_len != 0)
		std::memcpy(send->msg, msg, msg_len);
	*task = send;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_task *kova_comch_task_send_as_task(kova_comch_task_send *task)
{
	return task != nullptr ? &task->task : nullptr;
}

KOVA_EXPORT kova_error kova_comch_client_event_msg_recv_register(kova_comch_client *client,
								 kova_comch_event_msg_recv_cb_t recv_cb)
{
	if (client == nullptr || recv_cb == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_comch_client_event_msg_recv_register"))
		return forced;
	if (client->ctx.state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	client->msg_recv_cb = recv_cb;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_client_event_consumer_register(kova_comch_client *client,
								 kova_comch_event_consumer_cb_t new_consumer_cb,
								 kova_comch_event_consumer_cb_t expired_consumer_cb)
{
	if (client == nullptr || new_consumer_cb == nullptr || expired_consumer_cb == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_comch_client_event_consumer_register"))
		return forced;
	if (client->ctx.state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	client->new_consumer_cb = new_consumer_cb;
	client->expired_consumer_cb = expired_consumer_cb;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_connection_update_info(kova_comch_connection *connection)
{
	if (connection == nullptr || connection->client == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	for (int i = 0; i < 4; ++i)
		connection->counters[i] = connection->client->live_counters[i].load(std::memory_order_relaxed);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_comch_connection_get_counter(const kova_comch_connection *connection, uint32_t counter,
							 uint64_t *value)
{
	if (connection == nullptr || value == nullptr || counter > KOVA_COMCH_COUNTER_RECEIVED_BYTES)
		return KOVA_ERROR_INVALID_VALUE;
	*value = connection->counters[counter];
	return KOVA_SUCCESS;
}
