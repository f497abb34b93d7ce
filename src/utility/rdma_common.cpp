#include "utility/rdma_common.hpp"

#include "kova_exception.hpp"
#include "utility/kova_utils.hpp"

#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <algorithm>
#include <utility>

namespace kova::bench::utility {

rdma_context::rdma_context(const configuration &cfg, kova_data ctx_user_data, kova_dev *dev, kova_pe *pe)
	: m_api{dl::kova_rdma_api::singleton()}, m_cfg{cfg}, m_instance{nullptr, m_api->kova_rdma_destroy}
{
	make_kova_rdma(ctx_user_data, dev, pe);
	m_pe = pe;
}

void rdma_context::make_kova_rdma(kova_data ctx_user_data, kova_dev *dev, kova_pe *pe)
{
	kova_rdma *instance = nullptr;
	if (kova_error const err = m_api->kova_rdma_create(dev, &instance))
		KOVA_THROW(err, "Unable to create KOVA RDMA instance.");
	// Owned from here on: a throw below destroys it.
	m_instance.reset(instance);

	if (kova_error const err = m_api->kova_rdma_set_permissions(instance, 7))
		KOVA_THROW(err, "Unable to set KOVA RDMA permissions.");

	uint32_t current = 0;
	static_cast<void>(m_api->kova_rdma_get_send_queue_size(instance, &current));
	kova::optional<uint32_t> wanted = m_cfg.send_queue_size;
	if (!wanted && current < m_cfg.task_count)
		wanted = m_cfg.task_count;
	if (wanted) {
		if (kova_error const err = m_api->kova_rdma_set_send_queue_size(instance, *wanted))
			KOVA_THROW(err, "Unable to set KOVA RDMA send queue size.");
	}
	if (m_cfg.mtu) {
		if (kova_error const err = m_api->kova_rdma_set_mtu(instance, *m_cfg.mtu))
			KOVA_THROW(err, "Unable to set KOVA RDMA MTU.");
	}
	if (m_cfg.gid_index) {
		if (kova_error const err = m_api->kova_rdma_set_gid_index(instance, *m_cfg.gid_index))
			KOVA_THROW(err, "Unable to set KOVA RDMA gid_index.");
	}
	kova_ctx *ctx = m_api->kova_rdma_as_ctx(instance);
	if (kova_error const err = kova_ctx_set_user_data(ctx, ctx_user_data))
		KOVA_THROW(err, "Failed to set context user data");
	if (kova_error const err = kova_pe_connect_ctx(pe, ctx))
		KOVA_THROW(err, "Unable to connect kova_pe to kova_ctx");
}

rdma_context::~rdma_context()
{
	// Stop before free: tasks in flight are flushed through their callbacks, then freed.
	stop_ctx(m_api->kova_rdma_as_ctx(m_instance.get()), m_pe, "rdma", &m_tasks);
	for (kova_task *task : m_tasks)
		static_cast<void>(kova_task_free(task));
	m_tasks.clear();
	m_remote_blob.clear();
	m_instance.reset();
}

void rdma_context::configure_send_tasks_pool(send_callbacks callbacks)
{
	if (kova_error const err = m_api->kova_rdma_task_send_set_conf(m_instance.get(), callbacks.completion,
									callbacks.error, m_cfg.task_count))
		KOVA_THROW(err, "Unable to configure kova_rdma_task_send task pool");
}

void rdma_context::configure_receive_tasks_pool(receive_callbacks callbacks)
{
	if (kova_error const err = m_api->kova_rdma_task_receive_set_conf(m_instance.get(), callbacks.completion,
									   callbacks.error, m_cfg.task_count))
		KOVA_THROW(err, "Unable to configure kova_rdma_task_receive task pool");
}

void rdma_context::start()
{
	if (kova_error const err = kova_ctx_start(m_api->kova_rdma_as_ctx(m_instance.get())))
		KOVA_THROW(err, "Unable to start kova_rdma context");
}

std::vector<char> rdma_context::get_local_connection_blob()
{
	const void *details = nullptr;
	std::size_t size = 0;
	kova_rdma_connection *connection = nullptr;
	if (kova_error const err = m_api->kova_rdma_export(m_instance.get(), &details, &size, &connection))
		KOVA_THROW(err, "Unable to export local kova_rdma connection details");
	m_connection = connection;
	auto const *bytes = static_cast<const char *>(details);
	return std::vector<char>(bytes, bytes + size);
}

void rdma_context::set_remote_connection_blob(std::vector<char> blob)
{
	m_remote_blob = std::move(blob);
}

kova_error rdma_context::connect()
{
	return m_api->kova_rdma_connect(m_instance.get(), m_remote_blob.data(), m_remote_blob.size(), m_connection);
}

kova_error rdma_context::connect(std::vector<char> blob)
{
	return m_api->kova_rdma_connect(m_instance.get(), blob.data(), blob.size(), m_connection);
}

kova_rdma_task_receive *rdma_context::create_receive_task(kova_buf *destination, kova_data task_user_data)
{
	kova_rdma_task_receive *task = nullptr;
	if (kova_error const err =
		    m_api->kova_rdma_task_receive_allocate_init(m_instance.get(), destination, task_user_data, &task))
		KOVA_THROW(err, "Unable to allocate kova_rdma_task_receive task");
	m_tasks.push_back(m_api->kova_rdma_task_receive_as_task(task));
	return task;
}

kova_rdma_task_send *rdma_context::create_send_task(const kova_buf *source, kova_data task_user_data)
{
	kova_rdma_task_send *task = nullptr;
	if (kova_error const err = m_api->kova_rdma_task_send_allocate_init(m_instance.get(), m_connection, source,
									     task_user_data, &task))
		KOVA_THROW(err, "Unable to allocate kova_rdma_task_send task");
	m_tasks.push_back(m_api->kova_rdma_task_send_as_task(task));
	return task;
}

void rdma_context::destroy_all_tasks() noexcept
{
	std::erase_if(m_tasks, [](kova_task *task) { return kova_task_free(task) == KOVA_SUCCESS; });
}

} // namespace kova::bench::utility
