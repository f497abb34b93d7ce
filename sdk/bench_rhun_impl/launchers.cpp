// The launchers: each copies and checks its parameter block and starts its kernel.
#include "kernel_params.hpp"

#include <kova_internal/rhun_runtime.hpp>

#include <kova/bench_rhun_impl.h>
#include <kova/error.h>

#include <atomic>
#include <cstdio>

namespace kernels = kova::sdk::kernels;
namespace rhun = kova::sdk::rhun;

namespace kova::sdk::kernels {

void mark_ended(uint8_t *stop_flag) noexcept
{
	std::atomic_ref<uint8_t>{*stop_flag}.store(2, std::memory_order_release);
}

bool stop_raised(const uint8_t *stop_flag) noexcept
{
	return std::atomic_ref<uint8_t>{*const_cast<uint8_t *>(stop_flag)}.load(std::memory_order_acquire) != 0;
}

void count(uint64_t *counters, uint32_t t, uint64_t len) noexcept
{
	std::atomic_ref<uint64_t> jobs{counters[2 * std::size_t{t}]};
	std::atomic_ref<uint64_t> bytes{counters[2 * std::size_t{t} + 1]};
	jobs.store(jobs.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
	bytes.store(bytes.load(std::memory_order_relaxed) + len, std::memory_order_relaxed);
}

} // namespace kova::sdk::kernels

namespace {

template <typename Params>
kova_error launch_with(const char *launcher, const void *params, kova_error (*start)(const Params &))
{
	if (params == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	Params copy;
	__builtin_memcpy(&copy, params, sizeof(copy));
	rhun::record_params(launcher, &copy, sizeof(copy));
	return start(copy);
}

} // namespace

KOVA_EXPORT kova_error kova_bench_rhun_init(void)
{
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_bench_rhun_device_query(const char *gpu_pci_address)
{
	if (gpu_pci_address == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (!rhun::is_known_gpu(gpu_pci_address))
		return KOVA_ERROR_NOT_FOUND;
	std::printf("GPU %s: emulated on CPU threads (software path, no GPU present)\n"
		    "  emulator threads per kernel: at most %u\n"
		    "  memory: host memory; types 0 (GPU only), 1 and 2 (CPU reachable)\n",
		    gpu_pci_address, rhun::max_emulator_threads);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_bench_rhun_device_synchronize(void)
{
	return rhun::synchronize();
}

KOVA_EXPORT kova_error kova_bench_rhun_start_nop_kernel(const void *params)
{
	return launch_with<kernels::nop_params>("kova_bench_rhun_start_nop_kernel", params, kernels::start_nop);
}

KOVA_EXPORT kova_error kova_bench_rhun_start_rdma_send_kernel(const void *params)
{
	return launch_with<kernels::rdma_params>("kova_bench_rhun_start_rdma_send_kernel", params,
						 kernels::start_rdma_send);
}

KOVA_EXPORT kova_error kova_bench_rhun_start_rdma_recv_kernel(const void *params)
{
	return launch_with<kernels::rdma_params>("kova_bench_rhun_start_rdma_recv_kernel", params,
						 kernels::start_rdma_recv);
}

KOVA_EXPORT kova_error kova_bench_rhun_start_eth_recv_kernel(const void *params)
{
	return launch_with<kernels::eth_recv_params>("kova_bench_rhun_start_eth_recv_kernel", params,
						     kernels::start_eth_recv);
}

KOVA_EXPORT kova_error kova_bench_rhun_start_eth_send_kernel(const void *params)
{
	return launch_with<kernels::eth_send_params>("kova_bench_rhun_start_eth_send_kernel", params,
						     kernels::start_eth_send);
}

KOVA_EXPORT kova_error kova_bench_rhun_start_eth_bidir_kernel(const void *params)
{
	return launch_with<kernels::eth_bidir_params>("kova_bench_rhun_start_eth_bidir_kernel", params,
						      kernels::start_eth_bidir);
}
