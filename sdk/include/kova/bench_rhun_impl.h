/*
 * GPU kernel launchers of the benchmark (libkova_bench_rhun_impl.so.2), built on the GPU runtime.
 *
 * Every function returns kova_error: 0 on success, KOVA_ERROR_NOT_FOUND when no GPU has the given
 * address, KOVA_ERROR_NOT_SUPPORTED when the machine has no usable GPU runtime, and
 * KOVA_ERROR_DRIVER when the GPU runtime refuses a call.
 * A launcher takes the address of its kernel's parameter block, copies it, starts the kernel and returns without
 * waiting for it (KOVA_ERROR_INVALID_VALUE for a malformed block: null, 0 blocks or threads, more than 4294967295 GPU threads, a
 * stop flag, counter array or buffer array outside GPU memory). The kernel runs until the block's stop byte
 * becomes non-zero; when it has ended, it stores 2 into the stop byte. GPU thread i keeps {jobs, bytes} in
 * counter record i (two 64-bit counters, each written with one atomic store).
 *
 * The emulated GPU runs each kernel on CPU threads (see the GPU runtime); the eth kernels drive the Ethernet
 * library's queues through their GPU handles.
 *
 * RDMA kernels (one emulator thread: a queue pair is one ordered stream). GPU thread t owns data buffer
 * t mod (number of buffers). They move messages of buffer-size bytes in rounds of one message per GPU thread:
 * - receive: for round r = 1, 2, ...: when the block has a remote flag array, it writes r (8 bytes) into the
 *   peer's flag through it (its receive buffers are posted); then it receives one message per GPU thread into
 *   that thread's buffer, counting {1, length} for the thread;
 * - send: for round r: it waits until its local flag (written by the peer) is at least r (without a local
 *   flag array it does not wait); then it sends one message per GPU thread from that thread's buffer, counting
 *   {1, buffer size}.
 * Both check the stop byte between messages and while they wait; a closed or failed connection ends the
 * transfer: the kernel reports it to the RDMA library through the queue pair's GPU handle (whose context
 * then stops, see kova/rdma.h) and waits for its stop byte.
 */
#ifndef KOVA_BENCH_RHUN_IMPL_H
#define KOVA_BENCH_RHUN_IMPL_H

#include <kova/error.h>
#include <kova/types.h>

/* Initialises the GPU runtime for this process; called once, before any other function. */
KOVA_EXPORT kova_error kova_bench_rhun_init(void);
/* Prints the properties of the GPU at the PCI address ("BB:DD.F" or "DDDD:BB:DD.F"). */
KOVA_EXPORT kova_error kova_bench_rhun_device_query(const char *gpu_pci_address);
/* Waits until every kernel started by this process has ended. */
KOVA_EXPORT kova_error kova_bench_rhun_device_synchronize(void);

KOVA_EXPORT kova_error kova_bench_rhun_start_nop_kernel(const void *params);
KOVA_EXPORT kova_error kova_bench_rhun_start_rdma_send_kernel(const void *params);
KOVA_EXPORT kova_error kova_bench_rhun_start_rdma_recv_kernel(const void *params);
KOVA_EXPORT kova_error kova_bench_rhun_start_eth_recv_kernel(const void *params);
KOVA_EXPORT kova_error kova_bench_rhun_start_eth_send_kernel(const void *params);
KOVA_EXPORT kova_error kova_bench_rhun_start_eth_bidir_kernel(const void *params);

#endif
