#include "runtime_state.hpp"

#include "kova_exception.hpp"
#include "utility/kova_utils.hpp"

#include <kova/dev.h>
#include <kova/error.h>

namespace kova::bench {
namespace {

bool matches(const kova_devinfo *devinfo, const std::string &address)
{
	uint8_t equal = 0;
	if (kova_devinfo_is_equal_pci_addr(devinfo, address.c_str(), &equal) == KOVA_SUCCESS && equal != 0)
		return true;
	char name[256] = {};
	if (kova_devinfo_get_ibdev_name(devinfo, name, sizeof(name)) == KOVA_SUCCESS && address == name)
		return true;
	return kova_devinfo_get_iface_name(devinfo, name, sizeof(name)) == KOVA_SUCCESS && address == name;
}

} // namespace

runtime_state::~runtime_state()
{
	for (kova_dev *dev : m_devices)
		static_cast<void>(kova_dev_close(dev));
}

utility::span<kova_dev *> runtime_state::get_devices() const
{
	return {const_cast<kova_dev **>(m_devices.data()), m_devices.size()};
}

void runtime_state::open_device_and_representor(const std::string &address,
						const kova::optional<std::string> &representor)
{
	if (representor.has_value())
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "Representors are not available yet");
	auto list = utility::make_devinfo_list();
	for (kova_devinfo *devinfo : list) {
		if (!matches(devinfo, address))
			continue;
		m_devices.reserve(m_devices.size() + 1);
		kova_dev *dev = nullptr;
		if (kova_error const err = kova_dev_open(devinfo, &dev))
			KOVA_THROW(err, "Failed to open kova device");
		m_devices.push_back(dev);
		return;
	}
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "No suitable device found matching address: " + address);
}

} // namespace kova::bench
