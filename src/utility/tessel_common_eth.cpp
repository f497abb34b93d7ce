// The GPU Ethernet queues and the process-wide set-up of the device's DPDK port they share.
#include "utility/tessel_common.hpp"

#include "kova_exception.hpp"
#include "utility/eth_flow_ports.hpp"
#include "utility/string_utils.hpp"

#include <kova/buf_arr.h>
#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/flow.h>
#include <kova/mmap.h>

#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace kova::bench::utility {
namespace {

constexpr uint64_t gpu_eth_alignment = 65536;
constexpr uint32_t rx_min_packet_size = 16384;
constexpr uint16_t port_mtu = 2048;
// IPv4, UDP and TCP checksum offload.
constexpr uint64_t tx_offloads = 0xe;
constexpr uint16_t queue_descriptors = 2048;
constexpr unsigned pool_mbufs = 8192;
constexpr uint16_t pool_data_room = 8192;

void throw_if_failed(kova_error err, const char *message)
{
	if (err != KOVA_SUCCESS)
		KOVA_THROW(err, message);
}

template <typename T>
T read_field(const std::byte *base, std::size_t offset) noexcept
{
	T value;
	std::memcpy(&value, base + offset, sizeof(T));
	return value;
}

template <typename T>
void write_field(std::byte *base, std::size_t offset, T value) noexcept
{
	std::memcpy(base + offset, &value, sizeof(T));
}

// Zero-filled room for a DPDK structure this layer does not see.
template <std::size_t Size>
struct dpdk_room {
	alignas(64) std::array<std::byte, Size> bytes{};
	template <typename T>
	T *as() noexcept
	{
		return reinterpret_cast<T *>(bytes.data());
	}
};

// DPDK's text for a negative result; one rte_strerror call per expression (one buffer per lcore).
std::string dpdk_text(const dl::kova_dpdk_bridge_api &api, int result)
{
	std::string text = api.rte_strerror(-result);
	return text;
}

[[noreturn]] void throw_dpdk(const dl::kova_dpdk_bridge_api &api, const char *prefix, int result)
{
	std::string const text = dpdk_text(api, result);
	KOVA_THROW(KOVA_ERROR_DRIVER, prefix + text);
}

// The device's port as the GPU Ethernet queues set it up: once per process, counted by its users.
struct port_setup {
	std::mutex mutex;
	uint32_t users = 0;
	uint16_t port_id = 0;
	uint8_t nb_queues = 0;
	rte_mempool *pool = nullptr;
};

port_setup &the_port()
{
	static port_setup setup;
	return setup;
}

// The names the port lacks among the IPv4, UDP and TCP checksum offloads.
std::string missing_offloads(uint64_t offered)
{
	static constexpr std::array<std::pair<uint64_t, const char *>, 3> names{
		{{0x2, "IPv4 checksum"}, {0x4, "UDP checksum"}, {0x8, "TCP checksum"}}};
	std::string text;
	for (auto const &[bit, name] : names) {
		if ((offered & bit) == 0)
			text += (text.empty() ? "" : ", ") + std::string{name};
	}
	return text;
}

void stop_port(const dl::kova_dpdk_bridge_api &api, port_setup &setup) noexcept
{
	if (int const result = api.rte_eth_dev_stop(setup.port_id); result != 0) {
		std::string const text = dpdk_text(api, result);
		std::printf("dpdk rte eth dev stop failed: %s\n", text.c_str());
	}
	// The pool goes only once the port that takes mbufs from it has stopped.
	if (setup.pool != nullptr)
		api.rte_mempool_free(setup.pool);
	setup.pool = nullptr;
}

// Brings the port up with nb_queues queue pairs; a failure leaves the port stopped and no pool.
void set_up_port(const dl::kova_dpdk_bridge_api &api, port_setup &setup, uint16_t port_id, uint8_t nb_queues)
{
	dpdk_room<dpdk_eth_dev_info_room> info;
	if (int const result = api.rte_eth_dev_info_get(port_id, info.as<rte_eth_dev_info>()); result != 0)
		throw_dpdk(api, "dpdk eth dev info get failed: ", result);
	const std::byte *fields = info.bytes.data();
	auto const max_rx = read_field<uint16_t>(fields, dpdk_layout::info_max_rx_queues);
	auto const max_tx = read_field<uint16_t>(fields, dpdk_layout::info_max_tx_queues);
	uint16_t const max_queues = max_rx < max_tx ? max_rx : max_tx;
	if (nb_queues > max_queues)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Number of GPU blocks (" + std::to_string(nb_queues) +
							     ") exceeds the queue maximum of dpdk port " +
							     std::to_string(port_id) + " (" + std::to_string(max_queues) +
							     ")");
	auto const offered = read_field<uint64_t>(fields, dpdk_layout::info_tx_offload_capa);
	if ((offered & tx_offloads) != tx_offloads)
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "dpdk port " + std::to_string(port_id) +
							     " does not offer the transmit offloads: " +
							     missing_offloads(offered));
	auto const max_mtu = read_field<uint16_t>(fields, dpdk_layout::info_max_mtu);
	if (max_mtu < port_mtu)
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "dpdk port " + std::to_string(port_id) + " does not offer an MTU of " +
							     std::to_string(port_mtu) + " (at most " +
							     std::to_string(max_mtu) + ")");

	if (int const result = api.rte_eth_dev_stop(port_id); result != 0)
		throw_dpdk(api, "dpdk rte eth dev stop failed: ", result);

	dpdk_room<dpdk_eth_conf_room> conf;
	write_field<uint32_t>(conf.bytes.data(), dpdk_layout::conf_rxmode_mtu, port_mtu);
	write_field<uint64_t>(conf.bytes.data(), dpdk_layout::conf_txmode_offloads, tx_offloads);
	if (int const result = api.rte_eth_dev_configure(port_id, nb_queues, nb_queues, conf.as<const rte_eth_conf>());
	    result != 0)
		throw_dpdk(api, "dpdk rte eth dev configure failed: ", result);

	// A name no other user of DPDK in this process or another picks.
	std::string const pool_name = "kova_gpu_eth_" + std::to_string(::getpid()) + "_" + std::to_string(port_id);
	setup.pool = api.rte_pktmbuf_pool_create(pool_name.c_str(), pool_mbufs, 0, 0, pool_data_room,
						 api.rte_eth_dev_socket_id(port_id));
	if (setup.pool == nullptr) {
		int const error = api.last_errno();
		std::string const text = dpdk_text(api, -error);
		KOVA_THROW(KOVA_ERROR_DRIVER, "dpdk rte pktmbuf pool create failed: " + text);
	}
	setup.port_id = port_id;
	try {
		dpdk_room<dpdk_layout::txconf_size> txconf;
		std::memcpy(txconf.bytes.data(), fields + dpdk_layout::info_default_txconf, dpdk_layout::txconf_size);
		uint64_t const offloads = read_field<uint64_t>(txconf.bytes.data(), dpdk_layout::txconf_offloads) | tx_offloads;
		write_field<uint64_t>(txconf.bytes.data(), dpdk_layout::txconf_offloads, offloads);
		for (uint16_t q = 0; q < nb_queues; ++q) {
			int result = api.rte_eth_rx_queue_setup(port_id, q, queue_descriptors,
								static_cast<unsigned>(api.rte_eth_dev_socket_id(port_id)),
								nullptr, setup.pool);
			if (result != 0)
				throw_dpdk(api, "dpdk rte eth rx queue setup failed: ", result);
			result = api.rte_eth_tx_queue_setup(port_id, q, queue_descriptors,
							    static_cast<unsigned>(api.rte_eth_dev_socket_id(port_id)),
							    txconf.as<const rte_eth_txconf>());
			if (result != 0)
				throw_dpdk(api, "dpdk rte eth tx queue setup failed: ", result);
		}
		if (int const result = api.rte_eth_dev_start(port_id); result != 0)
			throw_dpdk(api, "dpdk rte eth dev start failed: ", result);
	} catch (...) {
		stop_port(api, setup);
		throw;
	}
	setup.nb_queues = nb_queues;
}

void acquire_port(const dl::kova_dpdk_bridge_api &api, uint16_t port_id, uint8_t nb_queues)
{
	port_setup &setup = the_port();
	std::lock_guard const lock{setup.mutex};
	if (setup.users != 0) {
		if (setup.port_id != port_id || nb_queues > setup.nb_queues)
			KOVA_THROW(KOVA_ERROR_BAD_STATE, "dpdk port " + std::to_string(setup.port_id) + " is in use with " +
								 std::to_string(setup.nb_queues) +
								 " queues; GPU Ethernet queues in use at once must not "
								 "need more");
		++setup.users;
		return;
	}
	set_up_port(api, setup, port_id, nb_queues);
	setup.users = 1;
}

void release_port(const dl::kova_dpdk_bridge_api &api) noexcept
{
	port_setup &setup = the_port();
	std::lock_guard const lock{setup.mutex};
	if (setup.users == 0 || --setup.users != 0)
		return;
	stop_port(api, setup);
	setup.nb_queues = 0;
}

void destroy_mmap(kova_mmap *&mmap) noexcept
{
	if (mmap == nullptr)
		return;
	if (kova_error const err = kova_mmap_destroy(mmap))
		std::printf("Failed to destroy mmap: %s\n", kova_error_get_name(err));
	mmap = nullptr;
}

// The monitor record the pipes take, zero except its byte 32 (the SDK header leaves the type incomplete).
struct monitor_record {
	alignas(8) std::array<std::byte, 64> bytes{};
	monitor_record() noexcept
	{
		uint32_t const two = 2;
		std::memcpy(bytes.data() + 32, &two, sizeof(two));
	}
	[[nodiscard]] const kova_flow_monitor *get() const noexcept
	{
		return reinterpret_cast<const kova_flow_monitor *>(bytes.data());
	}
};

// A zeroed flow record with 32-bit values at byte positions.
template <typename Record>
void set_u32(Record &record, std::size_t offset, uint32_t value) noexcept
{
	std::memcpy(reinterpret_cast<std::byte *>(&record) + offset, &value, sizeof(value));
}

} // namespace

uint32_t gpu_eth_packet_count(uint32_t blocks, uint32_t threads_per_block)
{
	uint32_t const threads = gpu_thread_count(blocks, threads_per_block);
	if (threads > (1U << 31))
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Too many GPU threads for the GPU send frames: " + std::to_string(threads));
	return static_cast<uint32_t>(std::pow(2.0, std::ceil(std::log2(static_cast<double>(threads)))));
}

void check_gpu_eth_job_size(uint32_t job_size)
{
	if (job_size < gpu_eth_min_job_size)
		KOVA_THROW(29, "Job size is too small for ethernet header, job must be at least " +
				       std::to_string(gpu_eth_min_job_size) + " bytes");
}

bool as_bool(const std::string &text)
{
	auto const converted = strto<bool>(text);
	if (!converted || converted->rest.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to convert value\"" + text + "\" to a boolean");
	return converted->value;
}

void on_task_error(kova_eth_txq_gpu_event_error_send_packet * /*event*/, kova_data user_data)
{
	std::printf("Received TXQ Packet error\n");
	static_cast<std::atomic<uint64_t> *>(user_data.ptr)->fetch_add(1, std::memory_order_acq_rel);
}

gpu_eth_base::gpu_eth_base(const dl::kova_eth_api *eth_api, const dl::kova_tessel_api *gpu_api, uint32_t job_size,
			   dpdk_context *dpdk, kova_flow_port *flow_port, uint32_t num_blocks,
			   uint32_t threads_per_block, kova_dev *dev, kova_gpu *gpu)
	: m_eth_api{eth_api},
	  m_gpu_api{gpu_api},
	  m_flow_api{dl::kova_flow_api::singleton()},
	  m_dpdk_api{nullptr},
	  m_num_blocks{num_blocks},
	  m_threads_per_block{threads_per_block},
	  m_job_size{job_size},
	  m_dev{dev},
	  m_gpu{gpu},
	  m_flow_port{flow_port},
	  m_owns_flow_port{flow_port == nullptr}
{
	if (m_flow_api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_flow library is not installed");
	m_dpdk_api = dl::kova_dpdk_bridge_api::singleton();
	if (m_dpdk_api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_dpdk_bridge library is not installed");
	if (eth_api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_eth library is not installed");
	if (gpu_api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_tessel library is not installed");
	if (dev == nullptr || gpu == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "GPU Ethernet queues need a device and a GPU");
	static_cast<void>(gpu_thread_count(num_blocks, threads_per_block));
	if (num_blocks > max_blocks)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Number of GPU blocks (" + std::to_string(num_blocks) +
							     ") is above " + std::to_string(max_blocks) +
							     ", the most queues of a dpdk port");
	if (!m_owns_flow_port)
		return;
	if (dpdk == nullptr)
		KOVA_THROW(KOVA_ERROR_BAD_STATE, "GPU Ethernet queues need the device's dpdk port");
	try {
		init_kova_flow(dpdk->get_dev_port_id(), static_cast<uint8_t>(num_blocks));
	} catch (...) {
		release();
		throw;
	}
}

gpu_eth_base::~gpu_eth_base()
{
	release();
}

void gpu_eth_base::init_kova_flow(uint16_t port_id, uint8_t nb_queues)
{
	acquire_port(*m_dpdk_api, port_id, nb_queues);
	m_port_id = port_id;
	m_port_held = true;

	eth_flow_ports::instance().acquire_library();
	m_library_held = true;

	kova_flow_port_cfg *port_cfg = nullptr;
	throw_if_failed(m_flow_api->kova_flow_port_cfg_create(&port_cfg), "Failed to create kova_flow_port_cfg");
	auto destroy_cfg = [this, &port_cfg] {
		static_cast<void>(m_flow_api->kova_flow_port_cfg_destroy(port_cfg));
		port_cfg = nullptr;
	};
	try {
		std::string const devargs = std::to_string(port_id);
		throw_if_failed(m_flow_api->kova_flow_port_cfg_set_devargs(port_cfg, devargs.c_str()),
				"Failed to set kova_flow_cfg dev_args");
		throw_if_failed(m_flow_api->kova_flow_port_cfg_set_port_id(port_cfg, port_id),
				"Failed to set kova_flow_cfg port_id");
		throw_if_failed(m_flow_api->kova_flow_port_cfg_set_dev(port_cfg, m_dev), "Failed to set kova_flow_cfg dev");
		throw_if_failed(m_flow_api->kova_flow_port_start(port_cfg, &m_flow_port), "Failed to start kova_flow_port");
	} catch (...) {
		destroy_cfg();
		throw;
	}
	destroy_cfg();
}

void gpu_eth_base::release() noexcept
{
	if (m_owns_flow_port && m_flow_port != nullptr) {
		if (kova_error const err = m_flow_api->kova_flow_port_stop(m_flow_port))
			std::printf("Failed to stop KOVA flow port, err: %s", kova_error_get_name(err));
		m_flow_port = nullptr;
	}
	if (m_library_held) {
		eth_flow_ports::instance().release_library();
		m_library_held = false;
	}
	if (m_port_held) {
		release_port(*m_dpdk_api);
		m_port_held = false;
	}
}

gpu_eth_rxq::gpu_eth_rxq(const dl::kova_eth_api *eth_api, const dl::kova_tessel_api *gpu_api,
			 const step::object::attributes &attributes, dpdk_context *dpdk, kova_flow_port *flow_port,
			 unsigned num_blocks, unsigned threads_per_block, kova_pe *pe, kova_dev *dev, kova_gpu *gpu,
			 kova_data user)
	: gpu_eth_base{eth_api, gpu_api, attributes.job_input_size, dpdk, flow_port, num_blocks, threads_per_block,
		       dev, gpu},
	  m_cfg{2, attributes.job_output_buffer_size > rx_min_packet_size ? attributes.job_output_buffer_size
									    : rx_min_packet_size,
		attributes.job_count, attributes.rq_depth ? *attributes.rq_depth : attributes.job_count}
{
	try {
		create_queues(user, pe, dpdk);
		create_pipe();
		create_root_pipe();
	} catch (...) {
		release();
		throw;
	}
}

gpu_eth_rxq::~gpu_eth_rxq()
{
	release();
}

void gpu_eth_rxq::release() noexcept
{
	if (m_rxq_pipe != nullptr)
		m_flow_api->kova_flow_pipe_destroy(m_rxq_pipe);
	if (m_root_pipe != nullptr)
		m_flow_api->kova_flow_pipe_destroy(m_root_pipe);
	m_rxq_pipe = nullptr;
	m_root_pipe = nullptr;
	m_root_entry = nullptr;
	// The queues stop before their packet memory goes; in reverse order of creation.
	for (auto it = m_queues.rbegin(); it != m_queues.rend(); ++it)
		it->queue.reset();
	for (auto it = m_queues.rbegin(); it != m_queues.rend(); ++it) {
		destroy_mmap(it->mmap);
		it->memory.reset();
		if (it->dmabuf_fd >= 0)
			::close(it->dmabuf_fd);
		if (it->queue_id != 0)
			eth_queue_ids::give(it->queue_id);
	}
	m_queues.clear();
	m_handles.clear();
	m_queue_list.clear();
}

void gpu_eth_rxq::create_queues(kova_data user, kova_pe *pe, dpdk_context *dpdk)
{
	uint32_t size = 0;
	throw_if_failed(m_eth_api->kova_eth_rxq_estimate_packet_buf_size(0, 0, 0, m_cfg.max_packet_size,
									   m_cfg.max_burst_size, &size),
			"Failed to get eth_rxq cyclic buffer size");
	m_queues.reserve(m_num_blocks);
	m_handles.reserve(m_num_blocks);
	for (uint32_t i = 0; i < m_num_blocks; ++i) {
		gpu_rxq &entry = m_queues.emplace_back();
		entry.queue = std::make_unique<eth_rxq>(m_cfg, user, m_dev, pe, dpdk);
		throw_if_failed(kova_mmap_create(&entry.mmap), "Failed to create mmap");
		throw_if_failed(kova_mmap_add_dev(entry.mmap, m_dev), "Failed to add dev to mmap");
		entry.memory = gpu_memory{m_gpu_api, m_gpu, size, gpu_eth_alignment, 0, "Failed to  alloc gpu memory"};
		int fd = -1;
		if (m_gpu_api->kova_gpu_dmabuf_fd(m_gpu, entry.memory.gpu_address(), size, &fd) == KOVA_SUCCESS) {
			// The map takes the memory by address; the descriptor is kept until the memory goes.
			entry.dmabuf_fd = fd;
		}
		throw_if_failed(kova_mmap_set_memrange(entry.mmap, entry.memory.gpu_address(), size),
				"Failed to set memrange mmap");
		throw_if_failed(kova_mmap_set_permissions(entry.mmap, 1), "Failed to set permission mmap");
		throw_if_failed(kova_mmap_start(entry.mmap), "Failed to start mmap");
		kova_eth_rxq *queue = entry.queue->get_kova_obj();
		throw_if_failed(m_eth_api->kova_eth_rxq_set_pkt_buf(queue, entry.mmap, 0, size), "Failed to set cyclic buffer");
		kova_ctx *ctx = m_eth_api->kova_eth_rxq_as_kova_ctx(queue);
		if (ctx == nullptr)
			KOVA_THROW(KOVA_SUCCESS, "Failed to get eth as kova ctx");
		throw_if_failed(kova_ctx_set_datapath_on_gpu(ctx, m_gpu), "Failed to set datapath gpu");
		throw_if_failed(kova_ctx_start(ctx), "Failed to start eth ctx");
		throw_if_failed(m_eth_api->kova_eth_rxq_get_gpu_handle(queue, &entry.handle), "Failed to get gpu handle");
		m_handles.push_back(entry.handle);
		uint16_t const queue_id = eth_queue_ids::take();
		if (kova_error const err = m_eth_api->kova_eth_rxq_apply_queue_id(queue, queue_id)) {
			eth_queue_ids::give(queue_id);
			KOVA_THROW(err, "Failed to apply queue_id");
		}
		entry.queue_id = queue_id;
	}
}

void gpu_eth_rxq::create_pipe()
{
	kova_flow_pipe_cfg *pc = nullptr;
	throw_if_failed(m_flow_api->kova_flow_pipe_cfg_create(&pc, m_flow_port), "Failed to create pipe_cfg");
	try {
		throw_if_failed(m_flow_api->kova_flow_pipe_cfg_set_name(pc, "GPU_RXQ_PIPE"), "Failed to set pipe_cfg name");
		throw_if_failed(m_flow_api->kova_flow_pipe_cfg_set_type(pc, 0), "Failed to set pipe_cfg type");
		throw_if_failed(m_flow_api->kova_flow_pipe_cfg_set_is_root(pc, 0), "Failed to set pipe_cfg root");
		kova_flow_match match{};
		set_u32(match, 56, 1);
		throw_if_failed(m_flow_api->kova_flow_pipe_cfg_set_match_v1(pc, &match, nullptr),
				"Failed to set pipe_cfg match");
		monitor_record const monitor;
		throw_if_failed(m_flow_api->kova_flow_pipe_cfg_set_monitor_v1(pc, monitor.get()),
				"Failed to set pipe_cfg monitor");
		m_queue_list.clear();
		for (gpu_rxq const &entry : m_queues)
			m_queue_list.push_back(entry.queue_id);
		kova_flow_fwd forward{};
		set_u32(forward, 0, 1);
		set_u32(forward, 8, 2);
		set_u32(forward, 16, 5);
		const uint16_t *list = m_queue_list.data();
		std::memcpy(reinterpret_cast<std::byte *>(&forward) + 24, &list, sizeof(list));
		set_u32(forward, 32, static_cast<uint32_t>(m_queue_list.size()));
		kova_flow_fwd miss{};
		set_u32(miss, 0, 4);
		throw_if_failed(m_flow_api->kova_flow_pipe_create_v1(pc, &forward, &miss, &m_rxq_pipe),
				"RxQ Pipe creation failed");
		static_cast<void>(m_flow_api->kova_flow_pipe_cfg_destroy(pc));
		pc = nullptr;
		throw_if_failed(m_flow_api->kova_flow_pipe_add_entry_v1(0, m_rxq_pipe, &match, nullptr, nullptr, nullptr, 0,
									 nullptr, nullptr),
				"RxQ Pipe entry creation failed ");
		throw_if_failed(m_flow_api->kova_flow_entries_process(m_flow_port, 0, 0, 0), "RxQ Pipe process creation failed");
	} catch (...) {
		if (pc != nullptr)
			static_cast<void>(m_flow_api->kova_flow_pipe_cfg_destroy(pc));
		throw;
	}
}

void gpu_eth_rxq::create_root_pipe()
{
	kova_flow_pipe_cfg *pc = nullptr;
	throw_if_failed(m_flow_api->kova_flow_pipe_cfg_create(&pc, m_flow_port), "Failed to create kova_flow_pipe_cfg");
	try {
		throw_if_failed(m_flow_api->kova_flow_pipe_cfg_set_name(pc, "GPU_ROOT_PIPE"),
				"Failed to set kova_flow_pipe_cfg name");
		throw_if_failed(m_flow_api->kova_flow_pipe_cfg_set_type(pc, 1), "Failed to set kova_flow_pipe_cfg type");
		throw_if_failed(m_flow_api->kova_flow_pipe_cfg_set_is_root(pc, 1),
				"Failed to set kova_flow_pipe_cfg is root");
		monitor_record const monitor;
		throw_if_failed(m_flow_api->kova_flow_pipe_cfg_set_monitor_v1(pc, monitor.get()),
				"Failed to set kova_flow_pipe_cfg monitor");
		throw_if_failed(m_flow_api->kova_flow_pipe_create_v1(pc, nullptr, nullptr, &m_root_pipe),
				"Failed to create kova_flow_pipe");
	} catch (...) {
		static_cast<void>(m_flow_api->kova_flow_pipe_cfg_destroy(pc));
		throw;
	}
	static_cast<void>(m_flow_api->kova_flow_pipe_cfg_destroy(pc));
	kova_flow_match match{};
	auto *bytes = reinterpret_cast<uint8_t *>(&match);
	bytes[100] = 0x08;
	bytes[101] = 0x00;
	set_u32(match, 108, 1);
	bytes[128] = 0x11;
	kova_flow_fwd forward{};
	set_u32(forward, 0, 3);
	std::memcpy(reinterpret_cast<std::byte *>(&forward) + 8, &m_rxq_pipe, sizeof(m_rxq_pipe));
	throw_if_failed(m_flow_api->kova_flow_pipe_control_add_entry_v1(0, 0, m_root_pipe, &match, nullptr, nullptr,
									 nullptr, nullptr, nullptr, &forward, nullptr,
									 &m_root_entry),
			"Failed to create pipe entry");
	throw_if_failed(m_flow_api->kova_flow_entries_process(m_flow_port, 0, 0, 0), "Root pipe entry process failed");
}

gpu_eth_txq::gpu_eth_txq(const dl::kova_eth_api *eth_api, const dl::kova_tessel_api *gpu_api,
			 const step::object::attributes &attributes, dpdk_context *dpdk, kova_flow_port *flow_port,
			 unsigned num_blocks, unsigned threads_per_block, kova_pe *pe, kova_dev *dev, kova_gpu *gpu,
			 kova_data user)
	: gpu_eth_base{eth_api, gpu_api, attributes.job_input_size, dpdk, flow_port, num_blocks, threads_per_block,
		       dev, gpu}
{
	m_cfg.memory_model = 0;
	m_cfg.max_packet_size = attributes.job_output_buffer_size;
	m_cfg.num_tasks = attributes.job_count;
	m_cfg.max_burst_size = attributes.sq_depth ? *attributes.sq_depth : attributes.job_count;
	auto const &map = attributes.attribute_map;
	if (auto const found = map.find("kova_eth.l3-chksum-offload"); found != map.end())
		m_cfg.l3_chksum_offload = as_bool(found->second) ? 1 : 0;
	if (auto const found = map.find("kova_eth.l4-chksum-offload"); found != map.end())
		m_cfg.l4_chksum_offload = as_bool(found->second) ? 1 : 0;
	try {
		// Checked before anything is allocated: the frames hold at least a header.
		check_gpu_eth_job_size(m_job_size);
		create_packet_buffer();
		create_txq(user, pe);
		populate_packets();
	} catch (...) {
		release();
		throw;
	}
}

gpu_eth_txq::~gpu_eth_txq()
{
	release();
}

void gpu_eth_txq::release() noexcept
{
	// The queues stop first, so that nothing reads the frames any more.
	for (auto it = m_queues.rbegin(); it != m_queues.rend(); ++it)
		it->queue.reset();
	m_queues.clear();
	m_handles.clear();
	m_buf_arr_gpu = nullptr;
	if (m_buf_arr != nullptr) {
		if (kova_error const err = kova_buf_arr_destroy(m_buf_arr))
			std::printf("Failed to destroy buf_array: %s\n", kova_error_get_name(err));
		m_buf_arr = nullptr;
	}
	destroy_mmap(m_packets_mmap);
	m_packets.reset();
}

void gpu_eth_txq::create_packet_buffer()
{
	m_packet_count = gpu_eth_packet_count(m_num_blocks, m_threads_per_block);
	uint64_t const size = uint64_t{m_packet_count} * m_job_size;
	if (size > UINT32_MAX)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "GPU send frames of " + std::to_string(size) +
							     " bytes: at most 4294967295");
	m_packets = gpu_memory{m_gpu_api, m_gpu, size, gpu_eth_alignment, 1, "Unable to allocate GPU memory"};
	create_mmap_gpu(&m_packets_mmap, m_packets.gpu_address(), size, m_dev);
	throw_if_failed(kova_buf_arr_create(m_packet_count, &m_buf_arr), "Failed to create buf_array");
	throw_if_failed(kova_buf_arr_set_params(m_buf_arr, m_packets_mmap, m_job_size, 0), "Failed to set buf_array params");
	throw_if_failed(kova_buf_arr_set_target_gpu(m_buf_arr, m_gpu), "Failed to set buf_array target gpu");
	throw_if_failed(kova_buf_arr_start(m_buf_arr), "Failed to start buf_array");
	throw_if_failed(kova_buf_arr_get_gpu_handle(m_buf_arr, &m_buf_arr_gpu), "Failed to get buf_array handle");
}

void gpu_eth_txq::create_txq(kova_data /*user*/, kova_pe *pe)
{
	m_queues.reserve(m_num_blocks);
	m_handles.reserve(m_num_blocks);
	kova_data errors{};
	errors.ptr = &m_send_errors;
	for (uint32_t i = 0; i < m_num_blocks; ++i) {
		gpu_txq &entry = m_queues.emplace_back();
		// The queue's context carries the error counter: its events record failed sends for the step.
		entry.queue = std::make_unique<eth_txq>(m_cfg, errors, m_dev, pe);
		kova_eth_txq *queue = entry.queue->get_kova_obj();
		throw_if_failed(m_eth_api->kova_eth_txq_gpu_event_error_send_packet_register(queue, on_task_error, errors),
				"Failed to set gpu error callback");
		kova_ctx *ctx = m_eth_api->kova_eth_txq_as_kova_ctx(queue);
		throw_if_failed(kova_ctx_set_datapath_on_gpu(ctx, m_gpu), "Failed to set gpu datapath");
		throw_if_failed(kova_ctx_start(ctx), "Failed to start txq context");
		throw_if_failed(m_eth_api->kova_eth_txq_get_gpu_handle(queue, &entry.handle), "Failed to get gpu handle");
		m_handles.push_back(entry.handle);
	}
}

void gpu_eth_txq::populate_packets()
{
	check_gpu_eth_job_size(m_job_size);
	static constexpr uint8_t header[14] = {'F', 'F', 'F', 'F', 'F', 'F', '0', '1', '2', '2', '3', '3', 0x08, 0x00};
	auto *cpu = static_cast<uint8_t *>(m_packets.cpu_address());
	uint64_t const frames = uint64_t{m_num_blocks} * m_threads_per_block;
	for (uint64_t k = 0; k < frames; ++k) {
		uint8_t *packet = cpu + k * m_job_size;
		std::memcpy(packet, header, sizeof(header));
		std::memset(packet + sizeof(header), 0x11, m_job_size - sizeof(header));
	}
}

} // namespace kova::bench::utility
