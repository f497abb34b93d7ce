// The GPU Ethernet steps.
#include "step/kova_tessel_eth_step.hpp"

#include "companion/worker/eth_worker.hpp"
#include "kova_exception.hpp"
#include "step/local_step_utils.hpp"
#include "step/remote_worker_activities.hpp"
#include "step/step_utils.hpp"
#include "utility/async/sequence.hpp"
#include "utility/configuration_utils.hpp"
#include "utility/string_utils.hpp"

#include <kova/error.h>
#include <kova/pe.h>

#include <string>

namespace kova::bench::step {
namespace {

constexpr uint32_t sequence_time_limit_s = 30;
constexpr uint32_t max_rx_packets_limit = 2048;

struct eth_worker_family {
	using command = companion::worker::create_eth_worker_command;
	static companion::worker::attribute_map to_map(const command &c)
	{
		return companion::worker::create_eth_worker_command_to_map(c);
	}
	static constexpr const char *send_failure = "Failed to send create kova_eth worker request";
};

template <typename T>
T parse_number(const std::string &text, const std::string &key)
{
	auto const parsed = utility::strto<T>(text);
	if (!parsed)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to parse " + key + ": \"" + text + "\" is not a number");
	return parsed->value;
}

// The GPU queues' frames carry at least an Ethernet header; checked before the companion is asked.
uint32_t job_size_of(const object::attributes &attributes)
{
	utility::check_gpu_eth_job_size(attributes.job_input_size);
	return attributes.job_input_size;
}

} // namespace

eth_rx_limits read_eth_rx_limits(const object::attributes &attributes)
{
	std::string const packets_key =
		utility::fully_qualified_name(utility::attribute::kova_tessel_eth_rx_max_rx_packets);
	std::string const timeout_key = utility::fully_qualified_name(utility::attribute::kova_tessel_eth_rx_timeout_ns);
	eth_rx_limits limits;
	if (const std::string *text = find_attribute(attributes, packets_key)) {
		limits.max_rx_packets = parse_number<unsigned int>(*text, packets_key);
		if (limits.max_rx_packets > max_rx_packets_limit)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Number of rx packets can't be bigger than " +
								     std::to_string(max_rx_packets_limit));
	}
	if (const std::string *text = find_attribute(attributes, timeout_key))
		limits.timeout_ns = parse_number<unsigned long>(*text, timeout_key);
	if (limits.max_rx_packets == 0 && limits.timeout_ns == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
			   "Attributes " + packets_key + " and " + timeout_key + " cannot both be 0.");
	return limits;
}

kova_tessel_eth_step_base::kova_tessel_eth_step_base(const attributes &attributes, const runtime_state &state,
						     kova_pe *pe)
	: kova_tessel_base_step{attributes, state, pe}, m_eth_api{api_or_throw<dl::kova_eth_api>("kova_eth")}
{
}

std::unique_ptr<utility::async::sequence> kova_tessel_eth_step_base::create_worker(const char *worker_type,
										   uint32_t buffer_count,
										   uint32_t buffer_size,
										   uint32_t burst_size)
{
	auto sequence = std::make_unique<utility::async::sequence>(sequence_time_limit_s);
	companion::worker::create_eth_worker_command command{buffer_count, buffer_size, burst_size, 0};
	sequence->register_activity(create_remote_worker_activity_name,
				    std::make_unique<create_remote_worker_activity<eth_worker_family>>(
					    *sequence, *m_state, m_worker_id, worker_type, command, ""));
	sequence->start(create_remote_worker_activity_name);
	return sequence;
}

std::unique_ptr<utility::async::sequence> kova_tessel_eth_step_base::start_async_teardown()
{
	auto sequence = std::make_unique<utility::async::sequence>(sequence_time_limit_s);
	sequence->register_activity(terminate_remote_worker_activity_name,
				    std::make_unique<terminate_remote_worker_activity>(*sequence, *m_state, m_worker_id, ""));
	sequence->start(terminate_remote_worker_activity_name);
	return sequence;
}

void kova_tessel_eth_step_base::stop()
{
	kova_tessel_base_step::stop();
	if (m_reported_txq == nullptr)
		return;
	// The send queues' error events are delivered by the progress engine.
	static_cast<void>(kova_pe_progress(m_pe));
	uint64_t const errors = m_reported_txq->send_errors();
	if (errors == m_send_errors_reported)
		return;
	uint64_t const fresh = errors - m_send_errors_reported;
	m_send_errors_reported = errors;
	KOVA_THROW(KOVA_ERROR_IO_FAILED, std::to_string(fresh) + " frames the GPU kernel sent failed");
}

kova_tessel_eth_rx_step::kova_tessel_eth_rx_step(const attributes &attributes, const runtime_state &state,
						 kova_pe *pe, completion_callback /*success_cb*/,
						 completion_callback /*error_cb*/, kova_data ctx_user_data)
	: kova_tessel_eth_step_base{attributes, state, pe}
{
	static_cast<void>(job_size_of(attributes));
	eth_rx_limits const limits = read_eth_rx_limits(attributes);
	m_rxq = std::make_unique<utility::gpu_eth_rxq>(m_eth_api, m_api, attributes, state.get_dpdk_ctx(), nullptr,
						       m_num_blocks, m_threads_per_block, pe, m_device, m_gpu,
						       ctx_user_data);
	m_params.blocks = m_num_blocks;
	m_params.threads_per_block = m_threads_per_block;
	m_params.stop_flag = m_stop_flag.gpu_address();
	m_params.counters = m_counters.gpu_address();
	m_params.rxqs = m_rxq->get_gpu_rxq();
	m_params.max_rx_packets = limits.max_rx_packets;
	m_params.timeout_ns = limits.timeout_ns;
}

kova_tessel_eth_rx_step::~kova_tessel_eth_rx_step()
{
	stop_quietly();
	m_rxq.reset();
}

const char *kova_tessel_eth_rx_step::get_name() const
{
	return "kova_tessel::eth_rx";
}

std::unique_ptr<utility::async::sequence> kova_tessel_eth_rx_step::start_async_setup()
{
	auto const &cfg = m_rxq->get_eth_cfg();
	return create_worker("eth_send", cfg.num_tasks, m_rxq->get_job_size(), cfg.max_burst_size);
}

void kova_tessel_eth_rx_step::start()
{
	launch(m_api->kova_bench_rhun_start_eth_recv_kernel, &m_params);
}

kova_tessel_eth_tx_step::kova_tessel_eth_tx_step(const attributes &attributes, const runtime_state &state,
						 kova_pe *pe, completion_callback /*success_cb*/,
						 completion_callback /*error_cb*/, kova_data ctx_user_data)
	: kova_tessel_eth_step_base{attributes, state, pe}
{
	m_txq = std::make_unique<utility::gpu_eth_txq>(m_eth_api, m_api, attributes, state.get_dpdk_ctx(), nullptr,
						       m_num_blocks, m_threads_per_block, pe, m_device, m_gpu,
						       ctx_user_data);
	m_reported_txq = m_txq.get();
	m_params.blocks = m_num_blocks;
	m_params.threads_per_block = m_threads_per_block;
	m_params.stop_flag = m_stop_flag.gpu_address();
	m_params.counters = m_counters.gpu_address();
	m_params.txqs = m_txq->get_gpu_txq();
	m_params.buf_arr = m_txq->get_buf_arr();
	m_params.job_size = m_txq->get_job_size();
}

kova_tessel_eth_tx_step::~kova_tessel_eth_tx_step()
{
	stop_quietly();
	m_reported_txq = nullptr;
	m_txq.reset();
}

const char *kova_tessel_eth_tx_step::get_name() const
{
	return "kova_tessel::eth_tx";
}

std::unique_ptr<utility::async::sequence> kova_tessel_eth_tx_step::start_async_setup()
{
	auto const &cfg = m_txq->get_eth_cfg();
	return create_worker("eth_recv", cfg.num_tasks, cfg.max_packet_size, cfg.max_burst_size);
}

void kova_tessel_eth_tx_step::start()
{
	launch(m_api->kova_bench_rhun_start_eth_send_kernel, &m_params);
}

kova_tessel_eth_bidir_step::kova_tessel_eth_bidir_step(const attributes &attributes, const runtime_state &state,
						       kova_pe *pe, completion_callback /*success_cb*/,
						       completion_callback /*error_cb*/, kova_data ctx_user_data)
	: kova_tessel_eth_step_base{attributes, state, pe}
{
	static_cast<void>(job_size_of(attributes));
	eth_rx_limits const limits = read_eth_rx_limits(attributes);
	m_txq = std::make_unique<utility::gpu_eth_txq>(m_eth_api, m_api, attributes, state.get_dpdk_ctx(), nullptr,
						       m_num_blocks, m_threads_per_block, pe, m_device, m_gpu,
						       ctx_user_data);
	m_reported_txq = m_txq.get();
	m_rxq = std::make_unique<utility::gpu_eth_rxq>(m_eth_api, m_api, attributes, state.get_dpdk_ctx(),
						       m_txq->get_df_port(), m_num_blocks, m_threads_per_block, pe,
						       m_device, m_gpu, ctx_user_data);
	m_params.blocks = m_num_blocks;
	m_params.threads_per_block = m_threads_per_block;
	m_params.stop_flag = m_stop_flag.gpu_address();
	m_params.counters = m_counters.gpu_address();
	m_params.txqs = m_txq->get_gpu_txq();
	m_params.buf_arr = m_txq->get_buf_arr();
	m_params.rxqs = m_rxq->get_gpu_rxq();
	m_params.job_size = m_txq->get_job_size();
	m_params.max_rx_packets = limits.max_rx_packets;
	m_params.timeout_ns = limits.timeout_ns;
}

kova_tessel_eth_bidir_step::~kova_tessel_eth_bidir_step()
{
	stop_quietly();
	m_reported_txq = nullptr;
	// The receive queues use the send queues' flow port: they go first.
	m_rxq.reset();
	m_txq.reset();
}

const char *kova_tessel_eth_bidir_step::get_name() const
{
	return "kova_tessel::eth_bidir";
}

std::unique_ptr<utility::async::sequence> kova_tessel_eth_bidir_step::start_async_setup()
{
	auto const &cfg = m_txq->get_eth_cfg();
	return create_worker("eth_bidir", cfg.num_tasks, m_txq->get_job_size(), cfg.max_burst_size);
}

void kova_tessel_eth_bidir_step::start()
{
	launch(m_api->kova_bench_rhun_start_eth_bidir_kernel, &m_params);
}

} // namespace kova::bench::step
