/*
 * GPU kernel launchers of the benchmark (libkova_bench_rhun_impl.so.2), built on the GPU runtime.
 *
 * Every function returns kova_error: 0 on success, KOVA_ERROR_NOT_FOUND when no GPU has the given
 * address, KOVA_ERROR_NOT_SUPPORTED when the machine has no usable GPU runtime, and
 * KOVA_ERROR_DRIVER when the GPU runtime refuses a call.
 * A launcher takes the address of its kernel's parameter block, starts the kernel and returns without
 * waiting for it; the kernel runs until the block's stop flag becomes non-zero.
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
