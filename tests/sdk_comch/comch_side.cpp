#include "comch_side.hpp"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace kova::comch_test {
namespace {

events *events_of_connection(kova_comch_connection *connection)
{
	kova_data user_data{};
	kova_ctx_get_user_data(kova_comch_client_as_ctx(kova_comch_client_get_client_ctx(connection)), &user_data);
	return static_cast<events *>(user_data.ptr);
}

void on_new(kova_comch_event_consumer *, kova_comch_connection *connection, uint32_t id)
{
	events_of_connection(connection)->announced.push_back(id);
}

void on_expired(kova_comch_event_consumer *, kova_comch_connection *connection, uint32_t id)
{
	events_of_connection(connection)->expired.push_back(id);
}

void on_message(kova_comch_event_msg_recv *, uint8_t *msg, uint32_t len, kova_comch_connection *connection)
{
	events_of_connection(connection)->messages.emplace_back(reinterpret_cast<const char *>(msg), len);
}

void on_state(kova_data user_data, kova_ctx *, kova_ctx_states prev, kova_ctx_states next)
{
	static_cast<events *>(user_data.ptr)->client_states.emplace_back(prev, next);
}

void free_send(kova_task *task, kova_data, kova_data)
{
	kova_task_free(task);
}

void check(kova_error err, const char *what)
{
	if (err != KOVA_SUCCESS)
		throw std::runtime_error(std::string{what} + " failed: " + kova_error_get_name(err));
}

} // namespace

std::string unique_name(const char *what)
{
	static std::atomic<int> serial{0};
	return std::string{"kq_"} + what + "_" + std::to_string(::getpid()) + "_" + std::to_string(serial++);
}

bool pump_until(const std::function<bool()> &step, int limit_ms)
{
	auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds{limit_ms};
	while (!step()) {
		if (std::chrono::steady_clock::now() > deadline)
			return false;
	}
	return true;
}

side::side(const std::string &server_name, uint32_t send_tasks)
{
	kova_devinfo **list = nullptr;
	uint32_t count = 0;
	check(kova_devinfo_create_list(&list, &count), "kova_devinfo_create_list");
	kova_error const opened = count != 0 ? kova_dev_open(list[0], &m_dev) : kova_error{KOVA_ERROR_NOT_FOUND};
	kova_devinfo_destroy_list(list);
	check(opened, "kova_dev_open");
	check(kova_pe_create(&m_pe), "kova_pe_create");
	check(kova_comch_client_create(m_dev, server_name.c_str(), &m_client), "kova_comch_client_create");
	check(kova_comch_client_task_send_set_conf(m_client, free_send, free_send, send_tasks), "send set_conf");
	check(kova_comch_client_event_msg_recv_register(m_client, on_message), "msg register");
	check(kova_comch_client_event_consumer_register(m_client, on_new, on_expired), "consumer register");
	kova_ctx *ctx = kova_comch_client_as_ctx(m_client);
	check(kova_ctx_set_user_data(ctx, kova_data{.ptr = &recorded}), "user data");
	check(kova_ctx_set_state_changed_cb(ctx, on_state), "state cb");
	check(kova_pe_connect_ctx(m_pe, ctx), "connect");
}

side::~side()
{
	kova_ctx *ctx = kova_comch_client_as_ctx(m_client);
	if (kova_ctx_stop(ctx) == KOVA_ERROR_IN_PROGRESS)
		pump_until([&] { progress(); return state() == KOVA_CTX_STATE_IDLE; }, 5000);
	kova_comch_client_destroy(m_client);
	kova_pe_destroy(m_pe);
	kova_dev_close(m_dev);
}

kova_error side::start()
{
	return kova_ctx_start(kova_comch_client_as_ctx(m_client));
}

bool side::run(int limit_ms)
{
	return pump_until([&] { progress(); return state() == KOVA_CTX_STATE_RUNNING; }, limit_ms);
}

kova_ctx_states side::state() const
{
	kova_ctx_states s = KOVA_CTX_STATE_IDLE;
	kova_ctx_get_state(kova_comch_client_as_ctx(m_client), &s);
	return s;
}

kova_comch_connection *side::connection() const
{
	kova_comch_connection *c = nullptr;
	return kova_comch_client_get_connection(m_client, &c) == KOVA_SUCCESS ? c : nullptr;
}

buffers::buffers(kova_dev *dev, uint32_t count, uint32_t size, bool filled) : m_size{size}, m_region(std::size_t{count} * size)
{
	check(kova_mmap_create(&m_mmap), "kova_mmap_create");
	check(kova_mmap_add_dev(m_mmap, dev), "kova_mmap_add_dev");
	check(kova_mmap_set_memrange(m_mmap, m_region.data(), m_region.size()), "memrange");
	check(kova_mmap_start(m_mmap), "kova_mmap_start");
	check(kova_buf_inventory_create(count, &m_inventory), "inventory");
	check(kova_buf_inventory_start(m_inventory), "inventory start");
	for (uint32_t i = 0; i < count; ++i) {
		kova_buf *buf = nullptr;
		check(kova_buf_inventory_buf_get_by_args(m_inventory, m_mmap, bytes(i), size, bytes(i), filled ? size : 0, &buf), "buf");
		m_bufs.push_back(buf);
	}
}

buffers::~buffers()
{
	for (kova_buf *buf : m_bufs)
		kova_buf_dec_refcount(buf, nullptr);
	kova_buf_inventory_destroy(m_inventory);
	kova_mmap_destroy(m_mmap);
}

void on_success(kova_task *task, kova_data, kova_data ctx_user_data)
{
	auto *c = static_cast<completions *>(ctx_user_data.ptr);
	++c->ok;
	c->done.push_back(task);
}

void on_error(kova_task *task, kova_data, kova_data ctx_user_data)
{
	auto *c = static_cast<completions *>(ctx_user_data.ptr);
	++c->failed;
	c->statuses.push_back(kova_task_get_status(task));
	c->done.push_back(task);
}

void fill_message(uint8_t *bytes, uint32_t size, uint64_t seq)
{
	std::memcpy(bytes, &seq, sizeof(seq));
	for (uint32_t i = sizeof(seq); i < size; ++i)
		bytes[i] = static_cast<uint8_t>(seq * 31 + i);
}

uint64_t check_message(const uint8_t *bytes, uint32_t size)
{
	uint64_t seq = 0;
	std::memcpy(&seq, bytes, sizeof(seq));
	for (uint32_t i = sizeof(seq); i < size; ++i) {
		if (bytes[i] != static_cast<uint8_t>(seq * 31 + i))
			return UINT64_MAX;
	}
	return seq;
}

consumer_side::consumer_side(side &owner, buffers &bufs, uint32_t num_tasks) : owner{owner}
{
	kova_pe_create(&pe);
	kova_comch_consumer_create(owner.connection(), bufs.mmap(), &consumer);
	kova_comch_consumer_task_post_recv_set_conf(consumer, on_success, on_error, num_tasks);
	kova_ctx_set_user_data(ctx(), kova_data{.ptr = &done});
	kova_pe_connect_ctx(pe, ctx());
	start_result = kova_ctx_start(ctx());
}

consumer_side::~consumer_side()
{
	if (kova_ctx_stop(ctx()) == KOVA_ERROR_IN_PROGRESS)
		pump_until([&] { kova_pe_progress(pe); return state() == KOVA_CTX_STATE_IDLE; }, 5000);
	kova_comch_consumer_destroy(consumer);
	kova_pe_destroy(pe);
}

kova_ctx_states consumer_side::state()
{
	kova_ctx_states s = KOVA_CTX_STATE_IDLE;
	kova_ctx_get_state(ctx(), &s);
	return s;
}

bool consumer_side::run()
{
	return pump_until([&] { kova_pe_progress(pe); owner.progress(); return state() == KOVA_CTX_STATE_RUNNING; },
			  5000);
}

uint32_t consumer_side::id()
{
	uint32_t value = 0;
	kova_comch_consumer_get_id(consumer, &value);
	return value;
}

kova_comch_consumer_task_post_recv *consumer_side::post(kova_buf *buf)
{
	kova_comch_consumer_task_post_recv *task = nullptr;
	if (kova_comch_consumer_task_post_recv_alloc_init(consumer, buf, &task) != KOVA_SUCCESS)
		return nullptr;
	if (kova_task_submit(kova_comch_consumer_task_post_recv_as_task(task)) != KOVA_SUCCESS)
		return nullptr;
	return task;
}

producer_side::producer_side(side &owner, uint32_t num_tasks)
{
	kova_pe_create(&pe);
	kova_comch_producer_create(owner.connection(), &producer);
	kova_comch_producer_task_send_set_conf(producer, on_success, on_error, num_tasks);
	kova_ctx_set_user_data(ctx(), kova_data{.ptr = &done});
	kova_pe_connect_ctx(pe, ctx());
	start_result = kova_ctx_start(ctx());
}

producer_side::~producer_side()
{
	if (kova_ctx_stop(ctx()) == KOVA_ERROR_IN_PROGRESS)
		pump_until([&] { kova_pe_progress(pe); return kova_ctx_get_state(ctx(), &last) == 0 && last == 0; },
			   5000);
	kova_comch_producer_destroy(producer);
	kova_pe_destroy(pe);
}

kova_task *producer_side::task(const kova_buf *buf, uint32_t consumer_id)
{
	kova_comch_producer_task_send *t = nullptr;
	if (kova_comch_producer_task_send_alloc_init(producer, buf, nullptr, 0, consumer_id, &t) != KOVA_SUCCESS)
		return nullptr;
	return kova_comch_producer_task_send_as_task(t);
}

} // namespace kova::comch_test
