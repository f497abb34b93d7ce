#include "step/kova_tessel_step.hpp"

#include "companion/worker/rdma_gpu_worker.hpp"
#include "kova_exception.hpp"
#include "stats/permutation_stats.hpp"
#include "step/kova_rdma_step.hpp"
#include "step/local_step_utils.hpp"
#include "step/remote_worker_activities.hpp"
#include "step/step_utils.hpp"
#include "utility/async/sequence.hpp"
#include "utility/configuration_utils.hpp"
#include "utility/kova_utils.hpp"
#include "utility/string_utils.hpp"

#include <kova/error.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace kova::bench::step {
namespace {

constexpr uint32_t setup_time_limit_s = 30;
constexpr uint64_t gpu_page_alignment = 4096;
constexpr uint32_t host_visible_memory = 1;
constexpr const char *connect_activity_name = "rdma_connect_activity";
constexpr const char *create_gpu_worker_activity_name = "create_remote_worker_gpu_activity";

struct rdma_gpu_worker_family {
	using command = companion::worker::create_rdma_gpu_worker_command;
	static companion::worker::attribute_map to_map(const command &value)
	{
		return companion::worker::create_rdma_gpu_worker_command_to_map(value);
	}
	static constexpr const char *send_failure = "Failed to send create kova_rdma worker request";
};

kova_gpu *gpu_or_throw(const runtime_state &state)
{
	kova_gpu *gpu = state.get_gpu_device();
	if (gpu == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "No GPU is open: the GPU steps need --gpu");
	return gpu;
}

// A positive count; what follows the number is ignored.
uint32_t parse_geometry(const std::string &text, const char *message)
{
	auto const parsed = utility::strto<unsigned int>(text);
	if (!parsed || parsed->value == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, message);
	return parsed->value;
}

utility::rdma_context::configuration make_rdma_configuration(const object::attributes &attributes)
{
	utility::rdma_context::configuration cfg;
	cfg.buffer_size = attributes.job_input_size;
	cfg.task_count = attributes.job_count;
	cfg.gid_index = get_gid_idx(attributes);
	cfg.mtu = attributes.mtu_size;
	cfg.send_queue_size = attributes.sq_depth;
	return cfg;
}

} // namespace

kova_tessel_base_step::kova_tessel_base_step(const attributes &attributes, const runtime_state &state, kova_pe *pe)
	: m_api{api_or_throw<dl::kova_tessel_api>("kova_tessel")},
	  m_device{first_device(state, "kova_tessel")},
	  m_gpu{gpu_or_throw(state)},
	  m_pe{pe},
	  m_state{&state}
{
	using utility::attribute::kova_tessel_num_blocks;
	using utility::attribute::kova_tessel_threads_per_block;
	if (const std::string *text = find_attribute(attributes, utility::fully_qualified_name(kova_tessel_num_blocks)))
		set_num_blocks(*text);
	if (const std::string *text =
		    find_attribute(attributes, utility::fully_qualified_name(kova_tessel_threads_per_block)))
		set_threads_per_block(*text);
	m_gpu_threads = utility::gpu_thread_count(m_num_blocks, m_threads_per_block);

	m_stop_flag = utility::gpu_memory{m_api, m_gpu, 1, gpu_page_alignment, host_visible_memory,
					  "Unable to get GPU memory"};
	utility::clear_stop_byte(static_cast<uint8_t *>(m_stop_flag.cpu_address()));
	uint64_t const counter_size = uint64_t{m_gpu_threads} * sizeof(utility::gpu_counter_record);
	m_counters = utility::gpu_memory{m_api, m_gpu, counter_size, gpu_page_alignment, host_visible_memory,
					 "Unable to get GPU memory"};
	// Fresh GPU memory holds a poison pattern; the kernels count from what they find.
	std::memset(m_counters.cpu_address(), 0, counter_size);
}

kova_tessel_base_step::~kova_tessel_base_step()
{
	stop_quietly();
}

void kova_tessel_base_step::set_num_blocks(const std::string &text)
{
	m_num_blocks = parse_geometry(text, "Unable to parse number of blocks, invalid format.");
}

void kova_tessel_base_step::set_threads_per_block(const std::string &text)
{
	m_threads_per_block = parse_geometry(text, "Unable to parse number of threads per block, invalid format.");
}

io_buffer_ranges kova_tessel_base_step::get_io_buffer_ranges() const
{
	return io_buffer_ranges{{0, 0}, {0, 0}};
}

void kova_tessel_base_step::set_mmaps(kova_mmap * /*input_mmap*/, kova_mmap * /*output_mmap*/) {}

task_set kova_tessel_base_step::create_task_set(const kova_buf * /*input*/, kova_buf * /*output*/,
						kova_buf * /*spare*/, kova_data /*task_user_data*/)
{
	return task_set{nullptr, nullptr, nullptr, nullptr};
}

void kova_tessel_base_step::destroy_all_tasks() {}

void kova_tessel_base_step::launch(kova_error (*launcher)(const void *params), const void *params)
{
	if (m_kernel_running)
		KOVA_THROW(KOVA_ERROR_BAD_STATE, "A kernel of the step is running: stop it first");
	utility::clear_stop_byte(static_cast<uint8_t *>(m_stop_flag.cpu_address()));
	if (kova_error const err = launcher(params))
		KOVA_THROW(err, "Unable to start kernels");
	m_kernel_running = true;
}

void kova_tessel_base_step::stop()
{
	auto *stop_byte = static_cast<uint8_t *>(m_stop_flag.cpu_address());
	if (!m_kernel_running) {
		std::atomic_ref<uint8_t> flag{*stop_byte};
		if (flag.load(std::memory_order_relaxed) == 0)
			flag.store(1, std::memory_order_release);
		return;
	}
	if (!utility::stop_kernel(stop_byte))
		KOVA_THROW(KOVA_ERROR_TIME_OUT, "The GPU kernel did not end within " +
							std::to_string(utility::kernel_stop_limit.count()) +
							" ms of its stop");
	m_kernel_running = false;
}

void kova_tessel_base_step::stop_quietly() noexcept
{
	try {
		stop();
	} catch (const std::exception &error) {
		std::printf("Failed to stop the GPU kernel: %s\n", error.what());
	}
}

utility::gpu_counter_record kova_tessel_base_step::sum_counters() const noexcept
{
	auto *records = static_cast<utility::gpu_counter_record *>(m_counters.cpu_address());
	utility::gpu_counter_record sum{0, 0};
	for (uint32_t i = 0; i < m_gpu_threads; ++i) {
		sum.jobs += std::atomic_ref<uint64_t>{records[i].jobs}.load(std::memory_order_relaxed);
		sum.bytes += std::atomic_ref<uint64_t>{records[i].bytes}.load(std::memory_order_relaxed);
	}
	return sum;
}

void kova_tessel_base_step::gather_stats(thread_stats &stats)
{
	utility::gpu_counter_record const now = sum_counters();
	uint64_t const jobs = now.jobs - m_baseline.jobs;
	stats.step.enqueued_jobs = jobs;
	stats.step.dequeued_jobs = jobs;
	stats.step.ingress_bytes = now.bytes - m_baseline.bytes;
}

void kova_tessel_base_step::reset_stats()
{
	m_baseline = sum_counters();
}

kova_tessel_nop_step::kova_tessel_nop_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
					   completion_callback /*success_cb*/, completion_callback /*error_cb*/,
					   kova_data /*ctx_user_data*/)
	: kova_tessel_base_step{attributes, state, pe}
{
	std::memset(&m_params, 0, sizeof(m_params));
	m_params.blocks = m_num_blocks;
	m_params.threads_per_block = m_threads_per_block;
	m_params.stop_flag = m_stop_flag.gpu_address();
	m_params.counters = m_counters.gpu_address();
}

const char *kova_tessel_nop_step::get_name() const
{
	return "kova_tessel::nop";
}

std::unique_ptr<utility::async::sequence> kova_tessel_nop_step::start_async_setup()
{
	return {};
}

std::unique_ptr<utility::async::sequence> kova_tessel_nop_step::start_async_teardown()
{
	return {};
}

uint32_t kova_tessel_nop_step::get_companion_worker_id() const
{
	return 0;
}

void kova_tessel_nop_step::start()
{
	launch(m_api->kova_bench_rhun_start_nop_kernel, &m_params);
}

uint32_t tessel_rdma_worker_buffer_count(uint32_t task_count) noexcept
{
	return task_count <= 3 ? 1 : task_count / 2;
}

kova_tessel_rdma_step_base::kova_tessel_rdma_step_base(const attributes &attributes, const runtime_state &state,
						       kova_pe *pe, kova_data ctx_user_data,
						       const char *first_setup_activity)
	: kova_tessel_base_step{attributes, state, pe},
	  m_rdma_api{api_or_throw<dl::kova_rdma_api>("kova_rdma")},
	  m_first_setup_activity{first_setup_activity}
{
	auto const cfg = make_rdma_configuration(attributes);
	m_context = std::make_unique<utility::rdma_gpu_ctx>(m_rdma_api, m_api, cfg, m_num_blocks, m_threads_per_block,
							    cfg.buffer_size, pe, m_device, m_gpu, ctx_user_data);
	std::memset(&m_params, 0, sizeof(m_params));
	m_params.blocks = m_num_blocks;
	m_params.threads_per_block = m_threads_per_block;
	m_params.stop_flag = m_stop_flag.gpu_address();
	m_params.counters = m_counters.gpu_address();
	m_params.rdma_gpu = m_context->get_rdma_gpu();
	m_params.buf_arr = m_context->get_buf_arr_gpu();
	m_params.local_flag_buf_arr = nullptr;
	m_params.remote_flag_buf_arr = nullptr;
	m_params.buffer_size = m_context->get_buffer_size();
}

kova_tessel_rdma_step_base::~kova_tessel_rdma_step_base()
{
	stop_quietly();
	m_context.reset();
}

std::unique_ptr<utility::async::sequence> kova_tessel_rdma_step_base::start_async_setup()
{
	auto sequence = std::make_unique<utility::async::sequence>(setup_time_limit_s);
	create_async_start_activities(*sequence);
	sequence->start(m_first_setup_activity);
	return sequence;
}

std::unique_ptr<utility::async::sequence> kova_tessel_rdma_step_base::start_async_teardown()
{
	auto sequence = std::make_unique<utility::async::sequence>(setup_time_limit_s);
	create_async_teardown_activities(*sequence);
	sequence->start(terminate_remote_worker_activity_name);
	return sequence;
}

uint32_t kova_tessel_rdma_step_base::get_companion_worker_id() const
{
	return m_companion_worker_id;
}

void kova_tessel_rdma_step_base::gather_stats(thread_stats &stats)
{
	// A kernel that finds its stream broken counts no more and the RDMA context leaves the running
	// state: the step fails instead of reporting a run that stopped moving data.
	kova_ctx *ctx = m_rdma_api->kova_rdma_as_ctx(m_context->get_rdma_context()->get_kova_rdma_obj());
	if (kernel_running() && !utility::is_context_running(ctx))
		KOVA_THROW(KOVA_ERROR_CONNECTION_RESET,
			   std::string{get_name()} + ": the RDMA connection to the companion was lost; its GPU kernel "
						     "receives no more");
	kova_tessel_base_step::gather_stats(stats);
}

void kova_tessel_rdma_step_base::create_async_teardown_activities(utility::async::sequence &sequence)
{
	sequence.register_activity(terminate_remote_worker_activity_name,
				   std::make_unique<terminate_remote_worker_activity>(sequence, *m_state,
										      m_companion_worker_id, ""));
}

kova_tessel_rdma_gpu_step::kova_tessel_rdma_gpu_step(const attributes &attributes, const runtime_state &state,
						     kova_pe *pe, completion_callback /*success_cb*/,
						     completion_callback /*error_cb*/, kova_data ctx_user_data)
	: kova_tessel_rdma_step_base{attributes, state, pe, ctx_user_data, create_gpu_worker_activity_name}
{
}

const char *kova_tessel_rdma_gpu_step::get_name() const
{
	return "kova_tessel::rdma_gpu";
}

void kova_tessel_rdma_gpu_step::start()
{
	if (m_context->get_remote_flag_buf_arr_gpu() == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "setup not complete");
	m_params.local_flag_buf_arr = m_context->get_local_flag_buf_arr_gpu();
	m_params.remote_flag_buf_arr = m_context->get_remote_flag_buf_arr_gpu();
	launch(m_api->kova_bench_rhun_start_rdma_recv_kernel, &m_params);
}

void kova_tessel_rdma_gpu_step::create_async_start_activities(utility::async::sequence &sequence)
{
	utility::rdma_context &rdma = *m_context->get_rdma_context();
	auto const blob = rdma.get_local_connection_blob();
	rdma_gpu_worker_family::command command;
	command.buffer_size = rdma.get_cfg().buffer_size;
	command.num_blocks = m_num_blocks;
	command.threads_per_block = m_threads_per_block;
	command.connection_string.assign(blob.begin(), blob.end());
	command.gid_idx = rdma.get_cfg().gid_index;
	utility::rdma_gpu_ctx *context = m_context.get();
	auto read_reply = [context](const companion::worker::attribute_map &fields) {
		auto const response = companion::worker::create_rdma_gpu_worker_response_from_map(fields);
		context->get_rdma_context()->set_remote_connection_blob(
			std::vector<char>(response.connection_string.begin(), response.connection_string.end()));
		context->create_flag_mmap_from_export(response.exported_mmap);
	};
	sequence.register_activity(create_gpu_worker_activity_name,
				   std::make_unique<create_remote_worker_activity<rdma_gpu_worker_family>>(
					   sequence, *m_state, m_companion_worker_id, "rdma_gpu_send", std::move(command),
					   connect_activity_name, read_reply, create_gpu_worker_activity_name));
	sequence.register_activity(connect_activity_name,
				   std::make_unique<rdma_connect_activity>(sequence, rdma, *m_state, m_pe, ""));
}

kova_tessel_rdma_step::kova_tessel_rdma_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
					     completion_callback /*success_cb*/, completion_callback /*error_cb*/,
					     kova_data ctx_user_data)
	: kova_tessel_rdma_step_base{attributes, state, pe, ctx_user_data, create_remote_worker_activity_name}
{
}

const char *kova_tessel_rdma_step::get_name() const
{
	return "kova_tessel::rdma";
}

void kova_tessel_rdma_step::start()
{
	launch(m_api->kova_bench_rhun_start_rdma_recv_kernel, &m_params);
}

void kova_tessel_rdma_step::create_async_start_activities(utility::async::sequence &sequence)
{
	utility::rdma_context &rdma = *m_context->get_rdma_context();
	// The CPU worker's reply carries its blob; an export in it is not used.
	auto read_blob = [](const companion::worker::attribute_map &fields) {
		return companion::worker::create_rdma_gpu_worker_response_from_map(fields).connection_string;
	};
	register_rdma_worker_setup(sequence, *m_state, rdma, m_pe, m_companion_worker_id, "rdma_send",
				   tessel_rdma_worker_buffer_count(rdma.get_cfg().task_count), read_blob, "");
}

} // namespace kova::bench::step
