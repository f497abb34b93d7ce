/*
 * Communication channel library (libkova_comch.so.2): a named server on one side of the link and clients on
 * the other, a message path over each connection, and the fast path of consumers (post receive buffers) and
 * producers (send buffers to a consumer) built on a connection.
 *
 * Unless noted, a function returns kova_error: 0 on success, KOVA_ERROR_INVALID_VALUE for a null or malformed
 * argument, KOVA_ERROR_BAD_STATE when the object is in the wrong state, and KOVA_ERROR_NOT_SUPPORTED when the
 * device cannot do it. Out-parameters are written only on success. Capability queries take the device
 * information and answer KOVA_SUCCESS (yes) or KOVA_ERROR_NOT_SUPPORTED (no); they are thread-safe. Task kinds
 * follow one pattern: set_conf preallocates num_tasks tasks (>= 1) while the context is idle, alloc_init takes
 * one of them (KOVA_ERROR_NO_MEMORY when none is left), as_task gives its generic handle. Comch tasks carry no
 * user data of their own at allocation; the caller sets it on the generic task. Consumer and producer contexts
 * reach the running state only once the peer side has answered, so starting them may answer
 * KOVA_ERROR_IN_PROGRESS.
 */
#ifndef KOVA_COMCH_H
#define KOVA_COMCH_H

#include <kova/error.h>
#include <kova/types.h>

typedef struct kova_comch_server kova_comch_server;
typedef struct kova_comch_client kova_comch_client;
typedef struct kova_comch_connection kova_comch_connection;
typedef struct kova_comch_task_send kova_comch_task_send;
typedef struct kova_comch_event_msg_recv kova_comch_event_msg_recv;
typedef struct kova_comch_event_connection_status_changed kova_comch_event_connection_status_changed;
typedef struct kova_comch_event_consumer kova_comch_event_consumer;
typedef struct kova_comch_consumer kova_comch_consumer;
typedef struct kova_comch_consumer_completion kova_comch_consumer_completion;
typedef struct kova_comch_consumer_task_post_recv kova_comch_consumer_task_post_recv;
typedef struct kova_comch_producer kova_comch_producer;
typedef struct kova_comch_producer_task_send kova_comch_producer_task_send;
/* Objects of the data-path accelerator (DPA); only handed through here. */
typedef struct kova_dpa_thread kova_dpa_thread;
typedef struct kova_dpa_completion kova_dpa_completion;

/* A message arrived on a connection; msg is valid during the call only. */
typedef void (*kova_comch_event_msg_recv_cb_t)(kova_comch_event_msg_recv *event, uint8_t *msg, uint32_t msg_len,
					       kova_comch_connection *connection);
/* A client connected to or disconnected from the server. */
typedef void (*kova_comch_event_connection_status_changed_cb_t)(kova_comch_event_connection_status_changed *event,
								kova_comch_connection *connection,
								uint8_t change_successful);
/* A consumer on the far side of the connection appeared or went away. */
typedef void (*kova_comch_event_consumer_cb_t)(kova_comch_event_consumer *event, kova_comch_connection *connection,
					       uint32_t remote_consumer_id);

/* Counters of a connection, read with kova_comch_connection_get_counter after kova_comch_connection_update_info. */
enum kova_comch_connection_counter {
	KOVA_COMCH_COUNTER_SENT_MESSAGES = 0,
	KOVA_COMCH_COUNTER_RECEIVED_MESSAGES = 1,
	KOVA_COMCH_COUNTER_SENT_BYTES = 2,
	KOVA_COMCH_COUNTER_RECEIVED_BYTES = 3,
};

/* Connections and the contexts behind them. */
KOVA_EXPORT kova_error kova_comch_connection_set_user_data(kova_comch_connection *connection, kova_data user_data);
KOVA_EXPORT kova_data kova_comch_connection_get_user_data(const kova_comch_connection *connection);
/* The server or client a connection belongs to; null when it belongs to the other kind. */
KOVA_EXPORT kova_comch_server *kova_comch_server_get_server_ctx(const kova_comch_connection *connection);
KOVA_EXPORT kova_comch_client *kova_comch_client_get_client_ctx(const kova_comch_connection *connection);

/* Channel capabilities. */
KOVA_EXPORT kova_error kova_comch_cap_get_max_name_len(const kova_devinfo *devinfo, uint32_t *max_name_len);
KOVA_EXPORT kova_error kova_comch_cap_get_max_msg_size(const kova_devinfo *devinfo, uint32_t *max_msg_size);
KOVA_EXPORT kova_error kova_comch_cap_get_max_recv_queue_size(const kova_devinfo *devinfo,
							      uint32_t *max_recv_queue_size);
KOVA_EXPORT kova_error kova_comch_cap_get_max_clients(const kova_devinfo *devinfo, uint32_t *max_clients);

/* Server: serves clients under a name, on a device and one of its representors. */
KOVA_EXPORT kova_error kova_comch_server_create(kova_dev *dev, kova_dev_rep *rep, const char *name,
						kova_comch_server **server);
KOVA_EXPORT kova_error kova_comch_server_destroy(kova_comch_server *server);
KOVA_EXPORT kova_error kova_comch_cap_server_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_comch_server_set_max_msg_size(kova_comch_server *server, uint32_t max_msg_size);
KOVA_EXPORT kova_error kova_comch_server_get_max_msg_size(const kova_comch_server *server, uint32_t *max_msg_size);
KOVA_EXPORT kova_error kova_comch_server_set_recv_queue_size(kova_comch_server *server, uint32_t recv_queue_size);
KOVA_EXPORT kova_error kova_comch_server_get_recv_queue_size(const kova_comch_server *server,
							     uint32_t *recv_queue_size);
KOVA_EXPORT kova_error kova_comch_server_get_device(const kova_comch_server *server, kova_dev **dev);
KOVA_EXPORT kova_error kova_comch_server_get_device_rep(const kova_comch_server *server, kova_dev_rep **rep);
KOVA_EXPORT kova_ctx *kova_comch_server_as_ctx(kova_comch_server *server);
KOVA_EXPORT kova_error kova_comch_server_disconnect(kova_comch_server *server, kova_comch_connection *connection);

/* Client: connects to the server of that name once its context runs; it has one connection. */
KOVA_EXPORT kova_error kova_comch_client_create(kova_dev *dev, const char *server_name, kova_comch_client **client);
KOVA_EXPORT kova_error kova_comch_client_destroy(kova_comch_client *client);
KOVA_EXPORT kova_error kova_comch_cap_client_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_comch_client_set_max_msg_size(kova_comch_client *client, uint32_t max_msg_size);
KOVA_EXPORT kova_error kova_comch_client_get_max_msg_size(const kova_comch_client *client, uint32_t *max_msg_size);
KOVA_EXPORT kova_error kova_comch_client_set_recv_queue_size(kova_comch_client *client, uint32_t recv_queue_size);
KOVA_EXPORT kova_error kova_comch_client_get_recv_queue_size(const kova_comch_client *client,
							     uint32_t *recv_queue_size);
KOVA_EXPORT kova_error kova_comch_client_get_device(const kova_comch_client *client, kova_dev **dev);
KOVA_EXPORT kova_ctx *kova_comch_client_as_ctx(kova_comch_client *client);
/* 18 until the client's context runs. */
KOVA_EXPORT kova_error kova_comch_client_get_connection(const kova_comch_client *client,
							kova_comch_connection **connection);

/* Message send tasks (msg is copied at allocation, at most the maximum message size). */
KOVA_EXPORT kova_error kova_comch_cap_get_max_send_tasks(const kova_devinfo *devinfo, uint32_t *max_send_tasks);
KOVA_EXPORT kova_error kova_comch_server_task_send_set_conf(kova_comch_server *server,
							    kova_task_completion_cb_t success_cb,
							    kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_comch_client_task_send_set_conf(kova_comch_client *client,
							    kova_task_completion_cb_t success_cb,
							    kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_comch_server_task_send_alloc_init(kova_comch_server *server,
							      kova_comch_connection *connection, const void *msg,
							      uint32_t msg_len, kova_comch_task_send **task);
KOVA_EXPORT kova_error kova_comch_client_task_send_alloc_init(kova_comch_client *client,
							      kova_comch_connection *connection, const void *msg,
							      uint32_t msg_len, kova_comch_task_send **task);
KOVA_EXPORT kova_task *kova_comch_task_send_as_task(kova_comch_task_send *task);

/* Events; registered while the context is idle. */
KOVA_EXPORT kova_error kova_comch_server_event_msg_recv_register(kova_comch_server *server,
								 kova_comch_event_msg_recv_cb_t recv_cb);
KOVA_EXPORT kova_error kova_comch_client_event_msg_recv_register(kova_comch_client *client,
								 kova_comch_event_msg_recv_cb_t recv_cb);
KOVA_EXPORT kova_error kova_comch_server_event_connection_status_changed_register(
	kova_comch_server *server, kova_comch_event_connection_status_changed_cb_t connect_cb,
	kova_comch_event_connection_status_changed_cb_t disconnect_cb);

/* Connection counters: update_info takes a snapshot that get_counter reads. */
KOVA_EXPORT kova_error kova_comch_connection_update_info(kova_comch_connection *connection);
KOVA_EXPORT kova_error kova_comch_connection_get_counter(const kova_comch_connection *connection, uint32_t counter,
							 uint64_t *value);

/* Consumer events of the far side. */
KOVA_EXPORT kova_error kova_comch_server_event_consumer_register(kova_comch_server *server,
								 kova_comch_event_consumer_cb_t new_consumer_cb,
								 kova_comch_event_consumer_cb_t expired_consumer_cb);
KOVA_EXPORT kova_error kova_comch_client_event_consumer_register(kova_comch_client *client,
								 kova_comch_event_consumer_cb_t new_consumer_cb,
								 kova_comch_event_consumer_cb_t expired_consumer_cb);

/* Consumer: receives into buffers of the memory map posted with post-receive tasks. */
KOVA_EXPORT kova_error kova_comch_consumer_create(kova_comch_connection *connection, kova_mmap *buf_mmap,
						  kova_comch_consumer **consumer);
KOVA_EXPORT kova_error kova_comch_consumer_destroy(kova_comch_consumer *consumer);
KOVA_EXPORT kova_error kova_comch_consumer_cap_is_supported(const kova_devinfo *devinfo);
/* The identifier producers address; set once the consumer runs. */
KOVA_EXPORT kova_error kova_comch_consumer_get_id(const kova_comch_consumer *consumer, uint32_t *id);
KOVA_EXPORT kova_error kova_comch_consumer_cap_get_max_num_tasks(const kova_devinfo *devinfo,
								 uint32_t *max_num_tasks);
KOVA_EXPORT kova_error kova_comch_consumer_cap_get_max_buf_size(const kova_devinfo *devinfo, uint32_t *max_buf_size);
KOVA_EXPORT kova_error kova_comch_consumer_cap_get_max_buf_list_len(const kova_devinfo *devinfo,
								    uint32_t *max_buf_list_len);
KOVA_EXPORT kova_error kova_comch_consumer_cap_get_max_consumers(const kova_devinfo *devinfo,
								 uint32_t *max_consumers);
KOVA_EXPORT kova_error kova_comch_consumer_cap_get_max_imm_data_len(const kova_devinfo *devinfo,
								    uint32_t *max_imm_data_len);
KOVA_EXPORT kova_error kova_comch_consumer_get_imm_data_len(const kova_comch_consumer *consumer,
							    uint32_t *imm_data_len);
KOVA_EXPORT kova_error kova_comch_consumer_set_imm_data_len(kova_comch_consumer *consumer, uint32_t imm_data_len);
KOVA_EXPORT kova_ctx *kova_comch_consumer_as_ctx(kova_comch_consumer *consumer);

/* Consumer completion on the data-path accelerator, shared by several consumers. */
KOVA_EXPORT kova_error kova_comch_consumer_completion_create(kova_comch_consumer_completion **completion);
KOVA_EXPORT kova_error kova_comch_consumer_completion_set_dpa_thread(kova_comch_consumer_completion *completion,
								     kova_dpa_thread *dpa_thread);
KOVA_EXPORT kova_error kova_comch_consumer_completion_destroy(kova_comch_consumer_completion *completion);
KOVA_EXPORT kova_error kova_comch_consumer_completion_start(kova_comch_consumer_completion *completion);
KOVA_EXPORT kova_error kova_comch_consumer_completion_stop(kova_comch_consumer_completion *completion);
KOVA_EXPORT kova_error kova_comch_consumer_completion_get_dpa_handle(
	const kova_comch_consumer_completion *completion, uint64_t *dpa_handle);
KOVA_EXPORT kova_error kova_comch_consumer_completion_set_max_num_consumers(
	kova_comch_consumer_completion *completion, uint32_t max_num_consumers);
KOVA_EXPORT kova_error kova_comch_consumer_completion_get_max_num_consumers(
	const kova_comch_consumer_completion *completion, uint32_t *max_num_consumers);
KOVA_EXPORT kova_error kova_comch_consumer_completion_set_max_num_recv(kova_comch_consumer_completion *completion,
								       uint32_t max_num_recv);
KOVA_EXPORT kova_error kova_comch_consumer_completion_get_max_num_recv(
	const kova_comch_consumer_completion *completion, uint32_t *max_num_recv);
KOVA_EXPORT kova_error kova_comch_consumer_set_dev_max_num_recv(kova_comch_consumer *consumer,
								uint32_t dev_max_num_recv);
KOVA_EXPORT kova_error kova_comch_consumer_set_completion(kova_comch_consumer *consumer,
							  kova_comch_consumer_completion *completion,
							  kova_data user_data);
KOVA_EXPORT kova_error kova_comch_consumer_get_dpa_handle(const kova_comch_consumer *consumer, uint64_t *dpa_handle);

/* Post-receive task: offers one buffer for the next message of any producer. */
KOVA_EXPORT kova_error kova_comch_consumer_task_post_recv_set_conf(kova_comch_consumer *consumer,
								   kova_task_completion_cb_t success_cb,
								   kova_task_completion_cb_t error_cb,
								   uint32_t num_tasks);
KOVA_EXPORT kova_error kova_comch_consumer_task_post_recv_alloc_init(kova_comch_consumer *consumer, kova_buf *buf,
								     kova_comch_consumer_task_post_recv **task);
KOVA_EXPORT kova_buf *kova_comch_consumer_task_post_recv_get_buf(const kova_comch_consumer_task_post_recv *task);
KOVA_EXPORT void kova_comch_consumer_task_post_recv_set_buf(kova_comch_consumer_task_post_recv *task, kova_buf *buf);
/* The sender and the immediate data of the received message, valid after a successful completion. */
KOVA_EXPORT uint32_t
kova_comch_consumer_task_post_recv_get_producer_id(const kova_comch_consumer_task_post_recv *task);
KOVA_EXPORT const uint8_t *
kova_comch_consumer_task_post_recv_get_imm_data(const kova_comch_consumer_task_post_recv *task);
KOVA_EXPORT uint32_t
kova_comch_consumer_task_post_recv_get_imm_data_len(const kova_comch_consumer_task_post_recv *task);
KOVA_EXPORT kova_task *kova_comch_consumer_task_post_recv_as_task(kova_comch_consumer_task_post_recv *task);

/* Producer: sends buffers to consumers of the far side. */
KOVA_EXPORT kova_error kova_comch_producer_create(kova_comch_connection *connection,
						  kova_comch_producer **producer);
KOVA_EXPORT kova_error kova_comch_producer_destroy(kova_comch_producer *producer);
KOVA_EXPORT kova_error kova_comch_producer_cap_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_comch_producer_get_id(const kova_comch_producer *producer, uint32_t *id);
KOVA_EXPORT kova_error kova_comch_producer_cap_get_max_num_tasks(const kova_devinfo *devinfo,
								 uint32_t *max_num_tasks);
KOVA_EXPORT kova_error kova_comch_producer_cap_get_max_buf_size(const kova_devinfo *devinfo, uint32_t *max_buf_size);
KOVA_EXPORT kova_error kova_comch_producer_cap_get_max_buf_list_len(const kova_devinfo *devinfo,
								    uint32_t *max_buf_list_len);
KOVA_EXPORT kova_error kova_comch_producer_cap_get_max_producers(const kova_devinfo *devinfo,
								 uint32_t *max_producers);
KOVA_EXPORT kova_ctx *kova_comch_producer_as_ctx(kova_comch_producer *producer);
KOVA_EXPORT kova_error kova_comch_producer_set_dev_max_num_send(kova_comch_producer *producer,
								uint32_t dev_max_num_send);
KOVA_EXPORT kova_error kova_comch_producer_dpa_completion_attach(kova_comch_producer *producer,
								 kova_dpa_completion *dpa_completion);
KOVA_EXPORT kova_error kova_comch_producer_get_dpa_handle(const kova_comch_producer *producer, uint64_t *dpa_handle);

/* Producer send task: one buffer, optional immediate data (copied), to one consumer. */
KOVA_EXPORT kova_error kova_comch_producer_task_send_set_conf(kova_comch_producer *producer,
							      kova_task_completion_cb_t success_cb,
							      kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_comch_producer_task_send_alloc_init(kova_comch_producer *producer, const kova_buf *buf,
								const uint8_t *imm_data, uint32_t imm_data_len,
								uint32_t consumer_id,
								kova_comch_producer_task_send **task);
KOVA_EXPORT const kova_buf *kova_comch_producer_task_send_get_buf(const kova_comch_producer_task_send *task);
KOVA_EXPORT void kova_comch_producer_task_send_set_buf(kova_comch_producer_task_send *task, const kova_buf *buf);
KOVA_EXPORT uint32_t kova_comch_producer_task_send_get_consumer_id(const kova_comch_producer_task_send *task);
KOVA_EXPORT void kova_comch_producer_task_send_set_consumer_id(kova_comch_producer_task_send *task,
							       uint32_t consumer_id);
KOVA_EXPORT const uint8_t *kova_comch_producer_task_send_get_imm_data(const kova_comch_producer_task_send *task);
KOVA_EXPORT uint32_t kova_comch_producer_task_send_get_imm_data_len(const kova_comch_producer_task_send *task);
KOVA_EXPORT kova_error kova_comch_producer_task_send_set_imm_data(kova_comch_producer_task_send *task,
								  const uint8_t *imm_data, uint32_t imm_data_len);
KOVA_EXPORT kova_task *kova_comch_producer_task_send_as_task(kova_comch_producer_task_send *task);

#endif
