// Capabilities of the stand-in's comm channel (tests may override each by query name). The channel
// joins a host and a DPU, so it is offered by the devices that have network representors (both
// devices of the built-in table), not by the others (a replaced table may have such devices):
//
//   query                                   with representors      without
//   client / consumer / producer supported  yes (0)                no (4)
//   max name length                         64
//   max message size                        4080 (messages between clients)
//   max receive queue size                  4096
//   max clients                             64
//   max send tasks                          65536
//   consumer / producer max tasks           65536
//   consumer / producer max buffer size     1 MiB
//   consumer / producer max buffer list     1 / 16
//   max consumers / producers               1024 / 1024
//   consumer max immediate data             32
#include "comch_shared.hpp"

#include <kova_internal/capability.hpp>

#include <kova/comch.h>
#include <kova/dev.h>
#include <kova/error.h>


using kova::sdk::capability_answer;
using kova::sdk::query_value;
namespace comch = kova::sdk::comch;

namespace {

kova_error offered(const kova_devinfo *devinfo, const char *query) noexcept
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	uint8_t representors = 0;
	bool const offers = kova_devinfo_rep_cap_is_filter_net_supported(devinfo, &representors) == KOVA_SUCCESS &&
			    representors != 0;
	return capability_answer(query, offers ? KOVA_SUCCESS : KOVA_ERROR_NOT_SUPPORTED);
}

} // namespace

KOVA_EXPORT kova_error kova_comch_cap_get_max_name_len(const kova_devinfo *devinfo, uint32_t *max_name_len)
{
	return query_value(devinfo, "kova_comch_cap_get_max_name_len", comch::max_name_len, max_name_len);
}

KOVA_EXPORT kova_error kova_comch_cap_get_max_msg_size(const kova_devinfo *devinfo, uint32_t *max_msg_size)
{
	return query_value(devinfo, "kova_comch_cap_get_max_msg_size", comch::max_msg_size, max_msg_size);
}

KOVA_EXPORT kova_error kova_comch_cap_get_max_recv_queue_size(const kova_devinfo *devinfo,
							      uint32_t *max_recv_queue_size)
{
	return query_value(devinfo, "kova_comch_cap_get_max_recv_queue_size", comch::max_recv_queue_size,
			   max_recv_queue_size);
}

KOVA_EXPORT kova_error kova_comch_cap_get_max_clients(const kova_devinfo *devinfo, uint32_t *max_clients)
{
	return query_value(devinfo, "kova_comch_cap_get_max_clients", comch::max_clients, max_clients);
}

KOVA_EXPORT kova_error kova_comch_cap_client_is_supported(const kova_devinfo *devinfo)
{
	return offered(devinfo, "kova_comch_cap_client_is_supported");
}

KOVA_EXPORT kova_error kova_comch_cap_get_max_send_tasks(const kova_devinfo *devinfo, uint32_t *max_send_tasks)
{
	return query_value(devinfo, "kova_comch_cap_get_max_send_tasks", comch::max_send_tasks, max_send_tasks);
}

KOVA_EXPORT kova_error kova_comch_consumer_cap_is_supported(const kova_devinfo *devinfo)
{
	return offered(devinfo, "kova_comch_consumer_cap_is_supported");
}

KOVA_EXPORT kova_error kova_comch_consumer_cap_get_max_num_tasks(const kova_devinfo *devinfo, uint32_t *max_num_tasks)
{
	return query_value(devinfo, "kova_comch_consumer_cap_get_max_num_tasks", comch::max_num_tasks, max_num_tasks);
}

KOVA_EXPORT kova_error kova_comch_consumer_cap_get_max_buf_size(const kova_devinfo *devinfo, uint32_t *max_buf_size)
{
	return query_value(devinfo, "kova_comch_consumer_cap_get_max_buf_size", comch::max_buf_size, max_buf_size);
}

KOVA_EXPORT kova_error kova_comch_consumer_cap_get_max_buf_list_len(const kova_devinfo *devinfo,
								    uint32_t *max_buf_list_len)
{
	return query_value(devinfo, "kova_comch_consumer_cap_get_max_buf_list_len", 1, max_buf_list_len);
}

KOVA_EXPORT kova_error kova_comch_consumer_cap_get_max_consumers(const kova_devinfo *devinfo, uint32_t *max_consumers)
{
	return query_value(devinfo, "kova_comch_consumer_cap_get_max_consumers", comch::max_consumers, max_consumers);
}

KOVA_EXPORT kova_error kova_comch_consumer_cap_get_max_imm_data_len(const kova_devinfo *devinfo,
								    uint32_t *max_imm_data_len)
{
	return query_value(devinfo, "kova_comch_consumer_cap_get_max_imm_data_len", comch::max_imm_data_len,
			   max_imm_data_len);
}

KOVA_EXPORT kova_error kova_comch_producer_cap_is_supported(const kova_devinfo *devinfo)
{
	return offered(devinfo, "kova_comch_producer_cap_is_supported");
}

KOVA_EXPORT kova_error kova_comch_producer_cap_get_max_num_tasks(const kova_devinfo *devinfo, uint32_t *max_num_tasks)
{
	return query_value(devinfo, "kova_comch_producer_cap_get_max_num_tasks", comch::max_num_tasks, max_num_tasks);
}

KOVA_EXPORT kova_error kova_comch_producer_cap_get_max_buf_size(const kova_devinfo *devinfo, uint32_t *max_buf_size)
{
	return query_value(devinfo, "kova_comch_producer_cap_get_max_buf_size", comch::max_buf_size, max_buf_size);
}

KOVA_EXPORT kova_error kova_comch_producer_cap_get_max_buf_list_len(const kova_devinfo *devinfo,
								    uint32_t *max_buf_list_len)
{
	return query_value(devinfo, "kova_comch_producer_cap_get_max_buf_list_len", 16, max_buf_list_len);
}

KOVA_EXPORT kova_error kova_comch_producer_cap_get_max_producers(const kova_devinfo *devinfo, uint32_t *max_producers)
{
	return query_value(devinfo, "kova_comch_producer_cap_get_max_producers", comch::max_producers, max_producers);
}
