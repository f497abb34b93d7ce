// The DPDK context over the DPDK bridge's table.
#include "utility/dpdk_common.hpp"

#include "dl/kova_dpdk_bridge_api.hpp"
#include "kova_exception.hpp"

#include <kova/error.h>

#include <array>
#include <cstdio>
#include <string>

namespace kova::bench::utility {

namespace {

const dl::kova_dpdk_bridge_api &get_api_or_throw()
{
	const dl::kova_dpdk_bridge_api *const api = dl::kova_dpdk_bridge_api::singleton();
	if (api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_dpdk_bridge library is not installed");
	return *api;
}

// Zero-filled room for a DPDK structure of at most Size bytes.
template <std::size_t Size>
struct dpdk_struct_room {
	alignas(64) std::array<std::byte, Size> bytes{};

	template <typename T>
	T *as()
	{
		return reinterpret_cast<T *>(bytes.data());
	}
};

class dpdk_context_impl final : public dpdk_context {
public:
	explicit dpdk_context_impl(kova_dev *dev);
	~dpdk_context_impl() override;
	dpdk_context_impl(const dpdk_context_impl &) = delete;
	dpdk_context_impl &operator=(const dpdk_context_impl &) = delete;
	dpdk_context_impl(dpdk_context_impl &&) = delete;
	dpdk_context_impl &operator=(dpdk_context_impl &&) = delete;

	[[nodiscard]] uint16_t get_dev_port_id() const override { return m_port_id; }
	[[nodiscard]] bool is_dev_port_started() const override { return m_port_started; }
	void start_dev_port() override;

private:
	// rte_eal_cleanup; a failure is printed, not thrown.
	void cleanup_eal() const noexcept;
	[[nodiscard]] std::string dpdk_text(int result) const { return m_api->rte_strerror(-result); }

	const dl::kova_dpdk_bridge_api *m_api;
	kova_dev *m_dev;
	bool m_port_started{false};
	uint16_t m_port_id{0};
};

dpdk_context_impl::dpdk_context_impl(kova_dev *dev) : m_api{&get_api_or_throw()}, m_dev{dev}
{
	// No program name, no PCI device (none at 00:00.0), and no files left behind.
	char program[] = "";
	char allow[] = "-a";
	char no_device[] = "00:00.0";
	char in_memory[] = "--in-memory";
	std::array<char *, 5> argv{program, allow, no_device, in_memory, nullptr};
	int const init = m_api->rte_eal_init(4, argv.data());
	if (init < 0)
		KOVA_THROW(KOVA_ERROR_DRIVER, "dpdk err: " + dpdk_text(init));

	// From here on the environment is ours: a failure cleans it up before the exception leaves.
	kova_error const probe = m_api->kova_dpdk_port_probe(m_dev, "dv_flow_en=2");
	if (probe != KOVA_SUCCESS) {
		cleanup_eal();
		KOVA_THROW(probe, std::string{"dpdk port probe failed: "} + kova_error_get_name(probe));
	}
	kova_error const port = m_api->kova_dpdk_get_first_port_id(m_dev, &m_port_id);
	if (port != KOVA_SUCCESS) {
		cleanup_eal();
		KOVA_THROW(port, std::string{"dpdk port probe get port id failed: "} + kova_error_get_name(port));
	}
}

dpdk_context_impl::~dpdk_context_impl()
{
	cleanup_eal();
}

void dpdk_context_impl::cleanup_eal() const noexcept
{
	int const result = m_api->rte_eal_cleanup();
	if (result != 0)
		std::fprintf(stderr, "dpdk cleanup failed: %s", m_api->rte_strerror(-result));
}

void dpdk_context_impl::start_dev_port()
{
	if (m_port_started)
		return;

	dpdk_struct_room<dpdk_eth_dev_info_room> info;
	int result = m_api->rte_eth_dev_info_get(m_port_id, info.as<rte_eth_dev_info>());
	if (result != 0)
		KOVA_THROW(KOVA_ERROR_DRIVER, "dpdk eth dev info get failed: " + dpdk_text(result));

	dpdk_struct_room<dpdk_eth_conf_room> conf;
	result = m_api->rte_eth_dev_configure(m_port_id, 0, 0, conf.as<const rte_eth_conf>());
	if (result != 0)
		KOVA_THROW(KOVA_ERROR_DRIVER, "dpdk eth dev configure failed: " + dpdk_text(result));

	result = m_api->rte_eth_dev_start(m_port_id);
	if (result != 0)
		KOVA_THROW(KOVA_ERROR_DRIVER, "dpdk eth dev start failed: " + dpdk_text(result));

	m_port_started = true;
}

} // namespace

std::unique_ptr<dpdk_context> create_dpdk_context(kova_dev *dev)
{
	return std::make_unique<dpdk_context_impl>(dev);
}

} // namespace kova::bench::utility
