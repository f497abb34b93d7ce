#include "runtime_state.hpp"

#include "companion/api/async_context.hpp"
#include "companion/api/connection.hpp"
#include "companion/remote_control.hpp"
#include "dl/kova_tessel_api.hpp"
#include "kova_exception.hpp"
#include "utility/dpdk_common.hpp"
#include "utility/kova_utils.hpp"

#include <kova/dev.h>
#include <kova/error.h>

#include <cstring>
#include <utility>

namespace kova::bench {
namespace {

bool has_name(const kova_devinfo *devinfo, const std::string &name,
	      kova_error (*query)(const kova_devinfo *, char *, uint32_t))
{
	char text[KOVA_DEVINFO_NAME_SIZE] = {};
	if (query(devinfo, text, sizeof(text)) != KOVA_SUCCESS)
		return false;
	return name == text;
}

bool matches_address(const kova_devinfo *devinfo, const std::string &address)
{
	uint8_t equal = 0;
	if (kova_devinfo_is_equal_pci_addr(devinfo, address.c_str(), &equal) == KOVA_SUCCESS && equal != 0)
		return true;
	return has_name(devinfo, address, &kova_devinfo_get_ibdev_name) ||
	       has_name(devinfo, address, &kova_devinfo_get_iface_name);
}

bool can_filter_net_representors(const kova_devinfo *devinfo)
{
	uint8_t supported = 0;
	return kova_devinfo_rep_cap_is_filter_net_supported(devinfo, &supported) == KOVA_SUCCESS && supported != 0;
}

const utility::remote_mmap_definition &definition_at(const std::vector<utility::remote_mmap_definition> &definitions,
						      uint32_t index, const char *empty_message)
{
	if (definitions.empty())
		KOVA_THROW(KOVA_ERROR_BAD_STATE, empty_message);
	return definitions[index % definitions.size()];
}

} // namespace

kova_error runtime_state::empty_deleter(kova_gpu * /*gpu*/) noexcept
{
	return KOVA_SUCCESS;
}

runtime_state::runtime_state() = default;

runtime_state::~runtime_state()
{
	if (m_representor != nullptr) {
		static_cast<void>(kova_dev_rep_close(m_representor));
		m_representor = nullptr;
	}
	for (kova_dev *dev : m_devices)
		static_cast<void>(kova_dev_close(dev));
	m_devices.clear();

	if (m_gpu != nullptr)
		static_cast<void>(m_gpu_deleter(m_gpu));
	// Members go in reverse order of declaration: DPDK context, request context, connection, then
	// the remote companion, which ends the remote process only once the connection is closed.
}

utility::span<kova_dev *> runtime_state::get_devices() const
{
	// The handles are shared with every reader; only the list itself is the state's own.
	return {const_cast<kova_dev **>(m_devices.data()), m_devices.size()};
}

void runtime_state::open_device_and_representor(const std::string &address,
						 const kova::optional<std::string> &representor)
{
	auto devices = utility::make_devinfo_list();
	const kova_devinfo *found = nullptr;
	for (kova_devinfo *devinfo : devices) {
		if (representor.has_value() && !can_filter_net_representors(devinfo))
			continue;
		if (matches_address(devinfo, address)) {
			found = devinfo;
			break;
		}
	}
	if (found == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "No suitable device found matching address: " + address);

	m_devices.reserve(m_devices.size() + 1);
	kova_dev *dev = nullptr;
	if (kova_error const err = kova_dev_open(found, &dev))
		KOVA_THROW(err, "Failed to open kova device");
	m_devices.push_back(dev);

	if (representor.has_value())
		open_representor(*representor);
}

void runtime_state::open_representor(const std::string &address)
{
	kova_dev *dev = m_devices.empty() ? nullptr : m_devices.back();
	auto representors = utility::make_devinfo_rep_list_from_dev(dev);
	const kova_devinfo_rep *found = nullptr;
	for (kova_devinfo_rep *rep : representors) {
		uint8_t equal = 0;
		if (kova_devinfo_rep_is_equal_pci_addr(rep, address.c_str(), &equal) == KOVA_SUCCESS && equal != 0) {
			found = rep;
			break;
		}
	}
	if (found == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "No suitable representor found");

	kova_dev_rep *opened = nullptr;
	if (kova_error const err = kova_dev_rep_open(found, &opened))
		KOVA_THROW(err, "Unable to open device rep");
	if (m_representor != nullptr)
		static_cast<void>(kova_dev_rep_close(m_representor));
	m_representor = opened;
}

void runtime_state::open_representor(kova_dev *dev)
{
	kova_devinfo_rep **list = nullptr;
	uint32_t count = 0;
	if (kova_error const err = kova_devinfo_rep_create_list(dev, KOVA_DEVINFO_REP_FILTER_ALL, &list, &count))
		KOVA_THROW(err, "Unable to create representor dev list");
	utility::devinfo_rep_list const representors{list, count};
	if (representors.size() == 0)
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "Unable to find representor dev");

	kova_dev_rep *opened = nullptr;
	if (kova_error const err = kova_dev_rep_open(*representors.begin(), &opened))
		KOVA_THROW(err, "Unable to open representor dev");
	if (m_representor != nullptr)
		static_cast<void>(kova_dev_rep_close(m_representor));
	m_representor = opened;
}

kova_dev_rep *runtime_state::get_representor() const noexcept
{
	return m_representor;
}

void runtime_state::set_input_remote_mmap_definitions(std::vector<utility::remote_mmap_definition> definitions)
{
	m_input_remote_mmaps = std::move(definitions);
}

void runtime_state::set_output_remote_mmap_definitions(std::vector<utility::remote_mmap_definition> definitions)
{
	m_output_remote_mmaps = std::move(definitions);
}

const std::vector<utility::remote_mmap_definition> &runtime_state::get_input_remote_mmap_definitions() const
{
	return m_input_remote_mmaps;
}

const std::vector<utility::remote_mmap_definition> &runtime_state::get_output_remote_mmap_definitions() const
{
	return m_output_remote_mmaps;
}

const utility::remote_mmap_definition &runtime_state::get_input_remote_mmap_definition(uint32_t index) const
{
	return definition_at(m_input_remote_mmaps, index,
			     "Tried to use an input remote mmap but no input mmaps have been created");
}

const utility::remote_mmap_definition &runtime_state::get_output_remote_mmap_definition(uint32_t index) const
{
	return definition_at(m_output_remote_mmaps, index,
			     "Tried to use an output remote mmap but no output mmaps have been created");
}

void runtime_state::add_output_remote_mmap_definition(utility::remote_mmap_definition definition)
{
	m_output_remote_mmaps.push_back(std::move(definition));
}

void runtime_state::add_output_remote_mmap_definitions(std::vector<utility::remote_mmap_definition> definitions)
{
	for (auto &definition : definitions)
		m_output_remote_mmaps.push_back(std::move(definition));
}

void runtime_state::set_remote_companion_lifetime_control(
	std::unique_ptr<companion::remote_control::remote_companion> companion)
{
	m_remote_companion = std::move(companion);
}

void runtime_state::set_companion_connection(std::unique_ptr<companion::api::connection> connection)
{
	// The previous connection outlives the previous context, which refers to it.
	auto previous = std::move(m_connection);
	m_connection = std::move(connection);
	m_connection_async = std::make_unique<companion::api::async::context>(m_connection.get());
	previous.reset();
}

companion::api::connection *runtime_state::get_companion_connection() const noexcept
{
	return m_connection.get();
}

companion::api::async::context *runtime_state::get_companion_connection_async() const noexcept
{
	return m_connection_async.get();
}

uint64_t runtime_state::get_next_api_message_seq_num() const noexcept
{
	return m_message_seq_num.fetch_add(1, std::memory_order_relaxed) + 1;
}

void runtime_state::prepare_dpdk_ctx()
{
	if (m_dpdk_ctx)
		return;
	if (m_devices.empty())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to create dpdk context, no devices are created");
	auto context = utility::create_dpdk_context(m_devices.front());
	m_dpdk_ctx = std::move(context);
	m_dpdk_ctx->start_dev_port();
}

utility::dpdk_context *runtime_state::get_dpdk_ctx() const noexcept
{
	return m_dpdk_ctx.get();
}

void runtime_state::open_gpu_device(const std::string &address)
{
	prepare_dpdk_ctx();

	const dl::kova_tessel_api *api = dl::kova_tessel_api::singleton();
	if (api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_tessel library is not installed");

	kova_gpu *gpu = nullptr;
	if (kova_error const err = api->kova_gpu_create(address.c_str(), &gpu))
		KOVA_THROW(err, "Unable to get GPU handle");

	if (m_gpu != nullptr)
		static_cast<void>(m_gpu_deleter(m_gpu));
	m_gpu = gpu;
	m_gpu_deleter = api->kova_gpu_destroy;
}

kova_gpu *runtime_state::get_gpu_device() const noexcept
{
	return m_gpu;
}

} // namespace kova::bench
