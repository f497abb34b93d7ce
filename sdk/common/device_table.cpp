#include "device_table.hpp"

#include <cstring>
#include <mutex>
#include <utility>

namespace kova::sdk {
namespace {

kova_devinfo make_device(pci_address address, const char *ibdev, const char *iface, pci_address rep)
{
	kova_devinfo info{};
	info.address = address;
	std::strncpy(info.ibdev_name, ibdev, sizeof(info.ibdev_name) - 1);
	std::strncpy(info.iface_name, iface, sizeof(info.iface_name) - 1);
	info.rep_filter_net_supported = 1;
	info.num_reps = 1;
	info.reps[0] = rep;
	return info;
}

struct device_table {
	std::mutex mutex;
	std::vector<kova_devinfo> devices = default_device_table();
};

device_table &table()
{
	static device_table instance;
	return instance;
}

} // namespace

std::vector<kova_devinfo> default_device_table()
{
	return {
		make_device({0, 3, 0, 0}, "kova_0", "kovap0", {0, 3, 0, 2}),
		make_device({0, 3, 0, 1}, "kova_1", "kovap1", {0, 3, 0, 3}),
	};
}

std::vector<kova_devinfo> device_table_snapshot()
{
	device_table &t = table();
	std::lock_guard const lock{t.mutex};
	return t.devices;
}

void device_table_replace(std::vector<kova_devinfo> devices)
{
	device_table &t = table();
	std::lock_guard const lock{t.mutex};
	t.devices = std::move(devices);
}

} // namespace kova::sdk
