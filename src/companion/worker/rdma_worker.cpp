#include "companion/worker/rdma_worker.hpp"

#include "companion/runtime_state.hpp"
#include "companion/worker/worker_command_map.hpp"
#include "kova_exception.hpp"

#include <kova/buf.h>
#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>

namespace kova::bench::companion::worker {
namespace {

constexpr const char *command_record = "create_rdma_worker_command";
constexpr const char *response_record = "create_rdma_worker_response";
constexpr const char *key_connection_string = "connection-string";
constexpr const char *key_buffer_size = "buffer-size";
constexpr const char *key_buffer_count = "buffer-count";
constexpr const char *key_gid_idx = "gid-idx";
constexpr const char *key_create_exported_mmap = "create-exported-mmap";
constexpr const char *key_mmap_export = "mmap-export";
constexpr uint32_t progress_calls_per_stop_check = 1024;
constexpr uint8_t send_pattern = 0x5a;

void sleep_for(long nanoseconds) noexcept
{
	timespec wanted{0, nanoseconds};
	timespec left{};
	while (::nanosleep(&wanted, &left) != 0 && errno == EINTR)
		wanted = left;
}

const dl::kova_rdma_api *api_or_throw()
{
	const dl::kova_rdma_api *api = dl::kova_rdma_api::singleton();
	if (api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_rdma is not installed");
	return api;
}

} // namespace

attribute_map create_rdma_worker_command_to_map(const create_rdma_worker_command &command)
{
	attribute_map map;
	map[key_connection_string] = command.connection_string;
	write_number(map, key_buffer_size, command.buffer_size);
	write_number(map, key_buffer_count, command.buffer_count);
	if (command.gid_idx)
		write_number(map, key_gid_idx, *command.gid_idx);
	write_yes_no(map, key_create_exported_mmap, command.create_exported_mmap);
	return map;
}

create_rdma_worker_command create_rdma_worker_command_from_map(const attribute_map &map)
{
	if (!has_keys(map, {key_connection_string, key_buffer_size, key_buffer_count, key_create_exported_mmap}))
		throw_invalid(command_record);
	create_rdma_worker_command command;
	command.connection_string = map.at(key_connection_string);
	command.buffer_size = number_or_throw(map.at(key_buffer_size), command_record, "buffer size");
	command.buffer_count = number_or_throw(map.at(key_buffer_count), command_record, "buffer count");
	if (auto const gid = map.find(key_gid_idx); gid != map.end())
		command.gid_idx = number_or_throw(gid->second, command_record, "gid idx");
	command.create_exported_mmap = is_yes(map.at(key_create_exported_mmap));
	uint64_t const region = uint64_t{command.buffer_size} * command.buffer_count;
	if (region == 0 || region > UINT32_MAX)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, std::string{"[BUG] invalid "} + command_record +
							     " - buffer size times buffer count must be 1 to 4294967295");
	return command;
}

attribute_map create_rdma_worker_response_to_map(const create_rdma_worker_response &response)
{
	attribute_map map;
	map[key_connection_string] = response.connection_string;
	if (response.mmap_export)
		map[key_mmap_export] = *response.mmap_export;
	return map;
}

create_rdma_worker_response create_rdma_worker_response_from_map(const attribute_map &map)
{
	auto const connection = map.find(key_connection_string);
	if (connection == map.end())
		throw_invalid(response_record);
	create_rdma_worker_response response;
	response.connection_string = connection->second;
	if (auto const exported = map.find(key_mmap_export); exported != map.end())
		response.mmap_export = exported->second;
	return response;
}

rdma_worker_base::rdma_worker_base(const char *type) : m_cold{std::make_unique<cold_data>()}, m_type{type}
{
	m_cold->api = api_or_throw();
	m_cold->rdma = {nullptr, m_cold->api->kova_rdma_destroy};
}

rdma_worker_base::~rdma_worker_base()
{
	m_stop.store(true);
	join_poll_thread();
	cold_data &cold = *m_cold;
	if (cold.rdma) {
		// Stop before free: tasks in flight are flushed, then freed, then the instance goes.
		utility::stop_ctx(ctx(), m_pe, "rdma", &cold.tasks);
		for (kova_task *task : cold.tasks)
			static_cast<void>(kova_task_free(task));
		cold.tasks.clear();
		cold.rdma.reset();
	}
	for (kova_buf *buf : cold.buffers)
		static_cast<void>(kova_buf_dec_refcount(buf, nullptr));
	cold.buffers.clear();
	cold.pe.reset();
	cold.inventory.reset();
	cold.mmap.reset();
}

void rdma_worker_base::populate_create_worker_response_fields(attribute_map &fields)
{
	create_rdma_worker_response response;
	response.connection_string = m_cold->local_connection_string;
	response.mmap_export = m_cold->mmap_export;
	for (auto &[key, value] : create_rdma_worker_response_to_map(response))
		fields[key] = value;
}

void rdma_worker_base::terminate()
{
	m_stop.exchange(true);
}

uint32_t rdma_worker_base::get_id() const
{
	return m_cold->id;
}

kova_ctx *rdma_worker_base::ctx() const
{
	return m_cold->api->kova_rdma_as_ctx(m_cold->rdma.get());
}

void rdma_worker_base::init_core_objects(kova_data ctx_user_data, uint32_t id,
					 const create_rdma_worker_command &command, kova_dev *device)
{
	cold_data &cold = *m_cold;
	const dl::kova_rdma_api &api = *cold.api;
	cold.id = id;
	cold.device = device;
	cold.buffer_count = command.buffer_count;
	cold.region.resize(uint64_t{command.buffer_size} * command.buffer_count);
	cold.mmap = utility::make_mmap(cold.region, utility::span<kova_dev *>{&cold.device, 1},
				       kova::optional<uint32_t>{7U});
	cold.inventory = utility::make_inventory(command.buffer_count);
	cold.pe = utility::make_pe();
	m_pe = cold.pe.get();

	kova_rdma *rdma = nullptr;
	if (kova_error const err = api.kova_rdma_create(device, &rdma))
		KOVA_THROW(err, "Unable to create KOVA RDMA instance");
	cold.rdma.reset(rdma);
	if (kova_error const err = kova_pe_connect_ctx(m_pe, ctx()))
		KOVA_THROW(err, "Unable to set progress engine for KOVA RDMA instance.");
	if (kova_error const err = api.kova_rdma_set_permissions(rdma, 7))
		KOVA_THROW(err, "Unable to set KOVA RDMA permissions");
	if (kova_error const err = kova_ctx_set_user_data(ctx(), ctx_user_data))
		KOVA_THROW(err, "Unable to set KOVA RDMA context user data");
	if (kova_error const err = api.kova_rdma_set_send_queue_size(rdma, command.buffer_count))
		KOVA_THROW(err, "Unable to set KOVA RDMA send queue size to " + std::to_string(command.buffer_count));
	if (command.gid_idx) {
		if (kova_error const err = api.kova_rdma_set_gid_index(rdma, *command.gid_idx))
			KOVA_THROW(err, "Unable to set KOVA RDMA gid index to " + std::to_string(*command.gid_idx));
	}
	if (command.create_exported_mmap) {
		auto const exported = runtime_state::export_mmap(cold.mmap.get(), device);
		cold.mmap_export = std::string(exported.begin(), exported.end());
	}
}

void rdma_worker_base::init_kova_bufs(uint32_t size)
{
	cold_data &cold = *m_cold;
	// The buffers, cut from the region in address order.
	cold.buffers.reserve(cold.buffer_count);
	for (uint64_t offset = 0; offset < cold.region.size(); offset += size) {
		kova_buf *buf = nullptr;
		auto *at = reinterpret_cast<char *>(cold.region.data()) + offset;
		if (kova_error const err = kova_buf_inventory_buf_get_by_args(cold.inventory.get(), cold.mmap.get(), at,
									      size, at, size, &buf))
			KOVA_THROW(err, "Unable to allocate KOVA buf");
		cold.buffers.push_back(buf);
	}
}

void rdma_worker_base::start_ctx(const create_rdma_worker_command &command)
{
	cold_data &cold = *m_cold;
	const dl::kova_rdma_api &api = *cold.api;
	if (kova_error const err = kova_ctx_start(ctx()))
		KOVA_THROW(err, "Unable to start KOVA RDMA");
	const void *details = nullptr;
	std::size_t length = 0;
	if (kova_error const err = api.kova_rdma_export(cold.rdma.get(), &details, &length, &cold.connection))
		KOVA_THROW(err, "Unable to export KOVA RDMA connection string");
	cold.local_connection_string.assign(static_cast<const char *>(details), length);
	if (kova_error const err = api.kova_rdma_connect(cold.rdma.get(), command.connection_string.data(),
							 command.connection_string.size(), cold.connection))
		KOVA_THROW(err, std::string{"kova_rdma_connect failed: "} + kova_error_get_name(err));
}

void rdma_worker_base::poll_rdma_connection()
{
	for (;;) {
		kova_pe_progress(m_pe);
		if (utility::is_context_running(ctx()))
			return;
		sleep_for(1);
		if (m_stop.load())
			return;
	}
}

void rdma_worker_base::join_poll_thread()
{
	if (m_cold->poll_thread.joinable())
		m_cold->poll_thread.join();
}

void rdma_worker_base::progress_until_stopped()
{
	while (!m_stop.load(std::memory_order_relaxed)) {
		for (uint32_t i = 0; i < progress_calls_per_stop_check; ++i)
			kova_pe_progress(m_pe);
	}
	if (m_cold->first_error != KOVA_SUCCESS)
		KOVA_THROW(m_cold->first_error, std::string{m_cold->first_error_kind} + " task failed: " +
							kova_error_get_name(m_cold->first_error));
}

void rdma_worker_base::note_task_failure(kova_error status, const char *kind) noexcept
{
	// Once stopping, the flushed tasks are expected to fail.
	if (m_stop.exchange(true))
		return;
	m_cold->first_error = status != KOVA_SUCCESS ? status : kova_error{KOVA_ERROR_UNEXPECTED};
	m_cold->first_error_kind = kind;
	std::fprintf(stderr, "%s task failed: worker %u (%s): %s\n", kind, m_cold->id, m_type,
		     kova_error_get_name(m_cold->first_error));
	std::fflush(stdout);
	std::fflush(stderr);
}

rdma_recv_worker::rdma_recv_worker() : rdma_worker_base{"rdma_recv"} {}

const char *rdma_recv_worker::get_type() const
{
	return "rdma_recv";
}

void rdma_recv_worker::init_rdma_recv_cfg()
{
	if (kova_error const err = m_cold->api->kova_rdma_task_receive_set_conf(m_cold->rdma.get(), on_task_complete,
										 on_task_error, m_cold->buffer_count))
		KOVA_THROW(err, "Unable to set KOVA RDMA receive tasks configuration");
}

void rdma_recv_worker::init_rdma_recv_tasks()
{
	const dl::kova_rdma_api &api = *m_cold->api;
	for (kova_buf *buf : m_cold->buffers) {
		kova_rdma_task_receive *task = nullptr;
		if (kova_error const err =
			    api.kova_rdma_task_receive_allocate_init(m_cold->rdma.get(), buf, kova_data{.ptr = buf}, &task))
			KOVA_THROW(err, "Unable to allocate KOVA RDMA recv task");
		kova_task *generic = api.kova_rdma_task_receive_as_task(task);
		m_cold->tasks.push_back(generic);
		kova_buf_reset_data_len(buf);
		if (kova_error const err = kova_task_submit(generic))
			KOVA_THROW(err, "Unable to submit initial KOVA RDMA recv task");
	}
}

void rdma_recv_worker::thread_proc()
{
	join_poll_thread();
	progress_until_stopped();
}

void rdma_recv_worker::on_task_complete(kova_task *task, kova_data task_user_data, kova_data ctx_user_data)
{
	kova_buf_reset_data_len(static_cast<kova_buf *>(task_user_data.ptr));
	if (kova_error const err = kova_task_submit(task)) [[unlikely]]
		static_cast<rdma_recv_worker *>(ctx_user_data.ptr)->note_task_failure(err, "RDMA recv");
}

void rdma_recv_worker::on_task_error(kova_task *task, kova_data /*task_user_data*/, kova_data ctx_user_data)
{
	static_cast<rdma_recv_worker *>(ctx_user_data.ptr)->note_task_failure(kova_task_get_status(task), "RDMA recv");
}

rdma_send_worker::rdma_send_worker() : rdma_worker_base{"rdma_send"} {}

const char *rdma_send_worker::get_type() const
{
	return "rdma_send";
}

void rdma_send_worker::init_rdma_send_cfg()
{
	if (kova_error const err = m_cold->api->kova_rdma_task_send_set_conf(m_cold->rdma.get(), on_task_complete,
									      on_task_error, m_cold->buffer_count))
		KOVA_THROW(err, "Unable to set KOVA RDMA send tasks configuration");
}

void rdma_send_worker::init_rdma_send_tasks()
{
	const dl::kova_rdma_api &api = *m_cold->api;
	for (kova_buf *buf : m_cold->buffers) {
		kova_rdma_task_send *task = nullptr;
		if (kova_error const err = api.kova_rdma_task_send_allocate_init(m_cold->rdma.get(), m_cold->connection, buf,
										  kova_data{.u64 = 0}, &task))
			KOVA_THROW(err, "Unable to allocate KOVA RDMA send task");
		kova_task *generic = api.kova_rdma_task_send_as_task(task);
		m_cold->tasks.push_back(generic);
		if (kova_error const err = kova_task_submit(generic))
			KOVA_THROW(err, "Unable to submit initial KOVA RDMA send task");
	}
}

void rdma_send_worker::thread_proc()
{
	join_poll_thread();
	sleep_for(200'000'000);
	init_rdma_send_tasks();
	progress_until_stopped();
}

void rdma_send_worker::on_task_complete(kova_task *task, kova_data /*task_user_data*/, kova_data ctx_user_data)
{
	if (kova_error const err = kova_task_submit(task)) [[unlikely]]
		static_cast<rdma_send_worker *>(ctx_user_data.ptr)->note_task_failure(err, "RDMA send");
}

void rdma_send_worker::on_task_error(kova_task *task, kova_data /*task_user_data*/, kova_data ctx_user_data)
{
	static_cast<rdma_send_worker *>(ctx_user_data.ptr)->note_task_failure(kova_task_get_status(task), "RDMA send");
}

void rdma_worker_base::start_poll_thread()
{
	m_cold->poll_thread = std::thread{[this] { poll_rdma_connection(); }};
}

void rdma_recv_worker::build(uint32_t id, const create_rdma_worker_command &command, kova_dev *device)
{
	init_core_objects(kova_data{.ptr = this}, id, command, device);
	init_rdma_recv_cfg();
	init_kova_bufs(command.buffer_size);
	start_ctx(command);
	kova_pe_progress(m_pe);
	init_rdma_recv_tasks();
	start_poll_thread();
}

void rdma_send_worker::build(uint32_t id, const create_rdma_worker_command &command, kova_dev *device)
{
	init_core_objects(kova_data{.ptr = this}, id, command, device);
	init_rdma_send_cfg();
	init_kova_bufs(command.buffer_size);
	// Every send carries this pattern, never leftover process memory.
	std::memset(m_cold->region.data(), send_pattern, m_cold->region.size());
	start_ctx(command);
	start_poll_thread();
}

std::unique_ptr<worker> create_rdma_recv_worker(uint32_t id, const attribute_map &map, kova_dev *device)
{
	auto created = std::make_unique<rdma_recv_worker>();
	created->build(id, create_rdma_worker_command_from_map(map), device);
	return created;
}

std::unique_ptr<worker> create_rdma_send_worker(uint32_t id, const attribute_map &map, kova_dev *device)
{
	auto created = std::make_unique<rdma_send_worker>();
	created->build(id, create_rdma_worker_command_from_map(map), device);
	return created;
}

} // namespace kova::bench::companion::worker
