// Owners of the comm channel's SDK objects, shared by the comch steps and the companion's comch
// workers: an endpoint (a client of the channel's server name, its progress engine and the one
// connection it finds), a consumer that receives into posted buffers, and a producer that sends
// buffers to a remote consumer.
//
// SDK callbacks run inside kova_pe_progress and never let an exception out: an error met there is
// kept by the endpoint and raised by its next poll.
#pragma once

#include "dl/kova_comch_api.hpp"
#include "kova_delegated_deleter.hpp"
#include "kova_exception.hpp"
#include "utility/kova_utils.hpp"
#include "utility/span.hpp"

#include <kova/comch.h>
#include <kova/ctx.h>
#include <kova/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kova::bench::utility {

// Releases an SDK comch object through the destroy function of its table; failures are printed.
template <typename Handle>
struct comch_destroyer {
	kova_error (*destroy)(Handle *) = nullptr;
	const char *what = "";
	void operator()(Handle *handle) const noexcept;
};

class comch_endpoint {
public:
	struct configuration {
		std::string server_name;
		uint32_t buffer_size;      // for the owner; the endpoint does not read it
		uint32_t send_task_count;
		uint32_t recv_queue_size;  // 0: the SDK's default
		uint32_t max_msg_size;     // 0: the SDK's default
	};

	struct callbacks {
		std::function<void(comch_endpoint *, uint32_t consumer_id)> new_consumer;
		std::function<void(comch_endpoint *, uint32_t consumer_id)> expired_consumer;
	};

	// Builds, configures and starts the client; the representor is accepted and not used.
	comch_endpoint(const configuration &cfg, callbacks cbs, kova_dev *dev, kova_dev_rep *rep);
	~comch_endpoint();
	comch_endpoint(const comch_endpoint &) = delete;
	comch_endpoint &operator=(const comch_endpoint &) = delete;
	comch_endpoint(comch_endpoint &&) = delete;
	comch_endpoint &operator=(comch_endpoint &&) = delete;

	// One progress call on the endpoint's engine; true when it did work. Raises an error that an
	// SDK callback met since the last poll.
	bool poll();

	[[nodiscard]] kova_ctx *get_kova_ctx() const;
	// The connection, once the client runs (asked of the client the first time it is needed).
	span<kova_comch_connection *> get_connections();
	[[nodiscard]] uint32_t get_connected_consumer_count() const noexcept { return m_connected_consumer_count; }
	void remove_connection(kova_comch_connection *connection);

	// SDK callbacks.
	static void on_ctx_state_changed(kova_data user_data, kova_ctx *ctx, enum kova_ctx_states prev_state,
					 enum kova_ctx_states next_state) noexcept;
	static void on_event_received(kova_comch_event_msg_recv *event, uint8_t *msg, uint32_t msg_len,
				      kova_comch_connection *connection) noexcept;
	static void new_consumer_cb(kova_comch_event_consumer *event, kova_comch_connection *connection,
				    uint32_t consumer_id) noexcept;
	static void expired_consumer_cb(kova_comch_event_consumer *event, kova_comch_connection *connection,
					uint32_t consumer_id) noexcept;
	static void on_task_send_completion(kova_task *task, kova_data task_user_data, kova_data ctx_user_data) noexcept;
	static void on_task_send_error(kova_task *task, kova_data task_user_data, kova_data ctx_user_data) noexcept;

	// Keeps the first error met inside progress for the next poll (SDK callbacks only).
	void record_error(kova_error code, std::string message) noexcept;

private:
	const dl::kova_comch_api *m_api;
	std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> m_pe;
	std::unique_ptr<kova_comch_client, comch_destroyer<kova_comch_client>> m_client;
	std::vector<kova_comch_connection *> m_connections;
	callbacks m_callbacks;
	uint32_t m_connected_consumer_count = 0;
	bool m_has_error = false;
	kova_error m_error_code = KOVA_SUCCESS;
	std::string m_error_message;
};

// The endpoint that owns the connection (the user data of the client context behind it). Throws
// "Unable to get kova ctx user data" with the SDK's code.
comch_endpoint *get_endpoint_from_conn(kova_comch_connection *connection);

class comch_consumer {
public:
	struct configuration {
		uint32_t task_count;       // post-receive tasks
		uint32_t recv_queue_size;  // carried, not read
		uint32_t buffer_size;      // carried, not read
	};

	struct callbacks {
		kova_task_completion_cb_t task_completion;
		kova_task_completion_cb_t task_error;
	};

	comch_consumer(const configuration &cfg, callbacks cbs, kova_data ctx_user_data, kova_pe *ext_pe,
		       kova_comch_connection *ext_connection, kova_mmap *mmap);
	~comch_consumer();
	comch_consumer(const comch_consumer &) = delete;
	comch_consumer &operator=(const comch_consumer &) = delete;
	comch_consumer(comch_consumer &&) = delete;
	comch_consumer &operator=(comch_consumer &&) = delete;

	[[nodiscard]] kova_comch_consumer *get_kova_consumer_obj() const noexcept { return m_consumer.get(); }
	[[nodiscard]] kova_ctx *get_kova_ctx() const;
	kova_comch_consumer_task_post_recv *create_task(kova_buf *buffer, kova_data task_user_data);
	void destroy_all_tasks() noexcept;
	void destroy_all_tasks_impl() noexcept;
	// Frees the idle tasks; when some are still in flight, stops the context first (they drain
	// through their error callback) and then frees them. The context stays stopped.
	void destroy_all_tasks_draining() noexcept;

private:
	const dl::kova_comch_api *m_api;
	std::unique_ptr<kova_comch_consumer, comch_destroyer<kova_comch_consumer>> m_consumer;
	kova_pe *m_pe;
	std::vector<kova_task *> m_tasks;
};

class comch_producer {
public:
	struct configuration {
		uint32_t task_count;       // send tasks
		uint32_t recv_queue_size;  // carried, not read
		uint32_t buffer_size;      // carried, not read
	};

	struct callbacks {
		kova_task_completion_cb_t task_completion;
		kova_task_completion_cb_t task_error;
	};

	comch_producer(const configuration &cfg, callbacks cbs, kova_data ctx_user_data, kova_pe *ext_pe,
		       kova_comch_connection *ext_connection);
	~comch_producer();
	comch_producer(const comch_producer &) = delete;
	comch_producer &operator=(const comch_producer &) = delete;
	comch_producer(comch_producer &&) = delete;
	comch_producer &operator=(comch_producer &&) = delete;

	[[nodiscard]] kova_comch_producer *get_kova_producer_obj() const noexcept { return m_producer.get(); }
	[[nodiscard]] kova_ctx *get_kova_ctx() const;
	kova_comch_producer_task_send *create_task(const kova_buf *buffer, kova_data task_user_data,
						   uint32_t consumer_id);
	void destroy_all_tasks() noexcept;
	void destroy_all_tasks_impl() noexcept;
	// Frees the idle tasks; when some are still in flight, stops the context first (they drain
	// through their error callback) and then frees them. The context stays stopped.
	void destroy_all_tasks_draining() noexcept;

private:
	const dl::kova_comch_api *m_api;
	std::unique_ptr<kova_comch_producer, comch_destroyer<kova_comch_producer>> m_producer;
	kova_pe *m_pe;
	std::vector<kova_task *> m_tasks;
};

} // namespace kova::bench::utility
