/*
 * RDMA library (libkova_rdma.so.2): one queue pair per instance, connected to a peer by exchanging connection
 * details out of band, and the tasks that move data over it.
 *
 * Unless noted, a function returns kova_error: 0 on success, KOVA_ERROR_INVALID_VALUE for a null or malformed
 * argument, KOVA_ERROR_BAD_STATE when the instance is in the wrong state, and KOVA_ERROR_NOT_SUPPORTED when the
 * device cannot do it. Out-parameters are written only on success. Capability queries take the device
 * information and answer KOVA_SUCCESS (yes) or KOVA_ERROR_NOT_SUPPORTED (no); they are thread-safe. Settings
 * are accepted while the context is idle. Task kinds follow one pattern: set_conf preallocates num_tasks tasks
 * (>= 1) while the context is idle, allocate_init takes one of them (KOVA_ERROR_NO_MEMORY when none is left),
 * as_task gives its generic handle. Every task but receive names the connection it uses.
 *
 * Connecting: start the context, export the local details, hand them to the peer, connect with the peer's
 * details. The context runs once the connection is established.
 */
#ifndef KOVA_RDMA_H
#define KOVA_RDMA_H

#include <kova/error.h>
#include <kova/types.h>

typedef struct kova_rdma kova_rdma;
typedef struct kova_rdma_connection kova_rdma_connection;
typedef struct kova_rdma_task_receive kova_rdma_task_receive;
typedef struct kova_rdma_task_send kova_rdma_task_send;
typedef struct kova_rdma_task_send_imm kova_rdma_task_send_imm;
typedef struct kova_rdma_task_read kova_rdma_task_read;
typedef struct kova_rdma_task_write kova_rdma_task_write;
typedef struct kova_rdma_task_write_imm kova_rdma_task_write_imm;
typedef struct kova_rdma_task_atomic_cmp_swp kova_rdma_task_atomic_cmp_swp;
typedef struct kova_rdma_task_atomic_fetch_add kova_rdma_task_atomic_fetch_add;
typedef struct kova_rdma_task_remote_net_sync_event_get kova_rdma_task_remote_net_sync_event_get;
typedef struct kova_rdma_task_remote_net_sync_event_notify_set kova_rdma_task_remote_net_sync_event_notify_set;
typedef struct kova_rdma_task_remote_net_sync_event_notify_add kova_rdma_task_remote_net_sync_event_notify_add;
/* A synchronisation event of the peer, reached over the network. */
typedef struct kova_sync_event_remote_net kova_sync_event_remote_net;
/* The handle of the instance that GPU kernels use. */
typedef struct kova_gpu_dev_rdma kova_gpu_dev_rdma;
/* A completion object of the data-path accelerator (DPA). */
typedef struct kova_dpa_completion kova_dpa_completion;

enum kova_rdma_transport_type {
	KOVA_RDMA_TRANSPORT_TYPE_RC = 0,
	KOVA_RDMA_TRANSPORT_TYPE_DC = 1,
};

/* Access the peer may make to memory of this instance (bit mask). */
enum kova_rdma_permission {
	KOVA_RDMA_PERMISSION_LOCAL_READ_WRITE = 1,
	KOVA_RDMA_PERMISSION_REMOTE_WRITE = 2,
	KOVA_RDMA_PERMISSION_REMOTE_READ = 4,
	KOVA_RDMA_PERMISSION_REMOTE_ATOMIC = 8,
};

/* What a completed receive task received. */
enum kova_rdma_opcode {
	KOVA_RDMA_OPCODE_RECV_SEND = 0,
	KOVA_RDMA_OPCODE_RECV_SEND_WITH_IMM = 1,
	KOVA_RDMA_OPCODE_RECV_WRITE_WITH_IMM = 2,
};

/* One entry of a port's GID table. */
struct kova_rdma_gid {
	uint8_t raw[16];
};

/* Instance, context and connection. */
KOVA_EXPORT kova_error kova_rdma_create(kova_dev *dev, kova_rdma **rdma);
KOVA_EXPORT kova_error kova_rdma_destroy(kova_rdma *rdma);
KOVA_EXPORT kova_ctx *kova_rdma_as_ctx(kova_rdma *rdma);
/* The local details (owned by the instance, valid until the next export or destroy) and a new connection. */
KOVA_EXPORT kova_error kova_rdma_export(kova_rdma *rdma, const void **local_details, size_t *local_details_size,
					kova_rdma_connection **connection);
KOVA_EXPORT kova_error kova_rdma_connect(kova_rdma *rdma, const void *remote_details, size_t remote_details_size,
					 kova_rdma_connection *connection);

/* Capabilities. */
KOVA_EXPORT kova_error kova_rdma_cap_get_max_recv_queue_size(const kova_devinfo *devinfo,
							     uint32_t *max_recv_queue_size);
KOVA_EXPORT kova_error kova_rdma_cap_get_max_send_queue_size(const kova_devinfo *devinfo,
							     uint32_t *max_send_queue_size);
KOVA_EXPORT kova_error kova_rdma_cap_get_max_send_buf_list_len(const kova_devinfo *devinfo,
							       uint32_t *max_send_buf_list_len);
KOVA_EXPORT kova_error kova_rdma_cap_get_max_message_size(const kova_devinfo *devinfo, uint32_t *max_message_size);
KOVA_EXPORT kova_error kova_rdma_cap_get_gid_table_size(const kova_devinfo *devinfo, uint32_t *gid_table_size);
/* num_entries entries of the GID table from start_index on. */
KOVA_EXPORT kova_error kova_rdma_cap_get_gid(const kova_devinfo *devinfo, uint32_t start_index, uint32_t num_entries,
					     struct kova_rdma_gid *gid_array);
KOVA_EXPORT kova_error kova_rdma_cap_transport_type_is_supported(const kova_devinfo *devinfo,
								 uint32_t transport_type);

/* Settings (permissions: enum kova_rdma_permission bits; transport_type: enum kova_rdma_transport_type). */
KOVA_EXPORT kova_error kova_rdma_set_send_queue_size(kova_rdma *rdma, uint32_t send_queue_size);
KOVA_EXPORT kova_error kova_rdma_set_recv_queue_size(kova_rdma *rdma, uint32_t recv_queue_size);
KOVA_EXPORT kova_error kova_rdma_set_max_send_buf_list_len(kova_rdma *rdma, uint32_t max_send_buf_list_len);
KOVA_EXPORT kova_error kova_rdma_set_transport_type(kova_rdma *rdma, uint32_t transport_type);
KOVA_EXPORT kova_error kova_rdma_set_mtu(kova_rdma *rdma, uint32_t mtu);
KOVA_EXPORT kova_error kova_rdma_set_permissions(kova_rdma *rdma, uint32_t permissions);
KOVA_EXPORT kova_error kova_rdma_set_grh_enabled(kova_rdma *rdma, uint8_t grh_enabled);
KOVA_EXPORT kova_error kova_rdma_set_gid_index(kova_rdma *rdma, uint32_t gid_index);
KOVA_EXPORT kova_error kova_rdma_set_sl(kova_rdma *rdma, uint32_t sl);
KOVA_EXPORT kova_error kova_rdma_get_send_queue_size(const kova_rdma *rdma, uint32_t *send_queue_size);
KOVA_EXPORT kova_error kova_rdma_get_recv_queue_size(const kova_rdma *rdma, uint32_t *recv_queue_size);
KOVA_EXPORT kova_error kova_rdma_get_max_send_buf_list_len(const kova_rdma *rdma, uint32_t *max_send_buf_list_len);
KOVA_EXPORT kova_error kova_rdma_get_transport_type(const kova_rdma *rdma, uint32_t *transport_type);
KOVA_EXPORT kova_error kova_rdma_get_mtu(const kova_rdma *rdma, uint32_t *mtu);
KOVA_EXPORT kova_error kova_rdma_get_permissions(const kova_rdma *rdma, uint32_t *permissions);
KOVA_EXPORT kova_error kova_rdma_get_grh_enabled(const kova_rdma *rdma, uint8_t *grh_enabled);
KOVA_EXPORT kova_error kova_rdma_get_gid_index(const kova_rdma *rdma, uint32_t *gid_index);
KOVA_EXPORT kova_error kova_rdma_get_sl(const kova_rdma *rdma, uint32_t *sl);
/* Handles for the data-path accelerator and for GPU kernels. When the data path is on a GPU and a kernel
 * finds the connection broken, the next kova_pe_progress logs the loss and the context goes to stopping
 * (the state-change callback is told); kova_ctx_stop then ends it. */
KOVA_EXPORT kova_error kova_rdma_get_dpa_handle(kova_rdma *rdma, uint64_t *dpa_handle);
KOVA_EXPORT kova_error kova_rdma_get_gpu_handle(kova_rdma *rdma, kova_gpu_dev_rdma **gpu_rdma);

/* Receive: takes the next send (or write with immediate) of the peer into the destination. */
KOVA_EXPORT kova_error kova_rdma_cap_task_receive_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_rdma_cap_task_receive_get_max_dst_buf_list_len(const kova_devinfo *devinfo,
									   uint32_t *max_dst_buf_list_len);
KOVA_EXPORT kova_error kova_rdma_task_receive_set_conf(kova_rdma *rdma, kova_task_completion_cb_t success_cb,
						       kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_rdma_task_receive_set_dst_buf_list_len(kova_rdma *rdma, uint32_t dst_buf_list_len);
KOVA_EXPORT kova_error kova_rdma_task_receive_get_dst_buf_list_len(const kova_rdma *rdma,
								   uint32_t *dst_buf_list_len);
KOVA_EXPORT kova_error kova_rdma_task_receive_allocate_init(kova_rdma *rdma, kova_buf *dst_buf, kova_data user_data,
							    kova_rdma_task_receive **task);
KOVA_EXPORT kova_task *kova_rdma_task_receive_as_task(kova_rdma_task_receive *task);
KOVA_EXPORT void kova_rdma_task_receive_set_dst_buf(kova_rdma_task_receive *task, kova_buf *dst_buf);
KOVA_EXPORT kova_buf *kova_rdma_task_receive_get_dst_buf(const kova_rdma_task_receive *task);
/* Results of a completed receive: enum kova_rdma_opcode, the byte count and the immediate data. */
KOVA_EXPORT uint32_t kova_rdma_task_receive_get_result_opcode(const kova_rdma_task_receive *task);
KOVA_EXPORT uint32_t kova_rdma_task_receive_get_result_len(const kova_rdma_task_receive *task);
KOVA_EXPORT uint32_t kova_rdma_task_receive_get_result_immediate_data(const kova_rdma_task_receive *task);

/* Send. */
KOVA_EXPORT kova_error kova_rdma_cap_task_send_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_rdma_task_send_set_conf(kova_rdma *rdma, kova_task_completion_cb_t success_cb,
						    kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_rdma_task_send_allocate_init(kova_rdma *rdma, kova_rdma_connection *connection,
							 const kova_buf *src_buf, kova_data user_data,
							 kova_rdma_task_send **task);
KOVA_EXPORT kova_task *kova_rdma_task_send_as_task(kova_rdma_task_send *task);
KOVA_EXPORT void kova_rdma_task_send_set_src_buf(kova_rdma_task_send *task, const kova_buf *src_buf);
KOVA_EXPORT const kova_buf *kova_rdma_task_send_get_src_buf(const kova_rdma_task_send *task);

/* Send with immediate data. */
KOVA_EXPORT kova_error kova_rdma_cap_task_send_imm_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_rdma_task_send_imm_set_conf(kova_rdma *rdma, kova_task_completion_cb_t success_cb,
							kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_rdma_task_send_imm_allocate_init(kova_rdma *rdma, kova_rdma_connection *connection,
							     const kova_buf *src_buf, uint32_t immediate_data,
							     kova_data user_data, kova_rdma_task_send_imm **task);
KOVA_EXPORT kova_task *kova_rdma_task_send_imm_as_task(kova_rdma_task_send_imm *task);
KOVA_EXPORT void kova_rdma_task_send_imm_set_src_buf(kova_rdma_task_send_imm *task, const kova_buf *src_buf);
KOVA_EXPORT const kova_buf *kova_rdma_task_send_imm_get_src_buf(const kova_rdma_task_send_imm *task);
KOVA_EXPORT void kova_rdma_task_send_imm_set_immediate_data(kova_rdma_task_send_imm *task, uint32_t immediate_data);
KOVA_EXPORT uint32_t kova_rdma_task_send_imm_get_immediate_data(const kova_rdma_task_send_imm *task);

/* Read: the peer's source (a buffer of a map exported to this side) into the local destination. */
KOVA_EXPORT kova_error kova_rdma_cap_task_read_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_rdma_task_read_set_conf(kova_rdma *rdma, kova_task_completion_cb_t success_cb,
						    kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_rdma_task_read_allocate_init(kova_rdma *rdma, kova_rdma_connection *connection,
							 const kova_buf *src_buf, kova_buf *dst_buf, kova_data user_data,
							 kova_rdma_task_read **task);
KOVA_EXPORT kova_task *kova_rdma_task_read_as_task(kova_rdma_task_read *task);
KOVA_EXPORT void kova_rdma_task_read_set_src_buf(kova_rdma_task_read *task, const kova_buf *src_buf);
KOVA_EXPORT const kova_buf *kova_rdma_task_read_get_src_buf(const kova_rdma_task_read *task);
KOVA_EXPORT void kova_rdma_task_read_set_dst_buf(kova_rdma_task_read *task, kova_buf *dst_buf);
KOVA_EXPORT kova_buf *kova_rdma_task_read_get_dst_buf(const kova_rdma_task_read *task);
KOVA_EXPORT uint32_t kova_rdma_task_read_get_result_len(const kova_rdma_task_read *task);

/* Write: the local source into the peer's destination. */
KOVA_EXPORT kova_error kova_rdma_cap_task_write_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_rdma_task_write_set_conf(kova_rdma *rdma, kova_task_completion_cb_t success_cb,
						     kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_rdma_task_write_allocate_init(kova_rdma *rdma, kova_rdma_connection *connection,
							  const kova_buf *src_buf, kova_buf *dst_buf,
							  kova_data user_data, kova_rdma_task_write **task);
KOVA_EXPORT kova_task *kova_rdma_task_write_as_task(kova_rdma_task_write *task);
KOVA_EXPORT void kova_rdma_task_write_set_src_buf(kova_rdma_task_write *task, const kova_buf *src_buf);
KOVA_EXPORT const kova_buf *kova_rdma_task_write_get_src_buf(const kova_rdma_task_write *task);
KOVA_EXPORT void kova_rdma_task_write_set_dst_buf(kova_rdma_task_write *task, kova_buf *dst_buf);
KOVA_EXPORT kova_buf *kova_rdma_task_write_get_dst_buf(const kova_rdma_task_write *task);

/* Write with immediate data, which completes a receive task of the peer. */
KOVA_EXPORT kova_error kova_rdma_cap_task_write_imm_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_rdma_task_write_imm_set_conf(kova_rdma *rdma, kova_task_completion_cb_t success_cb,
							 kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_rdma_task_write_imm_allocate_init(kova_rdma *rdma, kova_rdma_connection *connection,
							      const kova_buf *src_buf, kova_buf *dst_buf,
							      uint32_t immediate_data, kova_data user_data,
							      kova_rdma_task_write_imm **task);
KOVA_EXPORT kova_task *kova_rdma_task_write_imm_as_task(kova_rdma_task_write_imm *task);
KOVA_EXPORT void kova_rdma_task_write_imm_set_src_buf(kova_rdma_task_write_imm *task, const kova_buf *src_buf);
KOVA_EXPORT const kova_buf *kova_rdma_task_write_imm_get_src_buf(const kova_rdma_task_write_imm *task);
KOVA_EXPORT void kova_rdma_task_write_imm_set_dst_buf(kova_rdma_task_write_imm *task, kova_buf *dst_buf);
KOVA_EXPORT kova_buf *kova_rdma_task_write_imm_get_dst_buf(const kova_rdma_task_write_imm *task);
KOVA_EXPORT void kova_rdma_task_write_imm_set_immediate_data(kova_rdma_task_write_imm *task,
							     uint32_t immediate_data);
KOVA_EXPORT uint32_t kova_rdma_task_write_imm_get_immediate_data(const kova_rdma_task_write_imm *task);

/* Atomic compare-and-swap on 8 bytes of the peer's destination; the old value lands in the result buffer. */
KOVA_EXPORT kova_error kova_rdma_cap_task_atomic_cmp_swp_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_rdma_task_atomic_cmp_swp_set_conf(kova_rdma *rdma, kova_task_completion_cb_t success_cb,
							      kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_rdma_task_atomic_cmp_swp_allocate_init(kova_rdma *rdma,
								   kova_rdma_connection *connection,
								   kova_buf *dst_buf, kova_buf *result_buf,
								   uint64_t cmp_data, uint64_t swap_data,
								   kova_data user_data,
								   kova_rdma_task_atomic_cmp_swp **task);
KOVA_EXPORT kova_task *kova_rdma_task_atomic_cmp_swp_as_task(kova_rdma_task_atomic_cmp_swp *task);
KOVA_EXPORT void kova_rdma_task_atomic_cmp_swp_set_dst_buf(kova_rdma_task_atomic_cmp_swp *task, kova_buf *dst_buf);
KOVA_EXPORT kova_buf *kova_rdma_task_atomic_cmp_swp_get_dst_buf(const kova_rdma_task_atomic_cmp_swp *task);
KOVA_EXPORT void kova_rdma_task_atomic_cmp_swp_set_result_buf(kova_rdma_task_atomic_cmp_swp *task,
							      kova_buf *result_buf);
KOVA_EXPORT kova_buf *kova_rdma_task_atomic_cmp_swp_get_result_buf(const kova_rdma_task_atomic_cmp_swp *task);
KOVA_EXPORT void kova_rdma_task_atomic_cmp_swp_set_cmp_data(kova_rdma_task_atomic_cmp_swp *task, uint64_t cmp_data);
KOVA_EXPORT uint64_t kova_rdma_task_atomic_cmp_swp_get_cmp_data(const kova_rdma_task_atomic_cmp_swp *task);
KOVA_EXPORT void kova_rdma_task_atomic_cmp_swp_set_swap_data(kova_rdma_task_atomic_cmp_swp *task,
							     uint64_t swap_data);
KOVA_EXPORT uint64_t kova_rdma_task_atomic_cmp_swp_get_swap_data(const kova_rdma_task_atomic_cmp_swp *task);

/* Atomic fetch-and-add on 8 bytes of the peer's destination; the old value lands in the result buffer. */
KOVA_EXPORT kova_error kova_rdma_cap_task_atomic_fetch_add_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_rdma_task_atomic_fetch_add_set_conf(kova_rdma *rdma,
								kova_task_completion_cb_t success_cb,
								kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_rdma_task_atomic_fetch_add_allocate_init(kova_rdma *rdma,
								     kova_rdma_connection *connection,
								     kova_buf *dst_buf, kova_buf *result_buf,
								     uint64_t add_data, kova_data user_data,
								     kova_rdma_task_atomic_fetch_add **task);
KOVA_EXPORT kova_task *kova_rdma_task_atomic_fetch_add_as_task(kova_rdma_task_atomic_fetch_add *task);
KOVA_EXPORT void kova_rdma_task_atomic_fetch_add_set_dst_buf(kova_rdma_task_atomic_fetch_add *task,
							     kova_buf *dst_buf);
KOVA_EXPORT kova_buf *kova_rdma_task_atomic_fetch_add_get_dst_buf(const kova_rdma_task_atomic_fetch_add *task);
KOVA_EXPORT void kova_rdma_task_atomic_fetch_add_set_result_buf(kova_rdma_task_atomic_fetch_add *task,
								kova_buf *result_buf);
KOVA_EXPORT kova_buf *kova_rdma_task_atomic_fetch_add_get_result_buf(const kova_rdma_task_atomic_fetch_add *task);
KOVA_EXPORT void kova_rdma_task_atomic_fetch_add_set_add_data(kova_rdma_task_atomic_fetch_add *task,
							      uint64_t add_data);
KOVA_EXPORT uint64_t kova_rdma_task_atomic_fetch_add_get_add_data(const kova_rdma_task_atomic_fetch_add *task);

/* Remote synchronisation event: read its value into the destination. */
KOVA_EXPORT kova_error kova_rdma_cap_task_remote_net_sync_event_get_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_rdma_task_remote_net_sync_event_get_set_conf(kova_rdma *rdma,
									 kova_task_completion_cb_t success_cb,
									 kova_task_completion_cb_t error_cb,
									 uint32_t num_tasks);
KOVA_EXPORT kova_error kova_rdma_task_remote_net_sync_event_get_allocate_init(
	kova_rdma *rdma, kova_rdma_connection *connection, const kova_sync_event_remote_net *event,
	kova_buf *dst_buf, kova_data user_data, kova_rdma_task_remote_net_sync_event_get **task);
KOVA_EXPORT kova_task *
kova_rdma_task_remote_net_sync_event_get_as_task(kova_rdma_task_remote_net_sync_event_get *task);
KOVA_EXPORT void kova_rdma_task_remote_net_sync_event_get_set_sync_event(kova_rdma_task_remote_net_sync_event_get *task,
									 const kova_sync_event_remote_net *event);
KOVA_EXPORT void kova_rdma_task_remote_net_sync_event_get_set_dst_buf(kova_rdma_task_remote_net_sync_event_get *task,
								      kova_buf *dst_buf);
KOVA_EXPORT kova_buf *
kova_rdma_task_remote_net_sync_event_get_get_dst_buf(const kova_rdma_task_remote_net_sync_event_get *task);
KOVA_EXPORT uint32_t
kova_rdma_task_remote_net_sync_event_get_get_result_len(const kova_rdma_task_remote_net_sync_event_get *task);

/* Remote synchronisation event: set its value from the source. */
KOVA_EXPORT kova_error kova_rdma_cap_task_remote_net_sync_event_notify_set_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_rdma_task_remote_net_sync_event_notify_set_set_conf(kova_rdma *rdma,
										kova_task_completion_cb_t success_cb,
										kova_task_completion_cb_t error_cb,
										uint32_t num_tasks);
KOVA_EXPORT kova_error kova_rdma_task_remote_net_sync_event_notify_set_allocate_init(
	kova_rdma *rdma, kova_rdma_connection *connection, kova_sync_event_remote_net *event,
	const kova_buf *src_buf, kova_data user_data, kova_rdma_task_remote_net_sync_event_notify_set **task);
KOVA_EXPORT kova_task *
kova_rdma_task_remote_net_sync_event_notify_set_as_task(kova_rdma_task_remote_net_sync_event_notify_set *task);
KOVA_EXPORT void kova_rdma_task_remote_net_sync_event_notify_set_set_sync_event(
	kova_rdma_task_remote_net_sync_event_notify_set *task, kova_sync_event_remote_net *event);
KOVA_EXPORT kova_sync_event_remote_net *kova_rdma_task_remote_net_sync_event_notify_set_get_sync_event(
	const kova_rdma_task_remote_net_sync_event_notify_set *task);
KOVA_EXPORT void kova_rdma_task_remote_net_sync_event_notify_set_set_src_buf(
	kova_rdma_task_remote_net_sync_event_notify_set *task, const kova_buf *src_buf);
KOVA_EXPORT const kova_buf *kova_rdma_task_remote_net_sync_event_notify_set_get_src_buf(
	const kova_rdma_task_remote_net_sync_event_notify_set *task);

/* Remote synchronisation event: add to its value; the old value lands in the result buffer. */
KOVA_EXPORT kova_error kova_rdma_cap_task_remote_net_sync_event_notify_add_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_rdma_task_remote_net_sync_event_notify_add_set_conf(kova_rdma *rdma,
										kova_task_completion_cb_t success_cb,
										kova_task_completion_cb_t error_cb,
										uint32_t num_tasks);
KOVA_EXPORT kova_error kova_rdma_task_remote_net_sync_event_notify_add_allocate_init(
	kova_rdma *rdma, kova_rdma_connection *connection, kova_sync_event_remote_net *event, kova_buf *result_buf,
	uint64_t add_data, kova_data user_data, kova_rdma_task_remote_net_sync_event_notify_add **task);
KOVA_EXPORT kova_task *
kova_rdma_task_remote_net_sync_event_notify_add_as_task(kova_rdma_task_remote_net_sync_event_notify_add *task);
KOVA_EXPORT void kova_rdma_task_remote_net_sync_event_notify_add_set_sync_event(
	kova_rdma_task_remote_net_sync_event_notify_add *task, kova_sync_event_remote_net *event);
KOVA_EXPORT kova_sync_event_remote_net *kova_rdma_task_remote_net_sync_event_notify_add_get_sync_event(
	const kova_rdma_task_remote_net_sync_event_notify_add *task);
KOVA_EXPORT void kova_rdma_task_remote_net_sync_event_notify_add_set_result_buf(
	kova_rdma_task_remote_net_sync_event_notify_add *task, kova_buf *result_buf);
KOVA_EXPORT kova_buf *kova_rdma_task_remote_net_sync_event_notify_add_get_result_buf(
	const kova_rdma_task_remote_net_sync_event_notify_add *task);
KOVA_EXPORT void kova_rdma_task_remote_net_sync_event_notify_add_set_add_data(
	kova_rdma_task_remote_net_sync_event_notify_add *task, uint64_t add_data);
KOVA_EXPORT uint64_t kova_rdma_task_remote_net_sync_event_notify_add_get_add_data(
	const kova_rdma_task_remote_net_sync_event_notify_add *task);

/* Completions of the instance go to a DPA completion object instead of the progress engine. */
KOVA_EXPORT kova_error kova_rdma_dpa_completion_attach(kova_rdma *rdma, kova_dpa_completion *dpa_completion);

#endif
