// Comch endpoint, consumer and producer.
#include "utility/comch_common.hpp"

#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <utility>
#include <vector>

namespace kova::bench::utility {

template <typename Handle>
void comch_destroyer<Handle>::operator()(Handle *handle) const noexcept
{
	if (destroy == nullptr)
		return;
	if (kova_error const err = destroy(handle))
		std::fprintf(stderr, "Failed to destroy %s: %s\n", what, kova_error_get_name(err));
}

template struct comch_destroyer<kova_comch_client>;
template struct comch_destroyer<kova_comch_consumer>;
template struct comch_destroyer<kova_comch_producer>;

namespace {

const dl::kova_comch_api *get_comch_api_or_throw()
{
	const dl::kova_comch_api *api = dl::kova_comch_api::singleton();
	if (api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_comch library is not installed");
	return api;
}

bool is_null(kova_data data) noexcept
{
	return data.u64 == 0;
}

// Runs the body of an SDK callback; what it throws is kept by the endpoint (when known) for its
// next poll, or printed.
template <typename Body>
void guarded(comch_endpoint *endpoint, const char *where, Body &&body) noexcept
{
	auto record = [endpoint](kova_error code, std::string message) { endpoint->record_error(code, std::move(message)); };
	try {
		body();
	} catch (const kova::exception &ex) {
		if (endpoint != nullptr)
			record(ex.code(), ex.what());
		else
			std::fprintf(stderr, "%s: %s\n", where, ex.what());
	} catch (const std::exception &ex) {
		if (endpoint != nullptr)
			record(KOVA_ERROR_UNEXPECTED, std::string{where} + ": " + ex.what());
		else
			std::fprintf(stderr, "%s: %s\n", where, ex.what());
	} catch (...) {
		if (endpoint != nullptr)
			record(KOVA_ERROR_UNEXPECTED, std::string{where} + ": unknown exception");
		else
			std::fprintf(stderr, "%s: unknown exception\n", where);
	}
}

} // namespace

comch_endpoint *get_endpoint_from_conn(kova_comch_connection *connection)
{
	const dl::kova_comch_api *api = get_comch_api_or_throw();
	kova_comch_client *client = api->kova_comch_client_get_client_ctx(connection);
	kova_data user_data{};
	kova_error const err = kova_ctx_get_user_data(api->kova_comch_client_as_ctx(client), &user_data);
	if (err != KOVA_SUCCESS)
		KOVA_THROW(err, "Unable to get kova ctx user data");
	if (user_data.ptr == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to get kova ctx user data");
	return static_cast<comch_endpoint *>(user_data.ptr);
}

comch_endpoint::comch_endpoint(const configuration &cfg, callbacks cbs, kova_dev *dev, kova_dev_rep * /*rep*/)
    : m_api{get_comch_api_or_throw()}
{
	if (cfg.server_name.empty())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Empty server name is invalid");
	if (dev == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "device is required");

	kova_comch_client *client = nullptr;
	if (kova_error const err = m_api->kova_comch_client_create(dev, cfg.server_name.c_str(), &client))
		KOVA_THROW(err, "Unable to create comch client connection");
	m_client = {client, {m_api->kova_comch_client_destroy, "comch client"}};

	m_pe = make_pe();

	if (kova_error const err = m_api->kova_comch_client_task_send_set_conf(
		    client, on_task_send_completion, on_task_send_error, cfg.send_task_count))
		KOVA_THROW(err, "Unable to set comch send task conf");
	if (kova_error const err = m_api->kova_comch_client_event_msg_recv_register(client, on_event_received))
		KOVA_THROW(err, "Unable to set msg recv event callback");
	if (!cbs.new_consumer || !cbs.expired_consumer)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Callbacks must be specified");
	if (kova_error const err =
		    m_api->kova_comch_client_event_consumer_register(client, new_consumer_cb, expired_consumer_cb))
		KOVA_THROW(err, "Unable to set consumer event callback");
	m_callbacks = std::move(cbs);
	if (cfg.max_msg_size != 0) {
		if (kova_error const err = m_api->kova_comch_client_set_max_msg_size(client, cfg.max_msg_size))
			KOVA_THROW(err, "Unable to set max msg size");
	}
	if (cfg.recv_queue_size != 0) {
		if (kova_error const err = m_api->kova_comch_client_set_recv_queue_size(client, cfg.recv_queue_size))
			KOVA_THROW(err, "Unable to set recv queue size");
	}

	kova_ctx *ctx = m_api->kova_comch_client_as_ctx(client);
	if (kova_error const err = kova_ctx_set_state_changed_cb(ctx, on_ctx_state_changed))
		KOVA_THROW(err, "Unable to set ctx state change event callback");
	if (kova_error const err = kova_ctx_set_user_data(ctx, kova_data{.ptr = this}))
		KOVA_THROW(err, "Unable to set ctx user data");
	if (kova_error const err = kova_pe_connect_ctx(m_pe.get(), ctx))
		KOVA_THROW(err, "Unable to connect pe to endpoint ctx");
	kova_error const started = kova_ctx_start(ctx);
	if (started != KOVA_SUCCESS && started != KOVA_ERROR_IN_PROGRESS)
		KOVA_THROW(started, "Unable to start endpoint ctx");
}

comch_endpoint::~comch_endpoint()
{
	stop_ctx(get_kova_ctx(), m_pe.get(), "comch endpoint");
	// The client goes before the engine it is connected to (members in reverse order).
}

bool comch_endpoint::poll()
{
	bool const did_work = kova_pe_progress(m_pe.get()) != 0;
	if (m_has_error) {
		m_has_error = false;
		KOVA_THROW(m_error_code, std::exchange(m_error_message, {}));
	}
	return did_work;
}

kova_ctx *comch_endpoint::get_kova_ctx() const
{
	return m_client != nullptr ? m_api->kova_comch_client_as_ctx(m_client.get()) : nullptr;
}

span<kova_comch_connection *> comch_endpoint::get_connections()
{
	if (m_connections.empty() && is_context_running(get_kova_ctx())) {
		kova_comch_connection *connection = nullptr;
		if (m_api->kova_comch_client_get_connection(m_client.get(), &connection) == KOVA_SUCCESS &&
		    connection != nullptr)
			m_connections.push_back(connection);
	}
	return {m_connections.data(), m_connections.size()};
}

void comch_endpoint::remove_connection(kova_comch_connection *connection)
{
	for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
		if (*it == connection) {
			m_connections.erase(it);
			return;
		}
	}
}

void comch_endpoint::record_error(kova_error code, std::string message) noexcept
{
	if (m_has_error)
		return; // the first one is reported
	m_has_error = true;
	m_error_code = code;
	m_error_message = std::move(message);
}

void comch_endpoint::on_ctx_state_changed(kova_data user_data, kova_ctx * /*ctx*/, enum kova_ctx_states prev_state,
					  enum kova_ctx_states next_state) noexcept
{
	auto *endpoint = static_cast<comch_endpoint *>(user_data.ptr);
	if (endpoint == nullptr)
		return;
	if (prev_state == KOVA_CTX_STATE_RUNNING && next_state != KOVA_CTX_STATE_RUNNING)
		endpoint->m_connections.clear();
}

void comch_endpoint::on_event_received(kova_comch_event_msg_recv * /*event*/, uint8_t * /*msg*/,
				       uint32_t /*msg_len*/, kova_comch_connection *connection) noexcept
{
	guarded(nullptr, "on_event_received", [connection] {
		comch_endpoint *endpoint = get_endpoint_from_conn(connection);
		for (kova_comch_connection *listed : endpoint->m_connections) {
			if (listed == connection)
				return;
		}
		endpoint->m_connections.push_back(connection);
	});
}

void comch_endpoint::new_consumer_cb(kova_comch_event_consumer * /*event*/, kova_comch_connection *connection,
				     uint32_t consumer_id) noexcept
{
	comch_endpoint *endpoint = nullptr;
	guarded(nullptr, "new_consumer_cb", [&] { endpoint = get_endpoint_from_conn(connection); });
	if (endpoint == nullptr)
		return;
	guarded(endpoint, "new_consumer_cb", [&] {
		++endpoint->m_connected_consumer_count;
		endpoint->m_callbacks.new_consumer(endpoint, consumer_id);
	});
}

void comch_endpoint::expired_consumer_cb(kova_comch_event_consumer * /*event*/, kova_comch_connection *connection,
					 uint32_t consumer_id) noexcept
{
	comch_endpoint *endpoint = nullptr;
	guarded(nullptr, "expired_consumer_cb", [&] { endpoint = get_endpoint_from_conn(connection); });
	if (endpoint == nullptr)
		return;
	guarded(endpoint, "expired_consumer_cb", [&] {
		if (endpoint->m_connected_consumer_count == 0)
			std::fprintf(stdout, "[comch_endpoint] consumer %u expired without having been announced\n",
				     consumer_id);
		else
			--endpoint->m_connected_consumer_count;
		endpoint->m_callbacks.expired_consumer(endpoint, consumer_id);
	});
}

void comch_endpoint::on_task_send_completion(kova_task *task, kova_data /*task_user_data*/,
					     kova_data /*ctx_user_data*/) noexcept
{
	static_cast<void>(kova_task_free(task));
}

void comch_endpoint::on_task_send_error(kova_task *task, kova_data /*task_user_data*/, kova_data ctx_user_data) noexcept
{
	std::fputs("on_task_send_error failed\n", stderr);
	std::fflush(stdout);
	std::fflush(stderr);
	kova_error const status = kova_task_get_status(task);
	static_cast<void>(kova_task_free(task));
	if (auto *endpoint = static_cast<comch_endpoint *>(ctx_user_data.ptr))
		endpoint->record_error(status != KOVA_SUCCESS ? status : kova_error{KOVA_ERROR_UNEXPECTED},
				       "comch send task failed");
}


comch_consumer::comch_consumer(const configuration &cfg, callbacks cbs, kova_data ctx_user_data, kova_pe *ext_pe,
			       kova_comch_connection *ext_connection, kova_mmap *mmap)
    : m_api{get_comch_api_or_throw()}, m_pe{ext_pe}
{
	if (is_null(ctx_user_data))
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "ctx_user_data must not be null");
	if (ext_pe == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "ext_pe must not be null");
	if (ext_connection == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "ext_connection must not be null");

	kova_comch_consumer *consumer = nullptr;
	if (kova_error const err = m_api->kova_comch_consumer_create(ext_connection, mmap, &consumer))
		KOVA_THROW(err, "Unable to create consumer");
	m_consumer = {consumer, {m_api->kova_comch_consumer_destroy, "comch consumer"}};
	if (kova_error const err = m_api->kova_comch_consumer_task_post_recv_set_conf(
		    consumer, cbs.task_completion, cbs.task_error, cfg.task_count))
		KOVA_THROW(err, "Unable to set consumer send task conf");
	kova_ctx *ctx = get_kova_ctx();
	if (kova_error const err = kova_ctx_set_user_data(ctx, ctx_user_data))
		KOVA_THROW(err, "Unable to set consumer user data");
	if (kova_error const err = kova_pe_connect_ctx(ext_pe, ctx))
		KOVA_THROW(err, "Unable to connect pe to consumer");
	// Runs once the peer side has taken it; a consumer that runs at once is as good.
	kova_error const started = kova_ctx_start(ctx);
	if (started != KOVA_ERROR_IN_PROGRESS && started != KOVA_SUCCESS)
		KOVA_THROW(started, "Unable to start consumer");
}

comch_consumer::~comch_consumer()
{
	stop_ctx(get_kova_ctx(), m_pe, "comch consumer", &m_tasks);
	destroy_all_tasks_impl();
}

kova_ctx *comch_consumer::get_kova_ctx() const
{
	return m_consumer != nullptr ? m_api->kova_comch_consumer_as_ctx(m_consumer.get()) : nullptr;
}

kova_comch_consumer_task_post_recv *comch_consumer::create_task(kova_buf *buffer, kova_data task_user_data)
{
	kova_comch_consumer_task_post_recv *task = nullptr;
	if (kova_error const err = m_api->kova_comch_consumer_task_post_recv_alloc_init(m_consumer.get(), buffer, &task))
		KOVA_THROW(err, "Unable to create kova_comch_consumer_task_post_recv task");
	kova_task *generic = m_api->kova_comch_consumer_task_post_recv_as_task(task);
	static_cast<void>(kova_task_set_user_data(generic, task_user_data));
	m_tasks.push_back(generic);
	return task;
}

void comch_consumer::destroy_all_tasks() noexcept
{
	destroy_all_tasks_impl();
}

void comch_consumer::destroy_all_tasks_draining() noexcept
{
	destroy_all_tasks_impl();
	if (m_tasks.empty())
		return;
	stop_ctx(get_kova_ctx(), m_pe, "comch consumer", &m_tasks);
	destroy_all_tasks_impl();
}

void comch_consumer::destroy_all_tasks_impl() noexcept
{
	// A task still in flight stays listed; stopping the context frees it once delivered.
	std::erase_if(m_tasks, [](kova_task *task) { return kova_task_free(task) == KOVA_SUCCESS; });
}

comch_producer::comch_producer(const configuration &cfg, callbacks cbs, kova_data ctx_user_data, kova_pe *ext_pe,
			       kova_comch_connection *ext_connection)
    : m_api{get_comch_api_or_throw()}, m_pe{ext_pe}
{
	if (is_null(ctx_user_data))
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "ctx_user_data must not be null");
	if (ext_pe == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "ext_pe must not be null");
	if (ext_connection == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "ext_connection must not be null");

	kova_comch_producer *producer = nullptr;
	if (kova_error const err = m_api->kova_comch_producer_create(ext_connection, &producer))
		KOVA_THROW(err, "Unable to create producer");
	m_producer = {producer, {m_api->kova_comch_producer_destroy, "comch producer"}};
	if (kova_error const err = m_api->kova_comch_producer_task_send_set_conf(producer, cbs.task_completion,
										cbs.task_error, cfg.task_count))
		KOVA_THROW(err, "Unable to set producer send task conf");
	kova_ctx *ctx = get_kova_ctx();
	if (kova_error const err = kova_ctx_set_user_data(ctx, ctx_user_data))
		KOVA_THROW(err, "Unable to set producer user data");
	if (kova_error const err = kova_pe_connect_ctx(ext_pe, ctx))
		KOVA_THROW(err, "Unable to connect pe to producer");
	if (kova_error const err = kova_ctx_start(ctx))
		KOVA_THROW(err, "Unable to start producer");
}

comch_producer::~comch_producer()
{
	stop_ctx(get_kova_ctx(), m_pe, "comch producer", &m_tasks);
	destroy_all_tasks_impl();
}

kova_ctx *comch_producer::get_kova_ctx() const
{
	return m_producer != nullptr ? m_api->kova_comch_producer_as_ctx(m_producer.get()) : nullptr;
}

kova_comch_producer_task_send *comch_producer::create_task(const kova_buf *buffer, kova_data task_user_data,
							   uint32_t consumer_id)
{
	kova_comch_producer_task_send *task = nullptr;
	if (kova_error const err = m_api->kova_comch_producer_task_send_alloc_init(m_producer.get(), buffer, nullptr, 0,
										  consumer_id, &task))
		KOVA_THROW(err, "Unable to create kova_comch_producer_task_send task");
	kova_task *generic = m_api->kova_comch_producer_task_send_as_task(task);
	static_cast<void>(kova_task_set_user_data(generic, task_user_data));
	m_tasks.push_back(generic);
	return task;
}

void comch_producer::destroy_all_tasks() noexcept
{
	destroy_all_tasks_impl();
}

void comch_producer::destroy_all_tasks_draining() noexcept
{
	destroy_all_tasks_impl();
	if (m_tasks.empty())
		return;
	stop_ctx(get_kova_ctx(), m_pe, "comch producer", &m_tasks);
	destroy_all_tasks_impl();
}

void comch_producer::destroy_all_tasks_impl() noexcept
{
	// A task still in flight stays listed; stopping the context frees it once delivered.
	std::erase_if(m_tasks, [](kova_task *task) { return kova_task_free(task) == KOVA_SUCCESS; });
}

} // namespace kova::bench::utility
