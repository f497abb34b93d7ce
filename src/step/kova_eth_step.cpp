// The Ethernet steps and the Ethernet capability record.
#include "step/kova_eth_step.hpp"

#include "companion/worker/eth_worker.hpp"
#include "dl/kova_eth_api.hpp"
#include "kova_exception.hpp"
#include "runtime_state.hpp"
#include "step/remote_worker_activities.hpp"
#include "step/step_utils.hpp"
#include "utility/async/sequence.hpp"
#include "utility/string_utils.hpp"

#include <kova/buf.h>
#include <kova/error.h>

#include <string>

namespace kova::bench::step {

namespace {

constexpr uint32_t max_frame = utility::eth_max_frame_size;
constexpr uint32_t min_frame = 14;
constexpr uint32_t sequence_time_limit_s = 30;
constexpr const char *l3_attribute = "kova_eth.l3-chksum-offload";
constexpr const char *l4_attribute = "kova_eth.l4-chksum-offload";

struct eth_worker_family {
	using command = companion::worker::create_eth_worker_command;
	static companion::worker::attribute_map to_map(const command &c) { return companion::worker::create_eth_worker_command_to_map(c); }
	static constexpr const char *send_failure = "Failed to send create kova_eth worker request";
};

// Exactly one of the six words, nothing before or after it.
bool as_bool(const std::string &text)
{
	auto const converted = utility::strto<bool>(text);
	if (!converted || converted->rest.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to convert value\"" + text + "\" to a boolean");
	return converted->value;
}

uint32_t burst_of(const kova::optional<uint32_t> &depth, uint32_t job_count)
{
	return depth ? *depth : job_count;
}

std::unique_ptr<utility::async::sequence> one_activity_sequence(const char *name,
								 std::unique_ptr<utility::async::activity> made,
								 std::unique_ptr<utility::async::sequence> seq)
{
	seq->register_activity(name, std::move(made));
	seq->start(name);
	return seq;
}

std::unique_ptr<utility::async::sequence> create_worker_sequence(const runtime_state &state, uint32_t &worker_id,
								 const char *worker_type,
								 companion::worker::create_eth_worker_command command)
{
	auto seq = std::make_unique<utility::async::sequence>(sequence_time_limit_s);
	auto activity = std::make_unique<create_remote_worker_activity<eth_worker_family>>(*seq, state, worker_id,
											     worker_type, command, "");
	return one_activity_sequence(create_remote_worker_activity_name, std::move(activity), std::move(seq));
}

std::unique_ptr<utility::async::sequence> terminate_worker_sequence(const runtime_state &state, uint32_t &worker_id)
{
	auto seq = std::make_unique<utility::async::sequence>(sequence_time_limit_s);
	auto activity = std::make_unique<terminate_remote_worker_activity>(*seq, state, worker_id, "");
	return one_activity_sequence(terminate_remote_worker_activity_name, std::move(activity), std::move(seq));
}

utility::eth_rxq::configuration rxq_config_from_attrs(const object::attributes &attributes)
{
	return {0, utility::eth_rx_max_packet_size(attributes.job_output_buffer_size), attributes.job_count,
		burst_of(attributes.rq_depth, attributes.job_count)};
}

std::size_t length_of(const kova_buf *buf, bool data)
{
	std::size_t len = 0;
	kova_error const err = data ? kova_buf_get_data_len(buf, &len) : kova_buf_get_len(buf, &len);
	if (err != KOVA_SUCCESS)
		KOVA_THROW(err, "Unable to get buffer length");
	return len;
}

task_capabilities get_kova_eth_recv_metadata(const dl::kova_eth_api *api, const kova_devinfo *devinfo)
{
	task_capabilities record;
	kova_error const code = throw_if_query_fails(
		api->kova_eth_rxq_cap_is_type_supported(devinfo, KOVA_ETH_RXQ_TYPE_REGULAR, KOVA_ETH_DATA_PATH_CPU),
		"kova_eth recv supported");
	record.supported = code == KOVA_SUCCESS;
	if (!record.supported)
		return record;
	uint32_t list_len = 0;
	uint32_t burst = 0;
	uint32_t packet = 0;
	if (kova_error const err = api->kova_eth_rxq_cap_get_max_recv_buf_list_len(devinfo, &list_len))
		KOVA_THROW(err, "Failed to get kova_eth rxq max buffer list length.");
	if (kova_error const err = api->kova_eth_rxq_cap_get_max_burst_size(devinfo, &burst))
		KOVA_THROW(err, "Failed to get kova_eth rxq max burst size.");
	if (kova_error const err = api->kova_eth_rxq_cap_get_max_packet_size(devinfo, &packet))
		KOVA_THROW(err, "Failed to get kova_eth rxq max packet size.");
	record.max_buffer_length = packet;
	record.properties["Max supported burst size"] = std::to_string(burst);
	record.properties["Max buffer list length"] = std::to_string(list_len);
	return record;
}

// "yes" when the device answers KOVA_SUCCESS, "no" when it answers KOVA_ERROR_NOT_SUPPORTED; anything else fails.
std::string offload_answer(kova_error code, const char *failure)
{
	if (code != KOVA_SUCCESS && code != KOVA_ERROR_NOT_SUPPORTED)
		KOVA_THROW(code, failure);
	return code == KOVA_SUCCESS ? "yes" : "no";
}

const char *wait_on_time_name(uint32_t kind)
{
	switch (kind) {
	case KOVA_ETH_WAIT_ON_TIME_NATIVE:
		return "native";
	case KOVA_ETH_WAIT_ON_TIME_DPDK:
		return "dpdk";
	case KOVA_ETH_WAIT_ON_TIME_NONE:
		return "not supported";
	default:
		return "unknown";
	}
}

task_capabilities get_kova_eth_send_metadata(const dl::kova_eth_api *api, const kova_devinfo *devinfo)
{
	task_capabilities record;
	kova_error const code = throw_if_query_fails(
		api->kova_eth_txq_cap_is_type_supported(devinfo, KOVA_ETH_TXQ_TYPE_REGULAR, KOVA_ETH_DATA_PATH_CPU),
		"kova_eth send supported");
	record.supported = code == KOVA_SUCCESS;
	if (!record.supported)
		return record;
	record.max_buffer_length = 2097152;
	uint32_t burst = 0;
	uint32_t list_len = 0;
	uint16_t lso_header = 0;
	uint32_t lso_message = 0;
	if (kova_error const err = api->kova_eth_txq_cap_get_max_burst_size(devinfo, 1, 0, &burst))
		KOVA_THROW(err, "Failed to get kova_eth txq max burst size.");
	if (kova_error const err = api->kova_eth_txq_cap_get_max_send_buf_list_len(devinfo, &list_len))
		KOVA_THROW(err, "Failed to get kova_eth txq max buffer list length.");
	if (kova_error const err = api->kova_eth_txq_cap_get_max_lso_header_size(devinfo, &lso_header))
		KOVA_THROW(err, "Failed to get kova_eth txq max lso header size.");
	if (kova_error const err = api->kova_eth_txq_cap_get_max_lso_msg_size(devinfo, &lso_message))
		KOVA_THROW(err, "Failed to get kova_eth txq max lso message size.");
	std::string const l3 = offload_answer(api->kova_eth_txq_cap_is_l3_chksum_offload_supported(devinfo),
					      "Failed to get kova_eth txq l3 checksum offload support.");
	std::string const l4 = offload_answer(api->kova_eth_txq_cap_is_l4_chksum_offload_supported(devinfo),
					      "Failed to get kova_eth txq l4 checksum offload support.");
	uint32_t kind = 0;
	static_cast<void>(api->kova_eth_txq_cap_get_wait_on_time_offload_supported(devinfo, &kind));
	record.properties["L3 checksum offload enabled"] = l3;
	record.properties["L4 checksum offload enabled"] = l4;
	record.properties["Wait on time offload"] = wait_on_time_name(kind);
	record.properties["Max buffer list length"] = std::to_string(list_len);
	record.properties["Max supported burst size"] = std::to_string(burst);
	record.properties["Max LSO header size"] = std::to_string(lso_header);
	record.properties["Max LSO message size"] = std::to_string(lso_message);
	return record;
}

} // namespace

utility::eth_txq::configuration txq_config_from_attrs(const object::attributes &attributes)
{
	utility::eth_txq::configuration cfg{};
	auto const &map = attributes.attribute_map;
	if (auto const found = map.find(l3_attribute); found != map.end())
		cfg.l3_chksum_offload = as_bool(found->second) ? 1 : 0;
	if (auto const found = map.find(l4_attribute); found != map.end())
		cfg.l4_chksum_offload = as_bool(found->second) ? 1 : 0;
	// The peer receives into buffers of the same size: a frame is at most 1518 bytes.
	cfg.max_packet_size = utility::eth_rx_max_packet_size(attributes.job_output_buffer_size);
	cfg.num_tasks = attributes.job_count;
	cfg.max_burst_size = burst_of(attributes.sq_depth, attributes.job_count);
	return cfg;
}

kova_eth_recv_step::kova_eth_recv_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
				       completion_callback success_cb, completion_callback error_cb,
				       kova_data ctx_user_data)
    : m_device{state.get_devices()[0]}, m_pe{pe},
      m_queue{rxq_config_from_attrs(attributes), ctx_user_data, m_device, pe, state.get_dpdk_ctx()}, m_state{&state}
{
	utility::eth_txq::configuration const offloads = txq_config_from_attrs(attributes);
	m_peer_flags = (offloads.l3_chksum_offload == 1 ? 1U : 0U) | (offloads.l4_chksum_offload == 1 ? 2U : 0U);
	m_queue.configure_task_pool({success_cb, error_cb});
	m_queue.start();
}

io_buffer_ranges kova_eth_recv_step::get_io_buffer_ranges() const
{
	return {{1, max_frame}, {1, max_frame}};
}

std::unique_ptr<utility::async::sequence> kova_eth_recv_step::start_async_setup()
{
	auto const &cfg = m_queue.get_cfg();
	return create_worker_sequence(*m_state, m_worker_id, "eth_send",
				      {cfg.num_tasks, cfg.max_packet_size, cfg.max_burst_size, m_peer_flags});
}

std::unique_ptr<utility::async::sequence> kova_eth_recv_step::start_async_teardown()
{
	return terminate_worker_sequence(*m_state, m_worker_id);
}

task_set kova_eth_recv_step::create_task_set(const kova_buf * /*input*/, kova_buf *output, kova_buf *spare,
					     kova_data task_user_data)
{
	if (length_of(output, false) > max_frame)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Rx buffer size must not exceed 1518 bytes");
	kova_eth_rxq_task_recv *task = m_queue.create_task(output, task_user_data);
	return {dl::kova_eth_api::singleton()->kova_eth_rxq_task_recv_as_kova_task(task), output, spare, output};
}

kova_eth_send_step::kova_eth_send_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
				       completion_callback success_cb, completion_callback error_cb,
				       kova_data ctx_user_data)
    : m_device{state.get_devices()[0]}, m_pe{pe},
      m_queue{txq_config_from_attrs(attributes), ctx_user_data, m_device, pe}, m_state{&state}
{
	m_queue.configure_task_pool({success_cb, error_cb});
	m_queue.start();
}

io_buffer_ranges kova_eth_send_step::get_io_buffer_ranges() const
{
	return {{1, max_frame}, {1, max_frame}};
}

std::unique_ptr<utility::async::sequence> kova_eth_send_step::start_async_setup()
{
	auto const &cfg = m_queue.get_cfg();
	return create_worker_sequence(*m_state, m_worker_id, "eth_recv",
				      {cfg.num_tasks, cfg.max_packet_size, cfg.max_burst_size, 0});
}

std::unique_ptr<utility::async::sequence> kova_eth_send_step::start_async_teardown()
{
	return terminate_worker_sequence(*m_state, m_worker_id);
}

task_set kova_eth_send_step::create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
					     kova_data task_user_data)
{
	std::size_t const len = length_of(input, true);
	if (len > max_frame)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Tx buffer size must not exceed 1518 bytes");
	if (len < min_frame)
		KOVA_THROW(29, "Job size is too small for ethernet header, job must be at least " +
				       std::to_string(min_frame) + " bytes");
	kova_eth_txq_task_send *task = m_queue.create_task(input, task_user_data);
	return {dl::kova_eth_api::singleton()->kova_eth_txq_task_send_as_kova_task(task), const_cast<kova_buf *>(input),
		output, spare};
}

capabilities get_kova_eth_metadata(const kova_devinfo *devinfo)
{
	const dl::kova_eth_api *api = dl::kova_eth_api::singleton();
	capabilities record = library_capabilities("kova_eth", api);
	if (api == nullptr)
		return record;
	record.tasks["recv"] = get_kova_eth_recv_metadata(api, devinfo);
	record.tasks["send"] = get_kova_eth_send_metadata(api, devinfo);
	return record;
}

} // namespace kova::bench::step
