// Tests for utility/dpdk_common over the DPDK bridge and Debian's DPDK. DPDK's environment is initialised once
// per process, so this program holds one test. It needs root and free hugepages; with no hugepages reserved
// at all it checks that the context fails with DPDK's message.
#include "utility/dpdk_common.hpp"

#include "dl/kova_dpdk_bridge_api.hpp"
#include "kova_exception.hpp"
#include "utility/kova_utils.hpp"
#include "support/kova_throws.hpp"

#include <kova/dev.h>

#include <rte_eal.h>
#include <rte_errno.h>
#include <rte_ethdev.h>
#include <rte_mbuf.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <string>
#include <type_traits>

namespace kova::bench::utility {
namespace {

// The table's DPDK members have DPDK's own types.
#define KOVA_TEST_SAME_TYPE(name)                                                                              \
	static_assert(std::is_same_v<decltype(dl::kova_dpdk_bridge_api::name), decltype(&::name)>, #name);
KOVA_DPDK_BRIDGE_API_FUNCTIONS(KOVA_TEST_SAME_TYPE)

static_assert(sizeof(rte_eth_dev_info) <= dpdk_eth_dev_info_room);
static_assert(sizeof(rte_eth_conf) <= dpdk_eth_conf_room);

// The field positions the GPU Ethernet queues write and read without DPDK's headers.
static_assert(offsetof(rte_eth_dev_info, max_mtu) == dpdk_layout::info_max_mtu);
static_assert(offsetof(rte_eth_dev_info, max_rx_queues) == dpdk_layout::info_max_rx_queues);
static_assert(offsetof(rte_eth_dev_info, max_tx_queues) == dpdk_layout::info_max_tx_queues);
static_assert(offsetof(rte_eth_dev_info, tx_offload_capa) == dpdk_layout::info_tx_offload_capa);
static_assert(offsetof(rte_eth_dev_info, default_txconf) == dpdk_layout::info_default_txconf);
static_assert(sizeof(rte_eth_txconf) == dpdk_layout::txconf_size);
static_assert(offsetof(rte_eth_txconf, offloads) == dpdk_layout::txconf_offloads);
static_assert(offsetof(rte_eth_conf, rxmode.mtu) == dpdk_layout::conf_rxmode_mtu);
static_assert(offsetof(rte_eth_conf, txmode.offloads) == dpdk_layout::conf_txmode_offloads);

constexpr uint64_t checksum_offloads =
	RTE_ETH_TX_OFFLOAD_IPV4_CKSUM | RTE_ETH_TX_OFFLOAD_UDP_CKSUM | RTE_ETH_TX_OFFLOAD_TCP_CKSUM;

// The bridge presents the device's port: the checksum offloads its Ethernet queues do in software and
// an MTU of up to 9000; what the port does not offer is refused with -EINVAL and named on stderr.
void check_presented_port(const dl::kova_dpdk_bridge_api &api, uint16_t port)
{
	rte_eth_dev_info info{};
	ASSERT_EQ(api.rte_eth_dev_info_get(port, &info), 0);
	EXPECT_EQ(info.tx_offload_capa & checksum_offloads, checksum_offloads);
	EXPECT_EQ(info.max_mtu, 9000);
	EXPECT_EQ(info.max_rx_queues, 16);
	EXPECT_EQ(info.max_tx_queues, 16);
	ASSERT_EQ(info.tx_offload_capa & RTE_ETH_TX_OFFLOAD_VLAN_INSERT, 0U);

	struct row {
		const char *what;
		uint32_t mtu;
		uint64_t offloads;
		uint16_t queues;
		int result;
		const char *named; // in the bridge's log line; null: none expected
	};
	for (row const &r : {row{"as the GPU queues ask", 2048, checksum_offloads, 4, 0, nullptr},
			     row{"largest MTU", 9000, checksum_offloads, 16, 0, nullptr},
			     row{"MTU above the maximum", 9001, checksum_offloads, 1, -EINVAL, "does not offer an MTU of 9001"},
			     row{"offload not offered", 2048, RTE_ETH_TX_OFFLOAD_VLAN_INSERT | checksum_offloads, 1, -EINVAL,
				 "does not offer the transmit offloads 0x1"}}) {
		SCOPED_TRACE(r.what);
		rte_eth_conf conf{};
		conf.rxmode.mtu = r.mtu;
		conf.txmode.offloads = r.offloads;
		testing::internal::CaptureStderr();
		EXPECT_EQ(api.rte_eth_dev_configure(port, r.queues, r.queues, &conf), r.result);
		std::string const log = testing::internal::GetCapturedStderr();
		if (r.named != nullptr) {
			EXPECT_NE(log.find(r.named), std::string::npos) << log;
		}
	}
	rte_eth_conf conf{};
	conf.txmode.offloads = checksum_offloads;
	ASSERT_EQ(api.rte_eth_dev_configure(port, 1, 1, &conf), 0);
	rte_eth_txconf txconf = info.default_txconf;
	txconf.offloads = checksum_offloads;
	EXPECT_EQ(api.rte_eth_tx_queue_setup(port, 0, 512, 0, &txconf), 0);
	txconf.offloads |= RTE_ETH_TX_OFFLOAD_VLAN_INSERT;
	testing::internal::CaptureStderr();
	EXPECT_EQ(api.rte_eth_tx_queue_setup(port, 0, 512, 0, &txconf), -EINVAL);
	std::string const log = testing::internal::GetCapturedStderr();
	EXPECT_NE(log.find("does not offer the transmit offloads 0x1"), std::string::npos) << log;
	// Back to the port the context configured.
	rte_eth_conf none{};
	EXPECT_EQ(api.rte_eth_dev_configure(port, 0, 0, &none), 0);
}

using device_owner = std::unique_ptr<kova_dev, decltype(&kova_dev_close)>;

// Opens the emulated device at the PCI address.
device_owner open_device(const char *pci_address)
{
	for (kova_devinfo *info : make_devinfo_list()) {
		uint8_t equal = 0;
		kova_dev *dev = nullptr;
		if (kova_devinfo_is_equal_pci_addr(info, pci_address, &equal) == KOVA_SUCCESS && equal != 0 &&
		    kova_dev_open(info, &dev) == KOVA_SUCCESS)
			return {dev, &kova_dev_close};
	}
	throw std::runtime_error{std::string{"no device at "} + pci_address};
}

long free_hugepages()
{
	std::ifstream file{"/sys/kernel/mm/hugepages/hugepages-2048kB/free_hugepages"};
	long pages = 0;
	return file >> pages ? pages : 0;
}

TEST(dpdk_context_dpdk, the_device_s_port_is_probed_started_once_and_dpdk_cleaned_up)
{
	if (::geteuid() != 0)
		GTEST_SKIP() << "DPDK's environment needs root";
	long const pages = free_hugepages();
	auto const device = open_device("0000:03:00.0");
	kova_dev *const dev = device.get();

	if (pages == 0) {
		kova::exception const error = kova::test::thrown_by([&] { (void)create_dpdk_context(dev); });
		EXPECT_EQ(error.code(), KOVA_ERROR_DRIVER);
		EXPECT_EQ(std::string{error.what()}.rfind("dpdk err: ", 0), 0U) << error.what();
		return;
	}
	if (pages < 64)
		GTEST_SKIP() << "only " << pages << " free hugepages";

	auto const *api = dl::kova_dpdk_bridge_api::singleton();
	ASSERT_NE(api, nullptr);
	auto context = create_dpdk_context(dev);
	uint16_t const port = context->get_dev_port_id();
	EXPECT_EQ(rte_eth_dev_is_valid_port(port), 1);
	EXPECT_FALSE(context->is_dev_port_started());

	// The device keeps its port: probing again, also through another handle of it, gives the same one.
	auto const same_device = open_device("03:00.0");
	EXPECT_EQ(api->kova_dpdk_port_probe(same_device.get(), "dv_flow_en=2"), KOVA_SUCCESS);
	uint16_t again = 0;
	EXPECT_EQ(api->kova_dpdk_get_first_port_id(same_device.get(), &again), KOVA_SUCCESS);
	EXPECT_EQ(again, port);
	EXPECT_EQ(rte_eth_dev_count_avail(), 1);
	auto const other_device = open_device("0000:03:00.1");
	EXPECT_EQ(api->kova_dpdk_get_first_port_id(other_device.get(), &again), KOVA_ERROR_NOT_FOUND);

	context->start_dev_port();
	EXPECT_TRUE(context->is_dev_port_started());
	rte_eth_conf conf{};
	EXPECT_EQ(api->rte_eth_dev_configure(port, 0, 0, &conf), -EBUSY) << "a started port cannot be configured";

	// Stopped behind the context's back, the port stays stopped: the second start calls nothing.
	EXPECT_EQ(api->rte_eth_dev_stop(port), 0);
	context->start_dev_port();
	EXPECT_EQ(api->rte_eth_dev_configure(port, 0, 0, &conf), 0);
	EXPECT_EQ(api->rte_eth_dev_stop(port), 0);
	check_presented_port(*api, port);

	testing::internal::CaptureStderr();
	context.reset();
	std::string const errors = testing::internal::GetCapturedStderr();
	EXPECT_EQ(errors.find("dpdk cleanup failed"), std::string::npos) << errors;
}

} // namespace
} // namespace kova::bench::utility
