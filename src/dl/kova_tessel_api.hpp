// Function table of the GPU libraries: the kernel launchers of
// libkova_bench_rhun_impl.so.2 and the GPU networking library
// libkova_tessel.so.2, both usable only where the GPU runtime librhunrt.so is
// installed.
#pragma once

#include "dl/impl/api_table.hpp"

#include <kova/bench_rhun_impl.h>
#include <kova/tessel.h>

#include <memory>
#include <string>

// The kernel launchers, in table order.
#define KOVA_BENCH_RHUN_IMPL_FUNCTIONS(X) \
	X(kova_bench_rhun_init) \
	X(kova_bench_rhun_device_query) \
	X(kova_bench_rhun_device_synchronize) \
	X(kova_bench_rhun_start_nop_kernel) \
	X(kova_bench_rhun_start_rdma_send_kernel) \
	X(kova_bench_rhun_start_rdma_recv_kernel) \
	X(kova_bench_rhun_start_eth_recv_kernel) \
	X(kova_bench_rhun_start_eth_send_kernel) \
	X(kova_bench_rhun_start_eth_bidir_kernel)

// The GPU networking functions, in table order.
#define KOVA_TESSEL_FUNCTIONS(X) \
	X(kova_gpu_create) \
	X(kova_gpu_destroy) \
	X(kova_gpu_mem_alloc) \
	X(kova_gpu_mem_free) \
	X(kova_gpu_dmabuf_fd)

namespace kova::bench::dl {

struct kova_tessel_api {
	// The GPU networking library, the location reported for the table.
	std::shared_ptr<handle_impl> handle;
	std::string path;
	// The kernel launch library.
	std::shared_ptr<handle_impl> rhun_impl_handle;
	std::string rhun_impl_path;
	KOVA_BENCH_RHUN_IMPL_FUNCTIONS(KOVA_DL_FUNCTION)
	KOVA_TESSEL_FUNCTIONS(KOVA_DL_FUNCTION)

	// The process-wide table, or null when any of the three libraries is not installed (decided once per
	// process). Building it calls kova_bench_rhun_init once. Throws KOVA_ERROR_INVALID_VALUE naming the first
	// listed function
	// a library lacks; the next call tries again.
	static const kova_tessel_api *singleton();
};

} // namespace kova::bench::dl
