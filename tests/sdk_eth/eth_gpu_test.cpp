// The Ethernet stand-in's GPU side that needs no interface: the cyclic packet memory estimate and the
// refusals of the GPU calls.
#include <kova/error.h>
#include <kova/eth.h>

#include <gtest/gtest.h>

#include <cstdint>

namespace kova::sdk_eth_test {
namespace {

TEST(eth_gpu, cyclic_packet_memory_holds_a_burst_or_the_rate_window_in_whole_packets)
{
	struct row {
		uint32_t type;
		uint32_t rate_mbps;
		uint16_t time_us;
		uint32_t max_packet_size;
		uint32_t max_burst_size;
		kova_error result;
		uint32_t size;
	};
	row const rows[] = {
		{KOVA_ETH_RXQ_TYPE_CYCLIC, 0, 0, 16384, 16, KOVA_SUCCESS, 16 * 16384},
		{KOVA_ETH_RXQ_TYPE_CYCLIC, 0, 0, 2048, 0, KOVA_SUCCESS, 2048},
		// 1000 Mb/s for 100 us: 12500 bytes, 7 packets of 2048.
		{KOVA_ETH_RXQ_TYPE_CYCLIC, 1000, 100, 2048, 1, KOVA_SUCCESS, 7 * 2048},
		{KOVA_ETH_RXQ_TYPE_CYCLIC, 1000, 100, 2048, 64, KOVA_SUCCESS, 64 * 2048},
		{KOVA_ETH_RXQ_TYPE_CYCLIC, 0, 0, 65536, 65536, KOVA_ERROR_INVALID_VALUE, 0},
		{KOVA_ETH_RXQ_TYPE_CYCLIC, 0, 0, 0, 16, KOVA_ERROR_INVALID_VALUE, 0},
		{KOVA_ETH_RXQ_TYPE_REGULAR, 0, 0, 2048, 16, KOVA_ERROR_INVALID_VALUE, 0},
	};
	for (row const &r : rows) {
		SCOPED_TRACE(std::to_string(r.rate_mbps) + " Mb/s, " + std::to_string(r.time_us) + " us, " +
			     std::to_string(r.max_packet_size) + " x " + std::to_string(r.max_burst_size));
		uint32_t size = 7;
		EXPECT_EQ(kova_eth_rxq_estimate_packet_buf_size(r.type, r.rate_mbps, r.time_us, r.max_packet_size,
								r.max_burst_size, &size),
			  r.result);
		EXPECT_EQ(size, r.result == KOVA_SUCCESS ? r.size : 7U);
	}
	EXPECT_EQ(kova_eth_rxq_estimate_packet_buf_size(KOVA_ETH_RXQ_TYPE_CYCLIC, 0, 0, 2048, 1, nullptr),
		  KOVA_ERROR_INVALID_VALUE);
}

TEST(eth_gpu, gpu_calls_refuse_missing_arguments)
{
	kova_gpu_eth_rxq *rx = nullptr;
	kova_gpu_eth_txq *tx = nullptr;
	EXPECT_EQ(kova_eth_rxq_get_gpu_handle(nullptr, &rx), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_eth_txq_get_gpu_handle(nullptr, &tx), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_eth_rxq_set_pkt_buf(nullptr, nullptr, 0, 1), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_eth_txq_gpu_event_error_send_packet_register(nullptr, nullptr, kova_data{}),
		  KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(rx, nullptr);
	EXPECT_EQ(tx, nullptr);
}

} // namespace
} // namespace kova::sdk_eth_test
