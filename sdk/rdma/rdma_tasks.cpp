// RDMA library: the receive and send task kinds.
#include "rdma_internal.hpp"

#include <kova_internal/buf_data.hpp>
#include <kova_internal/capability.hpp>
#include <kova_internal/ctx_kernel.hpp>

#include <kova/dev.h>
#include <kova/error.h>
#include <kova/rdma.h>

using kova::sdk::capability_answer;
using kova::sdk::capability_value;
using kova::sdk::control_call;
namespace rdma = kova::sdk::rdma;

namespace {

constexpr const char *max_message_size_query = "kova_rdma_cap_get_max_message_size";

uint32_t list_len(const kova_buf *list)
{
	uint32_t n = 0;
	for (; list != nullptr; list = list->next)
		++n;
	return n;
}

} // namespace

KOVA_EXPORT kova_error kova_rdma_cap_task_receive_is_supported(const kova_devinfo *devinfo)
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return capability_answer("kova_rdma_cap_task_receive_is_supported", KOVA_SUCCESS);
}

KOVA_EXPORT kova_error kova_rdma_cap_task_receive_get_max_dst_buf_list_len(const kova_devinfo *devinfo,
									   uint32_t *max_dst_buf_list_len)
{
	return kova::sdk::query_value(devinfo, "kova_rdma_cap_task_receive_get_max_dst_buf_list_len",
				      rdma::max_buf_list_len, max_dst_buf_list_len);
}

KOVA_EXPORT kova_error kova_rdma_task_receive_set_conf(kova_rdma *rdma, kova_task_completion_cb_t success_cb,
						       kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	if (rdma == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_rdma_task_receive_set_conf", true, num_tasks))
		return forced;
	if (kova_error const supported = kova_rdma_cap_task_receive_is_supported(kova_dev_as_devinfo(rdma->ctx.dev)))
		return supported;
	if (num_tasks > rdma::max_queue_size)
		return KOVA_ERROR_INVALID_VALUE;
	return kova::sdk::task_kind_configure(&rdma->receive, success_cb, error_cb, num_tasks);
}

KOVA_EXPORT kova_error kova_rdma_task_receive_set_dst_buf_list_len(kova_rdma *rdma, uint32_t dst_buf_list_len)
{
	uint32_t most = 0;
	if (rdma == nullptr || kova_rdma_cap_task_receive_get_max_dst_buf_list_len(kova_dev_as_devinfo(rdma->ctx.dev),
										     &most) != KOVA_SUCCESS ||
	    dst_buf_list_len == 0 || dst_buf_list_len > most)
		return KOVA_ERROR_INVALID_VALUE;
	if (rdma->ctx.state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	rdma->dst_buf_list_len = dst_buf_list_len;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_rdma_task_receive_get_dst_buf_list_len(const kova_rdma *rdma, uint32_t *dst_buf_list_len)
{
	if (rdma == nullptr || dst_buf_list_len == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*dst_buf_list_len = rdma->dst_buf_list_len;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_rdma_task_receive_allocate_init(kova_rdma *rdma, kova_buf *dst_buf, kova_data user_data,
							    kova_rdma_task_receive **task)
{
	if (rdma == nullptr || dst_buf == nullptr || task == nullptr || list_len(dst_buf) > rdma->dst_buf_list_len)
		return KOVA_ERROR_INVALID_VALUE;
	kova_task *taken = nullptr;
	if (kova_error const err = kova::sdk::task_alloc(&rdma->receive, user_data, nullptr, dst_buf, &taken))
		return err;
	auto *receive = kova::sdk::task_cast<kova_rdma_task_receive>(taken);
	receive->result_len = 0;
	*task = receive;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_task *kova_rdma_task_receive_as_task(kova_rdma_task_receive *task)
{
	return task == nullptr ? nullptr : &task->task;
}

KOVA_EXPORT void kova_rdma_task_receive_set_dst_buf(kova_rdma_task_receive *task, kova_buf *dst_buf)
{
	if (task != nullptr && task->task.in_flight == 0)
		task->task.dst = dst_buf;
}

KOVA_EXPORT kova_buf *kova_rdma_task_receive_get_dst_buf(const kova_rdma_task_receive *task)
{
	return task == nullptr ? nullptr : task->task.dst;
}

KOVA_EXPORT uint32_t kova_rdma_task_receive_get_result_opcode(const kova_rdma_task_receive * /*task*/)
{
	return KOVA_RDMA_OPCODE_RECV_SEND;
}

KOVA_EXPORT uint32_t kova_rdma_task_receive_get_result_len(const kova_rdma_task_receive *task)
{
	return task == nullptr ? 0 : task->result_len;
}

KOVA_EXPORT uint32_t kova_rdma_task_receive_get_result_immediate_data(const kova_rdma_task_receive * /*task*/)
{
	return 0;
}

KOVA_EXPORT kova_error kova_rdma_cap_task_send_is_supported(const kova_devinfo *devinfo)
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return capability_answer("kova_rdma_cap_task_send_is_supported", KOVA_SUCCESS);
}

KOVA_EXPORT kova_error kova_rdma_task_send_set_conf(kova_rdma *rdma, kova_task_completion_cb_t success_cb,
						    kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	if (rdma == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_rdma_task_send_set_conf", true, num_tasks))
		return forced;
	const kova_devinfo *devinfo = kova_dev_as_devinfo(rdma->ctx.dev);
	if (kova_error const supported = kova_rdma_cap_task_send_is_supported(devinfo))
		return supported;
	if (num_tasks > rdma::max_queue_size)
		return KOVA_ERROR_INVALID_VALUE;
	uint64_t max_message = 0;
	if (kova_error const err = capability_value(max_message_size_query, rdma::max_message_size, &max_message))
		return err;
	if (kova_error const err = kova::sdk::task_kind_configure(&rdma->send, success_cb, error_cb, num_tasks))
		return err;
	rdma->send.max_source_len = max_message;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_rdma_task_send_allocate_init(kova_rdma *rdma, kova_rdma_connection *connection,
							 const kova_buf *src_buf, kova_data user_data,
							 kova_rdma_task_send **task)
{
	if (rdma == nullptr || connection != &rdma->connection || src_buf == nullptr || task == nullptr ||
	    list_len(src_buf) > rdma->max_send_buf_list_len)
		return KOVA_ERROR_INVALID_VALUE;
	kova_task *taken = nullptr;
	if (kova_error const err = kova::sdk::task_alloc(&rdma->send, user_data, src_buf, nullptr, &taken))
		return err;
	auto *send = kova::sdk::task_cast<kova_rdma_task_send>(taken);
	send->connection = connection;
	*task = send;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_task *kova_rdma_task_send_as_task(kova_rdma_task_send *task)
{
	return task == nullptr ? nullptr : &task->task;
}

KOVA_EXPORT void kova_rdma_task_send_set_src_buf(kova_rdma_task_send *task, const kova_buf *src_buf)
{
	if (task != nullptr && task->task.in_flight == 0)
		task->task.src = src_buf;
}

KOVA_EXPORT const kova_buf *kova_rdma_task_send_get_src_buf(const kova_rdma_task_send *task)
{
	return task == nullptr ? nullptr : task->task.src;
}
