// The RDMA library's instance, tasks and capability table, shared by its control path (rdma.cpp,
// rdma_tasks.cpp) and its transport (rdma_link.cpp).
//
// The stand-in carries reliable-connected messaging in user space:
// - Connection details: a fixed 72-byte record (rdma_details.hpp) with a random token, the IPv4
//   address and TCP port of a listener, and the process identity. The listener binds the first IPv4
//   address of the device's network interface; a device whose interface has none (or does not
//   exist in this network namespace) listens on 127.0.0.1, which reaches peers on this host only.
// - One TCP connection per queue pair; the side with the smaller token connects, the other
//   accepts. Both check the other's tokens before the context runs. Everything is non-blocking
//   and driven by kova_pe_progress.
// - A posted receive gives the peer a credit (its room); a send waits for a credit. On one host
//   (same boot and pid namespace, and the peer's memory readable), a send announces its buffer's
//   address and the receiver copies the bytes straight into its posted buffer with one
//   process_vm_readv per progress call for all announced messages. Across hosts, and for messages
//   up to inline_limit bytes, the bytes follow the announcement on the socket. Small records are
//   batched: one send() and one recv() per progress call at most.
// - A message larger than the credit's room fails the send and the receive with KOVA_ERROR_TOO_BIG. A closed or
//   reset connection fails every task in flight with KOVA_ERROR_CONNECTION_RESET. Stopping fails the held tasks with
//   KOVA_ERROR_SHUTDOWN.
// - A peer that stops answering (its wire down, its host gone) counts as a reset connection after
//   4 s: the socket carries TCP_USER_TIMEOUT and keepalive probes every second (set once, when the
//   socket is made), so that the kernel ends the connection and the next progress call sees it.
//
// Capability table of the stand-in device (tests may override each by its query name):
//   send and receive tasks: supported; every other task kind: not supported
//   maximum message size: 1 GiB; send and receive queue sizes: up to 32768
//   buffer lists: up to 16 elements; transport RC: supported, DC: not supported
//   GID table: 4 entries, each the IPv4-mapped address the instance listens on
//
// Data path on a GPU (kova_ctx_set_datapath_on_gpu): the handshake runs as above (the hello says the
// side is on a GPU); once the connection is established the link hands its socket to the instance's
// GPU handle and touches it no more: the kernels frame their messages themselves (gpu_handles.hpp).
// A CPU peer of such a side frames its messages the same way: no credits, no placement, a send
// completes once its bytes are queued for the socket, a frame waits in the input for a posted receive
// (one larger than the receive fails both and the connection). A kernel that finds the stream broken
// reports it through the GPU handle; the next progress call logs the loss and moves the context to
// stopping.
#pragma once

#include <kova_internal/ctx_kernel.hpp>
#include <kova_internal/gpu_handles.hpp>

#include <kova/rdma.h>

#include <cstddef>
#include <cstdint>

namespace kova::sdk::rdma {

class link;

inline constexpr uint64_t max_message_size = 1ULL << 30;
inline constexpr uint32_t max_queue_size = 32768;
inline constexpr uint32_t default_queue_size = 64;
inline constexpr uint32_t max_buf_list_len = 16;
inline constexpr uint32_t gid_table_size = 4;
inline constexpr uint32_t inline_limit = 4096;

} // namespace kova::sdk::rdma

struct kova_rdma_task_receive {
	kova_task task;
	uint32_t result_len;
};

struct kova_rdma_task_send {
	kova_task task;
	kova_rdma_connection *connection;
};

// A queue pair's connection; the instance has one.
struct kova_rdma_connection {
	kova_rdma *owner;
};

struct kova_rdma {
	kova_ctx ctx;
	kova::sdk::task_kind receive;
	kova::sdk::task_kind send;
	kova_rdma_connection connection;
	kova::sdk::rdma::link *link; // created by the first export
	uint32_t send_queue_size;
	uint32_t recv_queue_size;
	uint32_t max_send_buf_list_len;
	uint32_t dst_buf_list_len;
	uint32_t transport_type;
	uint32_t mtu;
	uint32_t permissions;
	uint32_t gid_index;
	uint32_t sl;
	uint8_t grh_enabled;
	// The queue pair as GPU kernels use it when the data path is on a GPU (gpu_handles.hpp).
	kova_gpu_dev_rdma gpu_handle;
};

namespace kova::sdk::rdma {

// Data path entry points (rdma_link.cpp): each answers KOVA_ERROR_IN_PROGRESS when the link keeps the task.
kova_error execute_receive(kova_task *task) noexcept;
kova_error execute_send(kova_task *task) noexcept;

} // namespace kova::sdk::rdma
