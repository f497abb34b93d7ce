#include "utility/tessel_common.hpp"

#include "kova_exception.hpp"

#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/mmap.h>
#include <kova/rdma.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace kova::bench::utility {
namespace {

constexpr uint32_t gpu_page_alignment = 4096;
constexpr uint32_t flag_size = 8;
// Local read and write, remote read.
constexpr uint32_t gpu_access_permissions = 5;

void throw_if_failed(kova_error err, const char *message)
{
	if (err != KOVA_SUCCESS)
		KOVA_THROW(err, message);
}

} // namespace

gpu_memory::gpu_memory(const dl::kova_tessel_api *api, kova_gpu *gpu, uint64_t size, uint64_t alignment,
		       uint32_t mem_type, const char *failure)
	: m_api{api}, m_gpu{gpu}
{
	if (gpu == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, std::string{failure} + ": no GPU");
	void *gpu_address = nullptr;
	void *cpu_address = nullptr;
	kova_error const err = api->kova_gpu_mem_alloc(gpu, size, alignment, mem_type, &gpu_address, &cpu_address);
	if (err != KOVA_SUCCESS)
		KOVA_THROW(err, failure);
	m_gpu_address = gpu_address;
	m_cpu_address = cpu_address;
	if (gpu_address == nullptr || (mem_type != 0 && cpu_address == nullptr)) {
		reset();
		KOVA_THROW(KOVA_ERROR_NO_MEMORY, failure);
	}
}

gpu_memory::~gpu_memory()
{
	reset();
}

gpu_memory::gpu_memory(gpu_memory &&other) noexcept
	: m_api{other.m_api}, m_gpu{other.m_gpu}, m_gpu_address{other.m_gpu_address}, m_cpu_address{other.m_cpu_address}
{
	other.m_gpu_address = nullptr;
	other.m_cpu_address = nullptr;
}

gpu_memory &gpu_memory::operator=(gpu_memory &&other) noexcept
{
	if (this != &other) {
		reset();
		m_api = other.m_api;
		m_gpu = other.m_gpu;
		m_gpu_address = other.m_gpu_address;
		m_cpu_address = other.m_cpu_address;
		other.m_gpu_address = nullptr;
		other.m_cpu_address = nullptr;
	}
	return *this;
}

void gpu_memory::reset() noexcept
{
	if (m_gpu_address != nullptr) {
		if (kova_error const err = m_api->kova_gpu_mem_free(m_gpu, m_gpu_address))
			std::printf("Failed to free GPU memory: %s\n", kova_error_get_name(err));
	}
	m_gpu_address = nullptr;
	m_cpu_address = nullptr;
}

uint32_t gpu_thread_count(uint32_t blocks, uint32_t threads_per_block)
{
	uint64_t const product = uint64_t{blocks} * threads_per_block;
	if (product == 0 || product > UINT32_MAX)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid GPU geometry: " + std::to_string(blocks) + " blocks of " +
							     std::to_string(threads_per_block) +
							     " threads, the product must lie in 1..4294967295");
	return static_cast<uint32_t>(product);
}

uint32_t rdma_gpu_buffer_count(uint32_t gpu_threads)
{
	if (gpu_threads > (1U << 31))
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Too many GPU threads for the GPU RDMA buffers: " +
							     std::to_string(gpu_threads));
	uint32_t count = 1;
	while (count < gpu_threads)
		count <<= 1U;
	return count;
}

bool stop_kernel(uint8_t *stop_byte, std::chrono::milliseconds limit) noexcept
{
	std::atomic_ref<uint8_t> flag{*stop_byte};
	uint8_t expected = 0;
	flag.compare_exchange_strong(expected, 1, std::memory_order_release, std::memory_order_relaxed);
	auto const deadline = std::chrono::steady_clock::now() + limit;
	while (flag.load(std::memory_order_acquire) != 2) {
		if (std::chrono::steady_clock::now() > deadline)
			return false;
		timespec const pause{0, 100'000};
		::nanosleep(&pause, nullptr);
	}
	return true;
}

void clear_stop_byte(uint8_t *stop_byte) noexcept
{
	std::atomic_ref<uint8_t>{*stop_byte}.store(0, std::memory_order_release);
}

void rdma_gpu_ctx::mmap_owner::operator()(kova_mmap *mmap) const noexcept
{
	if (kova_error const err = kova_mmap_destroy(mmap))
		std::printf("Failed to destroy gpu mmap: %s\n", kova_error_get_name(err));
}

void rdma_gpu_ctx::buf_arr_owner::operator()(kova_buf_arr *array) const noexcept
{
	if (kova_error const err = kova_buf_arr_destroy(array))
		std::printf("Failed to destroy buf_array: %s\n", kova_error_get_name(err));
}

void rdma_gpu_ctx::published::reset() noexcept
{
	handle = nullptr;
	array.reset();
}

void create_mmap_gpu(kova_mmap **out, void *address, uint64_t length, kova_dev *device)
{
	kova_mmap *mmap = nullptr;
	throw_if_failed(kova_mmap_create(&mmap), "Failed to create gpu mmap");
	auto destroy_on_failure = [mmap](kova_error err, const char *message) {
		if (err == KOVA_SUCCESS)
			return;
		static_cast<void>(kova_mmap_destroy(mmap));
		KOVA_THROW(err, message);
	};
	destroy_on_failure(kova_mmap_set_permissions(mmap, gpu_access_permissions), "Failed to set gpu mmap permissions");
	destroy_on_failure(kova_mmap_set_memrange(mmap, address, length), "Failed to set gpu mmap memrange");
	destroy_on_failure(kova_mmap_add_dev(mmap, device), "Failed to add gpu mmap device");
	destroy_on_failure(kova_mmap_start(mmap), "Failed to start gpu mmap");
	*out = mmap;
}

rdma_gpu_ctx::rdma_gpu_ctx(const dl::kova_rdma_api *rdma_api, const dl::kova_tessel_api *gpu_api,
			   const rdma_context::configuration &cfg, uint32_t num_blocks, uint32_t threads_per_block,
			   uint32_t buffer_size, kova_pe *pe, kova_dev *dev, kova_gpu *gpu, kova_data user_data)
	: m_rdma_api{rdma_api},
	  m_gpu_api{gpu_api},
	  m_gpu{gpu},
	  m_dev{dev},
	  m_num_blocks{num_blocks},
	  m_threads_per_block{threads_per_block},
	  m_buffer_size{buffer_size}
{
	if (rdma_api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_rdma library is not installed");
	if (gpu_api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_tessel library is not installed");
	if (gpu == nullptr || dev == nullptr || pe == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "GPU RDMA context needs a GPU, a device and a progress engine");
	m_rdma.emplace(cfg, user_data, dev, pe);
	m_buffer_count = rdma_gpu_buffer_count(gpu_thread_count(num_blocks, threads_per_block));
	uint64_t const data_size = uint64_t{m_buffer_count} * buffer_size;
	if (buffer_size == 0 || data_size > UINT32_MAX)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid GPU RDMA buffers: " + std::to_string(m_buffer_count) +
							     " of " + std::to_string(buffer_size) + " bytes");

	kova_rdma *rdma = m_rdma->get_kova_rdma_obj();
	throw_if_failed(kova_ctx_set_datapath_on_gpu(m_rdma_api->kova_rdma_as_ctx(rdma), gpu),
			"Failed to set datapath on GPU");
	throw_if_failed(m_rdma_api->kova_rdma_set_permissions(rdma, gpu_access_permissions),
			"Failed to set RDMA permissions");
	m_rdma->start();
	throw_if_failed(m_rdma_api->kova_rdma_get_gpu_handle(rdma, &m_rdma_gpu), "Failed to get RDMA GPU handle");

	m_data_memory = gpu_memory{gpu_api, gpu, data_size, gpu_page_alignment, 1, "Unable to allocate GPU memory"};
	// What the send kernels send: a fixed pattern instead of the allocator's poison.
	auto *data = static_cast<uint8_t *>(m_data_memory.cpu_address());
	for (uint64_t i = 0; i < data_size; ++i)
		data[i] = pattern_byte(i);
	kova_mmap *data_mmap = nullptr;
	create_mmap_gpu(&data_mmap, m_data_memory.gpu_address(), data_size, dev);
	m_data_mmap.reset(data_mmap);
	m_data = create_buf_arr(m_data_mmap.get(), m_buffer_count, buffer_size);
	create_flag_mmap();
}

rdma_gpu_ctx::~rdma_gpu_ctx()
{
	// The context stops first, so that nothing reaches the memory any more.
	m_rdma.reset();
	m_remote_flag.reset();
	m_local_flag.reset();
	m_data.reset();
	m_remote_flag_mmap.reset();
	m_local_flag_mmap.reset();
	m_data_mmap.reset();
	m_local_flag_memory.reset();
	m_data_memory.reset();
}

rdma_gpu_ctx::published rdma_gpu_ctx::create_buf_arr(kova_mmap *mmap, uint32_t count, uint32_t element_size) const
{
	published made;
	kova_buf_arr *array = nullptr;
	throw_if_failed(kova_buf_arr_create(count, &array), "Failed to create buf_array");
	made.array.reset(array);
	throw_if_failed(kova_buf_arr_set_params(array, mmap, element_size, 0), "Failed to set buf_array params");
	throw_if_failed(kova_buf_arr_set_target_gpu(array, m_gpu), "Failed to set buf_array target gpu");
	throw_if_failed(kova_buf_arr_start(array), "Failed to start buf_array");
	throw_if_failed(kova_buf_arr_get_gpu_handle(array, &made.handle), "Failed to get buf_array handle");
	return made;
}

void rdma_gpu_ctx::create_flag_mmap()
{
	m_local_flag_memory =
		gpu_memory{m_gpu_api, m_gpu, flag_size, gpu_page_alignment, 1, "Unable to allocate GPU memory"};
	// The peer's kernel compares against it from its first round on.
	std::atomic_ref<uint64_t>{*static_cast<uint64_t *>(m_local_flag_memory.cpu_address())}.store(
		0, std::memory_order_release);
	kova_mmap *flag_mmap = nullptr;
	create_mmap_gpu(&flag_mmap, m_local_flag_memory.gpu_address(), flag_size, m_dev);
	m_local_flag_mmap.reset(flag_mmap);
	m_local_flag = create_buf_arr(m_local_flag_mmap.get(), 1, flag_size);
}

std::string rdma_gpu_ctx::export_flag_mmap() const
{
	const void *descriptor = nullptr;
	size_t length = 0;
	throw_if_failed(kova_mmap_export_rdma(m_local_flag_mmap.get(), m_dev, &descriptor, &length),
			"Unable to export memory map.");
	return std::string(static_cast<const char *>(descriptor), length);
}

void rdma_gpu_ctx::create_flag_mmap_from_export(const std::string &exported)
{
	std::vector<char> const bytes(exported.begin(), exported.end());
	kova_mmap *remote = nullptr;
	throw_if_failed(kova_mmap_create_from_export(nullptr, bytes.data(), bytes.size(), m_dev, &remote),
			"Unable to create from exported memory map.");
	m_remote_flag.reset();
	m_remote_flag_mmap.reset(remote);
	m_remote_flag = create_buf_arr(m_remote_flag_mmap.get(), 1, flag_size);
}

} // namespace kova::bench::utility
