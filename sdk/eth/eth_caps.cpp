// Capabilities of the stand-in device's Ethernet queues (tests may override each by query name):
//
//   query                                         answer
//   rxq type supported                            regular (task) receive on the CPU; nothing else
//   rxq max burst size                            4096
//   rxq max receive buffer list length            1
//   rxq max packet size                           1518, or MTU + 18 of the device's interface when larger
//   txq type supported                            regular send on the CPU
//   txq max burst size                            4096 (any list length, no LSO)
//   txq max send buffer list length               16
//   txq max LSO header / message size             0 / 0 (no LSO)
//   txq L3 / L4 checksum offload                  supported (computed in software)
//   txq wait-on-time offload                      none
#include "eth_internal.hpp"

#include <kova_internal/capability.hpp>

#include <kova/dev.h>
#include <kova/error.h>

using kova::sdk::capability_answer;
using kova::sdk::query_value;
namespace eth = kova::sdk::eth;

namespace {

uint32_t device_max_packet_size(const kova_devinfo *devinfo) noexcept
{
	char name[64] = {};
	if (kova_devinfo_get_iface_name(devinfo, name, sizeof(name)) != KOVA_SUCCESS)
		return eth::cap_min_max_packet_size;
	uint32_t const mtu = eth::iface_mtu(name);
	return mtu + 18 > eth::cap_min_max_packet_size ? mtu + 18 : eth::cap_min_max_packet_size;
}

} // namespace

KOVA_EXPORT kova_error kova_eth_rxq_cap_is_type_supported(const kova_devinfo *devinfo, uint32_t type,
							  uint32_t data_path_type)
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	bool const supported = (type == KOVA_ETH_RXQ_TYPE_REGULAR && data_path_type == KOVA_ETH_DATA_PATH_CPU) ||
			       (type == KOVA_ETH_RXQ_TYPE_CYCLIC && data_path_type == KOVA_ETH_DATA_PATH_GPU);
	return capability_answer("kova_eth_rxq_cap_is_type_supported",
				 supported ? KOVA_SUCCESS : KOVA_ERROR_NOT_SUPPORTED);
}

KOVA_EXPORT kova_error kova_eth_rxq_cap_get_max_burst_size(const kova_devinfo *devinfo, uint32_t *max_burst_size)
{
	return query_value(devinfo, "kova_eth_rxq_cap_get_max_burst_size", eth::cap_max_burst_size, max_burst_size);
}

KOVA_EXPORT kova_error kova_eth_rxq_cap_get_max_recv_buf_list_len(const kova_devinfo *devinfo,
								  uint32_t *max_recv_buf_list_len)
{
	return query_value(devinfo, "kova_eth_rxq_cap_get_max_recv_buf_list_len", eth::cap_max_recv_buf_list_len,
			   max_recv_buf_list_len);
}

KOVA_EXPORT kova_error kova_eth_rxq_cap_get_max_packet_size(const kova_devinfo *devinfo, uint32_t *max_packet_size)
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return query_value(devinfo, "kova_eth_rxq_cap_get_max_packet_size", device_max_packet_size(devinfo),
			   max_packet_size);
}

KOVA_EXPORT kova_error kova_eth_txq_cap_is_type_supported(const kova_devinfo *devinfo, uint32_t type,
							  uint32_t data_path_type)
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	bool const supported = type == KOVA_ETH_TXQ_TYPE_REGULAR &&
			       (data_path_type == KOVA_ETH_DATA_PATH_CPU || data_path_type == KOVA_ETH_DATA_PATH_GPU);
	return capability_answer("kova_eth_txq_cap_is_type_supported",
				 supported ? KOVA_SUCCESS : KOVA_ERROR_NOT_SUPPORTED);
}

KOVA_EXPORT kova_error kova_eth_txq_cap_get_max_burst_size(const kova_devinfo *devinfo,
							   uint32_t /*max_send_buf_list_len*/,
							   uint16_t /*max_lso_header_size*/, uint32_t *max_burst_size)
{
	return query_value(devinfo, "kova_eth_txq_cap_get_max_burst_size", eth::cap_max_burst_size, max_burst_size);
}

KOVA_EXPORT kova_error kova_eth_txq_cap_get_max_send_buf_list_len(const kova_devinfo *devinfo,
								  uint32_t *max_send_buf_list_len)
{
	return query_value(devinfo, "kova_eth_txq_cap_get_max_send_buf_list_len", eth::cap_max_send_buf_list_len,
			   max_send_buf_list_len);
}

KOVA_EXPORT kova_error kova_eth_txq_cap_get_max_lso_header_size(const kova_devinfo *devinfo,
								uint16_t *max_lso_header_size)
{
	return query_value(devinfo, "kova_eth_txq_cap_get_max_lso_header_size", eth::cap_max_lso_header_size,
			   max_lso_header_size);
}

KOVA_EXPORT kova_error kova_eth_txq_cap_get_max_lso_msg_size(const kova_devinfo *devinfo, uint32_t *max_lso_msg_size)
{
	return query_value(devinfo, "kova_eth_txq_cap_get_max_lso_msg_size", eth::cap_max_lso_msg_size,
			   max_lso_msg_size);
}

KOVA_EXPORT kova_error kova_eth_txq_cap_is_l3_chksum_offload_supported(const kova_devinfo *devinfo)
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return capability_answer("kova_eth_txq_cap_is_l3_chksum_offload_supported", KOVA_SUCCESS);
}

KOVA_EXPORT kova_error kova_eth_txq_cap_is_l4_chksum_offload_supported(const kova_devinfo *devinfo)
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return capability_answer("kova_eth_txq_cap_is_l4_chksum_offload_supported", KOVA_SUCCESS);
}

KOVA_EXPORT kova_error kova_eth_txq_cap_get_wait_on_time_offload_supported(const kova_devinfo *devinfo,
									   uint32_t *kind)
{
	return query_value(devinfo, "kova_eth_txq_cap_get_wait_on_time_offload_supported", KOVA_ETH_WAIT_ON_TIME_NONE,
			   kind);
}
