#include "companion/worker/rdma_gpu_worker.hpp"

#include "companion/worker/worker_command_map.hpp"
#include "kova_exception.hpp"

#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/pe.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace kova::bench::companion::worker {
namespace {

constexpr const char *key_connection_string = "connection-string";
constexpr const char *key_buffer_size = "buffer-size";
constexpr const char *key_num_blocks = "num-blocks";
constexpr const char *key_threads_per_block = "threads-per-block";
constexpr const char *key_gid_idx = "gid-idx";
constexpr const char *key_exported_mmap = "exported-mmap";
constexpr const char *command_record = "create_rdma_gpu_worker_command";
constexpr const char *worker_type = "rdma_gpu_send";
constexpr uint64_t gpu_page_alignment = 4096;
// How long the worker's thread drives the engine for the connection to run.
constexpr std::chrono::seconds connection_limit{30};

} // namespace

attribute_map create_rdma_gpu_worker_command_to_map(const create_rdma_gpu_worker_command &command)
{
	attribute_map map;
	map[key_connection_string] = command.connection_string;
	write_number(map, key_buffer_size, command.buffer_size);
	write_number(map, key_num_blocks, command.num_blocks);
	write_number(map, key_threads_per_block, command.threads_per_block);
	if (command.gid_idx)
		write_number(map, key_gid_idx, *command.gid_idx);
	return map;
}

create_rdma_gpu_worker_command create_rdma_gpu_worker_command_from_map(const attribute_map &map)
{
	if (!has_keys(map, {key_connection_string, key_buffer_size, key_num_blocks, key_threads_per_block}))
		throw_invalid(command_record);
	create_rdma_gpu_worker_command command;
	command.buffer_size = number_or_throw(map.at(key_buffer_size), command_record, "buffer size");
	command.num_blocks = number_or_throw(map.at(key_num_blocks), command_record, "num blocks");
	command.threads_per_block = number_or_throw(map.at(key_threads_per_block), command_record, "threads per block");
	if (auto const gid = map.find(key_gid_idx); gid != map.end())
		command.gid_idx = number_or_throw(gid->second, command_record, "gid idx");
	command.connection_string = map.at(key_connection_string);
	return command;
}

attribute_map create_rdma_gpu_worker_response_to_map(const create_rdma_gpu_worker_response &response)
{
	attribute_map map;
	map[key_connection_string] = response.connection_string;
	map[key_exported_mmap] = response.exported_mmap;
	return map;
}

create_rdma_gpu_worker_response create_rdma_gpu_worker_response_from_map(const attribute_map &map)
{
	auto const connection = map.find(key_connection_string);
	if (connection == map.end())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
			   "[BUG] invalid create_rdma_gpu_worker_response, connection-string not provided");
	create_rdma_gpu_worker_response response;
	response.connection_string = connection->second;
	if (auto const exported = map.find(key_exported_mmap); exported != map.end())
		response.exported_mmap = exported->second;
	return response;
}

rdma_gpu_worker::rdma_gpu_worker(uint32_t id, const attribute_map &map, kova_dev *device, kova_gpu *gpu)
	: m_rdma_api{dl::kova_rdma_api::singleton()}, m_gpu_api{dl::kova_tessel_api::singleton()}, m_id{id}
{
	auto const command = create_rdma_gpu_worker_command_from_map(map);
	if (m_rdma_api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_rdma is not installed");
	if (m_gpu_api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_tessel is not installed");
	if (gpu == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "No GPU is open: start the companion with --gpu");
	uint32_t const gpu_threads = utility::gpu_thread_count(command.num_blocks, command.threads_per_block);
	m_pe = utility::make_pe();

	utility::rdma_context::configuration cfg;
	cfg.gid_index = command.gid_idx;
	m_context = std::make_unique<utility::rdma_gpu_ctx>(m_rdma_api, m_gpu_api, cfg, command.num_blocks,
							    command.threads_per_block, command.buffer_size, m_pe.get(),
							    device, gpu, kova_data{.u64 = 0});
	utility::rdma_context &rdma = *m_context->get_rdma_context();
	auto const blob = rdma.get_local_connection_blob();
	m_connection_string.assign(blob.begin(), blob.end());
	if (kova_error const err =
		    rdma.connect(std::vector<char>(command.connection_string.begin(), command.connection_string.end())))
		KOVA_THROW(err, "Unable to connect RDMA");

	m_stop_flag = utility::gpu_memory{m_gpu_api, gpu, 1, gpu_page_alignment, 1, "Unable to get GPU memory"};
	utility::clear_stop_byte(static_cast<uint8_t *>(m_stop_flag.cpu_address()));
	// One record per GPU thread, zeroed: the kernel counts from what it finds.
	uint64_t const counter_size = uint64_t{gpu_threads} * sizeof(utility::gpu_counter_record);
	m_counter = utility::gpu_memory{m_gpu_api, gpu, counter_size, gpu_page_alignment, 1, "Unable to get GPU memory"};
	std::memset(m_counter.cpu_address(), 0, counter_size);
	m_exported_mmap = m_context->export_flag_mmap();

	std::memset(&m_params, 0, sizeof(m_params));
	m_params.blocks = m_context->get_num_blocks();
	m_params.threads_per_block = m_context->get_threads_per_block();
	m_params.stop_flag = m_stop_flag.gpu_address();
	m_params.counters = m_counter.gpu_address();
	m_params.rdma_gpu = m_context->get_rdma_gpu();
	m_params.buf_arr = m_context->get_buf_arr_gpu();
	m_params.local_flag_buf_arr = m_context->get_local_flag_buf_arr_gpu();
	m_params.remote_flag_buf_arr = nullptr;
	m_params.buffer_size = m_context->get_buffer_size();
	m_poll_thread = std::thread{[this] { poll_connection(); }};
}

rdma_gpu_worker::~rdma_gpu_worker()
{
	m_terminated.store(true);
	join_poll_thread();
	end_kernel();
	m_counter.reset();
	m_stop_flag.reset();
	m_context.reset();
	m_pe.reset();
}

void rdma_gpu_worker::populate_create_worker_response_fields(attribute_map &fields)
{
	fields[key_connection_string] = m_connection_string;
	fields[key_exported_mmap] = m_exported_mmap;
}

void rdma_gpu_worker::poll_connection() noexcept
{
	kova_ctx *ctx = m_rdma_api->kova_rdma_as_ctx(m_context->get_rdma_context()->get_kova_rdma_obj());
	while (!m_terminated.load()) {
		static_cast<void>(kova_pe_progress(m_pe.get()));
		kova_ctx_states state = KOVA_CTX_STATE_IDLE;
		if (kova_ctx_get_state(ctx, &state) != KOVA_SUCCESS || state == KOVA_CTX_STATE_RUNNING ||
		    state == KOVA_CTX_STATE_IDLE)
			return;
		timespec const pause{0, 1'000'000};
		::nanosleep(&pause, nullptr);
	}
}

void rdma_gpu_worker::join_poll_thread() noexcept
{
	if (m_poll_thread.joinable())
		m_poll_thread.join();
}

void rdma_gpu_worker::thread_proc()
{
	join_poll_thread();
	// The kernel can send only once the connection runs, which takes this engine's progress.
	kova_ctx *ctx = m_rdma_api->kova_rdma_as_ctx(m_context->get_rdma_context()->get_kova_rdma_obj());
	auto const deadline = std::chrono::steady_clock::now() + connection_limit;
	for (;;) {
		if (m_terminated.load())
			return;
		kova_ctx_states state = KOVA_CTX_STATE_IDLE;
		if (kova_error const err = kova_ctx_get_state(ctx, &state))
			KOVA_THROW(err, "Unable to read the RDMA context state");
		if (state == KOVA_CTX_STATE_RUNNING)
			break;
		if (std::chrono::steady_clock::now() > deadline)
			KOVA_THROW(KOVA_ERROR_TIME_OUT, "RDMA connection of the GPU worker did not run within 30 s");
		static_cast<void>(kova_pe_progress(m_pe.get()));
	}
	utility::clear_stop_byte(static_cast<uint8_t *>(m_stop_flag.cpu_address()));
	if (kova_error const err = m_gpu_api->kova_bench_rhun_start_rdma_send_kernel(&m_params))
		KOVA_THROW(err, "Unable to start kernels");
	m_launched.store(true);
	// A terminate that came while launching found no kernel to stop.
	if (m_terminated.load())
		end_kernel();
}

void rdma_gpu_worker::terminate()
{
	m_terminated.store(true);
	if (m_launched.load())
		end_kernel();
}

void rdma_gpu_worker::end_kernel() noexcept
{
	if (!m_launched.load())
		return;
	if (utility::stop_kernel(static_cast<uint8_t *>(m_stop_flag.cpu_address())))
		m_launched.store(false);
	else
		std::printf("Worker %u: the GPU send kernel did not end; its memory is kept\n", m_id);
}

uint32_t rdma_gpu_worker::get_id() const
{
	return m_id;
}

const char *rdma_gpu_worker::get_type() const
{
	return worker_type;
}

std::unique_ptr<worker> create_rdma_gpu_worker(uint32_t id, const attribute_map &map, kova_dev *device, kova_gpu *gpu)
{
	return std::make_unique<rdma_gpu_worker>(id, map, device, gpu);
}

} // namespace kova::bench::companion::worker
