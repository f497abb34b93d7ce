// Device and representor enumeration and opening.
#include "device_table.hpp"

#include <kova_internal/capability.hpp>

#include <kova/dev.h>
#include <kova/error.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

using kova::sdk::control_call;

namespace {

// One block: a null-terminated array of entry pointers followed by the entries themselves, so
// that the array is released whole.
template <typename Entry>
Entry **make_list(const Entry *entries, uint32_t count) noexcept
{
	static_assert(std::is_trivially_destructible_v<Entry> && alignof(Entry) <= alignof(Entry *));
	std::size_t const pointers = sizeof(Entry *) * (count + std::size_t{1});
	void *block = ::operator new(pointers + sizeof(Entry) * count, std::nothrow);
	if (block == nullptr)
		return nullptr;
	auto **list = static_cast<Entry **>(block);
	auto *objects = reinterpret_cast<Entry *>(static_cast<std::byte *>(block) + pointers);
	for (uint32_t i = 0; i < count; ++i)
		list[i] = new (objects + i) Entry(entries[i]);
	list[count] = nullptr;
	return list;
}

kova_error copy_name(const char *name, char *out, uint32_t len) noexcept
{
	if (out == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	std::size_t const size = std::strlen(name) + 1;
	if (len < size)
		return KOVA_ERROR_INVALID_VALUE;
	std::memcpy(out, name, size);
	return KOVA_SUCCESS;
}

kova_error compare_address(const kova::sdk::pci_address &address, const char *text, uint8_t *equal) noexcept
{
	kova::sdk::pci_address parsed{};
	if (equal == nullptr || !kova::sdk::parse_pci_address(text, &parsed))
		return KOVA_ERROR_INVALID_VALUE;
	*equal = parsed == address ? 1 : 0;
	return KOVA_SUCCESS;
}

kova_error format_address(const kova::sdk::pci_address &address, char *out) noexcept
{
	if (out == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	std::snprintf(out, KOVA_DEVINFO_PCI_ADDR_SIZE, "%04x:%02x:%02x.%x", address.domain & 0xffffu, address.bus & 0xffu,
		      address.device & 0xffu, address.function & 0xfu);
	return KOVA_SUCCESS;
}

} // namespace

KOVA_EXPORT kova_error kova_devinfo_create_list(kova_devinfo ***list, uint32_t *count)
{
	if (list == nullptr || count == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_devinfo_create_list"))
		return forced;
	std::vector<kova_devinfo> const devices = kova::sdk::device_table_snapshot();
	kova_devinfo **made = make_list(devices.data(), static_cast<uint32_t>(devices.size()));
	if (made == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	*list = made;
	*count = static_cast<uint32_t>(devices.size());
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_devinfo_destroy_list(kova_devinfo **list)
{
	if (list == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	::operator delete(static_cast<void *>(list));
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_devinfo_is_equal_pci_addr(const kova_devinfo *devinfo, const char *pci_addr,
						      uint8_t *equal)
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return compare_address(devinfo->address, pci_addr, equal);
}

KOVA_EXPORT kova_error kova_devinfo_get_pci_addr_str(const kova_devinfo *devinfo, char *pci_addr_str)
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return format_address(devinfo->address, pci_addr_str);
}

KOVA_EXPORT kova_error kova_devinfo_get_ibdev_name(const kova_devinfo *devinfo, char *name, uint32_t len)
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return copy_name(devinfo->ibdev_name, name, len);
}

KOVA_EXPORT kova_error kova_devinfo_get_iface_name(const kova_devinfo *devinfo, char *name, uint32_t len)
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return copy_name(devinfo->iface_name, name, len);
}

KOVA_EXPORT kova_error kova_devinfo_rep_cap_is_filter_net_supported(const kova_devinfo *devinfo, uint8_t *supported)
{
	if (devinfo == nullptr || supported == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	uint64_t value = 0;
	kova_error const result = kova::sdk::capability_value("kova_devinfo_rep_cap_is_filter_net_supported",
							      devinfo->rep_filter_net_supported, &value);
	if (result != KOVA_SUCCESS)
		return result;
	*supported = value != 0 ? 1 : 0;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_dev_open(const kova_devinfo *devinfo, kova_dev **dev)
{
	if (devinfo == nullptr || dev == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_dev_open"))
		return forced;
	auto *opened = new (std::nothrow) kova_dev{*devinfo};
	if (opened == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	*dev = opened;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_dev_close(kova_dev *dev)
{
	if (dev == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_dev_close"))
		return forced;
	delete dev;
	return KOVA_SUCCESS;
}

KOVA_EXPORT const kova_devinfo *kova_dev_as_devinfo(const kova_dev *dev)
{
	return dev == nullptr ? nullptr : &dev->info;
}

KOVA_EXPORT kova_error kova_devinfo_rep_create_list(kova_dev *dev, int filter, kova_devinfo_rep ***list,
						    uint32_t *count)
{
	if (dev == nullptr || list == nullptr || count == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (filter != KOVA_DEVINFO_REP_FILTER_ALL && filter != KOVA_DEVINFO_REP_FILTER_EMULATED &&
	    filter != KOVA_DEVINFO_REP_FILTER_NET)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_devinfo_rep_create_list", true, static_cast<uint64_t>(filter)))
		return forced;
	if (filter == KOVA_DEVINFO_REP_FILTER_NET) {
		uint8_t supported = 0;
		kova_error const result = kova_devinfo_rep_cap_is_filter_net_supported(&dev->info, &supported);
		if (result != KOVA_SUCCESS)
			return result;
		if (supported == 0)
			return KOVA_ERROR_NOT_SUPPORTED;
	}
	// Every emulated representor is a network representor; there are no emulated functions.
	std::vector<kova_devinfo_rep> reps;
	if (filter != KOVA_DEVINFO_REP_FILTER_EMULATED) {
		for (uint32_t i = 0; i < dev->info.num_reps; ++i)
			reps.push_back(kova_devinfo_rep{dev->info.reps[i]});
	}
	kova_devinfo_rep **made = make_list(reps.data(), static_cast<uint32_t>(reps.size()));
	if (made == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	*list = made;
	*count = static_cast<uint32_t>(reps.size());
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_devinfo_rep_destroy_list(kova_devinfo_rep **list)
{
	if (list == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	::operator delete(static_cast<void *>(list));
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_devinfo_rep_is_equal_pci_addr(const kova_devinfo_rep *rep, const char *pci_addr,
							  uint8_t *equal)
{
	if (rep == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return compare_address(rep->address, pci_addr, equal);
}

KOVA_EXPORT kova_error kova_devinfo_rep_get_pci_addr_str(const kova_devinfo_rep *rep, char *pci_addr_str)
{
	if (rep == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	return format_address(rep->address, pci_addr_str);
}

KOVA_EXPORT kova_error kova_dev_rep_open(const kova_devinfo_rep *rep, kova_dev_rep **dev_rep)
{
	if (rep == nullptr || dev_rep == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_dev_rep_open"))
		return forced;
	auto *opened = new (std::nothrow) kova_dev_rep{*rep};
	if (opened == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	*dev_rep = opened;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_dev_rep_close(kova_dev_rep *dev_rep)
{
	if (dev_rep == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_dev_rep_close"))
		return forced;
	delete dev_rep;
	return KOVA_SUCCESS;
}
