/*
 * Ethernet library (libkova_eth.so.2): receive queues (rxq) and send queues (txq) on a device's port, driven
 * by the CPU or, through their GPU handles, by GPU kernels.
 *
 * Unless noted, a function returns kova_error: 0 on success, KOVA_ERROR_INVALID_VALUE for a null or malformed
 * argument, KOVA_ERROR_BAD_STATE when the queue is in the wrong state, and KOVA_ERROR_NOT_SUPPORTED when the
 * device cannot do it. Out-parameters are written only on success. Capability queries take the device
 * information and answer KOVA_SUCCESS (yes) or KOVA_ERROR_NOT_SUPPORTED (no); they are thread-safe. Queue
 * settings are accepted while the queue's context is idle. Task kinds follow one pattern: set_conf preallocates
 * num_tasks tasks (>= 1) while the context is idle, allocate_init takes one of them (KOVA_ERROR_NO_MEMORY when
 * none is left), as_kova_task gives its generic handle.
 */
#ifndef KOVA_ETH_H
#define KOVA_ETH_H

#include <kova/error.h>
#include <kova/types.h>

typedef struct kova_eth_rxq kova_eth_rxq;
typedef struct kova_eth_rxq_task_recv kova_eth_rxq_task_recv;
typedef struct kova_eth_rxq_event_managed_recv kova_eth_rxq_event_managed_recv;
typedef struct kova_eth_rxq_event_batch_managed_recv kova_eth_rxq_event_batch_managed_recv;
typedef struct kova_eth_txq kova_eth_txq;
typedef struct kova_eth_txq_task_send kova_eth_txq_task_send;
typedef struct kova_eth_txq_task_lso_send kova_eth_txq_task_lso_send;
typedef struct kova_eth_txq_task_batch_send kova_eth_txq_task_batch_send;
typedef struct kova_eth_txq_task_batch_lso_send kova_eth_txq_task_batch_lso_send;
typedef struct kova_eth_txq_gpu_event_error_send_packet kova_eth_txq_gpu_event_error_send_packet;
typedef struct kova_eth_txq_gpu_event_notify_send_packet kova_eth_txq_gpu_event_notify_send_packet;
/* Handles of the queues that GPU kernels use. */
typedef struct kova_gpu_eth_rxq kova_gpu_eth_rxq;
typedef struct kova_gpu_eth_txq kova_gpu_eth_txq;

/* How a receive queue places packets. */
enum kova_eth_rxq_type {
	KOVA_ETH_RXQ_TYPE_CYCLIC = 0,          /* into the packet buffer set with kova_eth_rxq_set_pkt_buf */
	KOVA_ETH_RXQ_TYPE_MANAGED_MEMPOOL = 1, /* into library buffers, reported by managed-receive events */
	KOVA_ETH_RXQ_TYPE_REGULAR = 2,         /* into the buffer of each receive task */
};

enum kova_eth_txq_type {
	KOVA_ETH_TXQ_TYPE_REGULAR = 0,
};

/* Who drives a queue's data path. */
enum kova_eth_data_path_type {
	KOVA_ETH_DATA_PATH_CPU = 0,
	KOVA_ETH_DATA_PATH_GPU = 1,
};

/* Time-based send support reported by kova_eth_txq_cap_get_wait_on_time_offload_supported. */
enum kova_eth_wait_on_time_type {
	KOVA_ETH_WAIT_ON_TIME_NONE = 0,
	KOVA_ETH_WAIT_ON_TIME_NATIVE = 1,
	KOVA_ETH_WAIT_ON_TIME_DPDK = 2,
};

/* A chain of header segments of an LSO send. */
struct kova_eth_gather_list {
	const void *addr;
	uint64_t len;
	struct kova_eth_gather_list *next;
};

/* A packet arrived in a library buffer; the event's queue owns pkt until the callback returns. */
typedef void (*kova_eth_rxq_event_managed_recv_cb_t)(kova_eth_rxq_event_managed_recv *event, kova_buf *pkt,
						     kova_data event_user_data);
/* Up to the registered maximum of packets arrived; release the array with
 * kova_eth_rxq_event_batch_managed_recv_pkt_array_free. */
typedef void (*kova_eth_rxq_event_batch_managed_recv_cb_t)(kova_eth_rxq_event_batch_managed_recv *event,
							   uint16_t num_packets, kova_data event_user_data,
							   kova_error status, kova_buf **pkt_array);
/* A send posted by a GPU kernel failed, or completed with a notification request. */
typedef void (*kova_eth_txq_gpu_event_error_send_packet_cb_t)(kova_eth_txq_gpu_event_error_send_packet *event,
							      kova_data event_user_data);
typedef void (*kova_eth_txq_gpu_event_notify_send_packet_cb_t)(kova_eth_txq_gpu_event_notify_send_packet *event,
							       kova_data event_user_data);

/* Receive queue and its settings. */
KOVA_EXPORT kova_error kova_eth_rxq_create(kova_dev *dev, uint32_t max_burst_size, uint32_t max_packet_size,
					   kova_eth_rxq **rxq);
KOVA_EXPORT kova_error kova_eth_rxq_destroy(kova_eth_rxq *rxq);
KOVA_EXPORT kova_ctx *kova_eth_rxq_as_kova_ctx(kova_eth_rxq *rxq);
KOVA_EXPORT kova_error kova_eth_rxq_set_max_burst_size(kova_eth_rxq *rxq, uint32_t max_burst_size);
KOVA_EXPORT kova_error kova_eth_rxq_set_max_packet_size(kova_eth_rxq *rxq, uint32_t max_packet_size);
KOVA_EXPORT kova_error kova_eth_rxq_set_max_recv_buf_list_len(kova_eth_rxq *rxq, uint32_t max_recv_buf_list_len);
/* The packet memory of a cyclic queue: size bytes of the map from offset on. */
KOVA_EXPORT kova_error kova_eth_rxq_set_pkt_buf(kova_eth_rxq *rxq, kova_mmap *mmap, uint32_t offset, uint32_t size);
/* type is one of enum kova_eth_rxq_type. */
KOVA_EXPORT kova_error kova_eth_rxq_set_type(kova_eth_rxq *rxq, uint32_t type);
/* Makes the queue reachable as queue_id of its port, for flow rules; the context must run. */
KOVA_EXPORT kova_error kova_eth_rxq_apply_queue_id(kova_eth_rxq *rxq, uint16_t queue_id);
KOVA_EXPORT kova_error kova_eth_rxq_get_gpu_handle(const kova_eth_rxq *rxq, kova_gpu_eth_rxq **gpu_rxq);

/* Receive capabilities. */
KOVA_EXPORT kova_error kova_eth_rxq_cap_get_max_burst_size(const kova_devinfo *devinfo, uint32_t *max_burst_size);
KOVA_EXPORT kova_error kova_eth_rxq_cap_get_max_recv_buf_list_len(const kova_devinfo *devinfo,
								  uint32_t *max_recv_buf_list_len);
KOVA_EXPORT kova_error kova_eth_rxq_cap_get_max_packet_size(const kova_devinfo *devinfo, uint32_t *max_packet_size);
KOVA_EXPORT kova_error kova_eth_rxq_cap_is_type_supported(const kova_devinfo *devinfo, uint32_t type,
							  uint32_t data_path_type);
/* Bytes of packet memory a cyclic queue needs for the given rate (Mb/s) and time window (us). */
KOVA_EXPORT kova_error kova_eth_rxq_estimate_packet_buf_size(uint32_t type, uint32_t rate_mbps,
							     uint16_t pkt_max_time_us, uint32_t max_packet_size,
							     uint32_t max_burst_size, uint32_t *buf_size);

/* Receive task (regular queues) and managed-receive events (managed-mempool queues). */
KOVA_EXPORT kova_error kova_eth_rxq_task_recv_set_conf(kova_eth_rxq *rxq, kova_task_completion_cb_t success_cb,
						       kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_eth_rxq_event_managed_recv_register(kova_eth_rxq *rxq, kova_data user_data,
								kova_eth_rxq_event_managed_recv_cb_t success_cb,
								kova_eth_rxq_event_managed_recv_cb_t error_cb);
KOVA_EXPORT kova_error kova_eth_rxq_event_batch_managed_recv_register(
	kova_eth_rxq *rxq, uint32_t max_num_packets, uint32_t min_num_packets, kova_data user_data,
	kova_eth_rxq_event_batch_managed_recv_cb_t success_cb, kova_eth_rxq_event_batch_managed_recv_cb_t error_cb);
KOVA_EXPORT kova_error kova_eth_rxq_task_recv_allocate_init(kova_eth_rxq *rxq, kova_buf *pkt, kova_data user_data,
							    kova_eth_rxq_task_recv **task);
KOVA_EXPORT void kova_eth_rxq_task_recv_set_pkt(kova_eth_rxq_task_recv *task, kova_buf *pkt);
KOVA_EXPORT kova_buf *kova_eth_rxq_task_recv_get_pkt(const kova_eth_rxq_task_recv *task);
/* Whether the received packet's layer-3 / layer-4 checksum was right (1) or not (0). */
KOVA_EXPORT kova_error kova_eth_rxq_task_recv_get_l3_ok(const kova_eth_rxq_task_recv *task, uint8_t *l3_ok);
KOVA_EXPORT kova_error kova_eth_rxq_event_managed_recv_get_l3_ok(const kova_eth_rxq_event_managed_recv *event,
								 uint8_t *l3_ok);
KOVA_EXPORT kova_error kova_eth_rxq_task_recv_get_l4_ok(const kova_eth_rxq_task_recv *task, uint8_t *l4_ok);
KOVA_EXPORT kova_error kova_eth_rxq_event_managed_recv_get_l4_ok(const kova_eth_rxq_event_managed_recv *event,
								 uint8_t *l4_ok);
KOVA_EXPORT kova_error kova_eth_rxq_event_managed_recv_get_status(const kova_eth_rxq_event_managed_recv *event);
KOVA_EXPORT void kova_eth_rxq_event_batch_managed_recv_pkt_array_free(kova_buf **pkt_array);
/* The context of the queue that raised the event. */
KOVA_EXPORT kova_ctx *kova_eth_rxq_event_managed_recv_get_ctx(const kova_eth_rxq_event_managed_recv *event);
KOVA_EXPORT kova_task *kova_eth_rxq_task_recv_as_kova_task(kova_eth_rxq_task_recv *task);

/* Send queue and its settings. */
KOVA_EXPORT kova_error kova_eth_txq_create(kova_dev *dev, uint32_t max_burst_size, kova_eth_txq **txq);
KOVA_EXPORT kova_error kova_eth_txq_destroy(kova_eth_txq *txq);
KOVA_EXPORT kova_ctx *kova_eth_txq_as_kova_ctx(kova_eth_txq *txq);
KOVA_EXPORT kova_error kova_eth_txq_set_max_burst_size(kova_eth_txq *txq, uint32_t max_burst_size);
KOVA_EXPORT kova_error kova_eth_txq_set_max_send_buf_list_len(kova_eth_txq *txq, uint32_t max_send_buf_list_len);
/* Maximum segment size of LSO sends. */
KOVA_EXPORT kova_error kova_eth_txq_set_mss(kova_eth_txq *txq, uint16_t mss);
KOVA_EXPORT kova_error kova_eth_txq_set_max_lso_header_size(kova_eth_txq *txq, uint16_t max_lso_header_size);
/* type is one of enum kova_eth_txq_type. */
KOVA_EXPORT kova_error kova_eth_txq_set_type(kova_eth_txq *txq, uint32_t type);
KOVA_EXPORT kova_error kova_eth_txq_set_l3_chksum_offload(kova_eth_txq *txq, uint8_t enable);
KOVA_EXPORT kova_error kova_eth_txq_set_l4_chksum_offload(kova_eth_txq *txq, uint8_t enable);
KOVA_EXPORT kova_error kova_eth_txq_set_wait_on_time_offload(kova_eth_txq *txq);
KOVA_EXPORT kova_error kova_eth_txq_get_gpu_handle(const kova_eth_txq *txq, kova_gpu_eth_txq **gpu_txq);

/* Send capabilities. */
KOVA_EXPORT kova_error kova_eth_txq_cap_get_max_burst_size(const kova_devinfo *devinfo,
							   uint32_t max_send_buf_list_len,
							   uint16_t max_lso_header_size, uint32_t *max_burst_size);
KOVA_EXPORT kova_error kova_eth_txq_cap_get_max_send_buf_list_len(const kova_devinfo *devinfo,
								  uint32_t *max_send_buf_list_len);
KOVA_EXPORT kova_error kova_eth_txq_cap_get_max_lso_header_size(const kova_devinfo *devinfo,
								uint16_t *max_lso_header_size);
KOVA_EXPORT kova_error kova_eth_txq_cap_is_type_supported(const kova_devinfo *devinfo, uint32_t type,
							  uint32_t data_path_type);
KOVA_EXPORT kova_error kova_eth_txq_cap_is_l3_chksum_offload_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_eth_txq_cap_is_l4_chksum_offload_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_eth_txq_cap_get_max_lso_msg_size(const kova_devinfo *devinfo,
							     uint32_t *max_lso_msg_size);
/* kind is one of enum kova_eth_wait_on_time_type. */
KOVA_EXPORT kova_error kova_eth_txq_cap_get_wait_on_time_offload_supported(const kova_devinfo *devinfo,
									   uint32_t *kind);
/* The value a GPU kernel passes to send at the given time (ns of the device's clock). */
KOVA_EXPORT kova_error kova_eth_txq_calculate_timestamp(kova_eth_txq *txq, uint64_t timestamp_ns,
							uint64_t *wait_on_time_value);

/* Send tasks: one packet, one LSO message (payload plus headers), or batches of either. */
KOVA_EXPORT kova_error kova_eth_txq_task_send_set_conf(kova_eth_txq *txq, kova_task_completion_cb_t success_cb,
						       kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_eth_txq_task_lso_send_set_conf(kova_eth_txq *txq, kova_task_completion_cb_t success_cb,
							   kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_eth_txq_task_batch_send_set_conf(kova_eth_txq *txq, uint16_t max_tasks_per_batch,
							     kova_task_completion_cb_t success_cb,
							     kova_task_completion_cb_t error_cb,
							     uint32_t num_batch_tasks);
KOVA_EXPORT kova_error kova_eth_txq_task_batch_lso_send_set_conf(kova_eth_txq *txq, uint16_t max_tasks_per_batch,
								 kova_task_completion_cb_t success_cb,
								 kova_task_completion_cb_t error_cb,
								 uint32_t num_batch_tasks);
KOVA_EXPORT kova_error kova_eth_txq_task_send_allocate_init(kova_eth_txq *txq, const kova_buf *pkt,
							    kova_data user_data, kova_eth_txq_task_send **task);
KOVA_EXPORT kova_error kova_eth_txq_task_lso_send_allocate_init(kova_eth_txq *txq, const kova_buf *pkt_payload,
								const struct kova_eth_gather_list *headers,
								kova_data user_data,
								kova_eth_txq_task_lso_send **task);
/* A batch of num_tasks sends; the caller fills the returned arrays of packets and per-packet user data. */
KOVA_EXPORT kova_error kova_eth_txq_task_batch_send_allocate(kova_eth_txq *txq, uint16_t num_tasks,
							     kova_data user_data, const kova_buf ***pkt_array,
							     kova_data **user_data_array,
							     kova_eth_txq_task_batch_send **task);
KOVA_EXPORT kova_error kova_eth_txq_task_batch_lso_send_allocate(kova_eth_txq *txq, uint16_t num_tasks,
								 kova_data user_data,
								 const kova_buf ***pkt_payload_array,
								 struct kova_eth_gather_list ***headers_array,
								 kova_data **user_data_array,
								 kova_eth_txq_task_batch_lso_send **task);
KOVA_EXPORT void kova_eth_txq_task_send_set_pkt(kova_eth_txq_task_send *task, const kova_buf *pkt);
KOVA_EXPORT void kova_eth_txq_task_lso_send_set_pkt_payload(kova_eth_txq_task_lso_send *task,
							    const kova_buf *pkt_payload);
KOVA_EXPORT void kova_eth_txq_task_lso_send_set_headers(kova_eth_txq_task_lso_send *task,
							const struct kova_eth_gather_list *headers);
KOVA_EXPORT const kova_buf *kova_eth_txq_task_send_get_pkt(const kova_eth_txq_task_send *task);
KOVA_EXPORT const kova_buf *kova_eth_txq_task_lso_send_get_pkt_payload(const kova_eth_txq_task_lso_send *task);
KOVA_EXPORT const struct kova_eth_gather_list *
kova_eth_txq_task_lso_send_get_headers(const kova_eth_txq_task_lso_send *task);
KOVA_EXPORT kova_task *kova_eth_txq_task_send_as_kova_task(kova_eth_txq_task_send *task);
KOVA_EXPORT kova_task *kova_eth_txq_task_lso_send_as_kova_task(kova_eth_txq_task_lso_send *task);

/* Events of sends posted by GPU kernels; registered while the context is idle. */
KOVA_EXPORT kova_error kova_eth_txq_gpu_event_error_send_packet_register(
	kova_eth_txq *txq, kova_eth_txq_gpu_event_error_send_packet_cb_t error_cb, kova_data user_data);
KOVA_EXPORT kova_error kova_eth_txq_gpu_event_notify_send_packet_register(
	kova_eth_txq *txq, kova_eth_txq_gpu_event_notify_send_packet_cb_t notify_cb, kova_data user_data);

#endif
