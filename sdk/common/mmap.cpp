// Memory maps over local memory.
#include "mmap_internal.hpp"

#include <kova_internal/capability.hpp>
#include <kova_internal/sdk_log.hpp>

#include <kova/error.h>
#include <kova/mmap.h>

#include <algorithm>
#include <cstdint>
#include <new>

using kova::sdk::control_call;

KOVA_EXPORT kova_error kova_mmap_create(kova_mmap **mmap)
{
	if (mmap == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_create"))
		return forced;
	auto *made = new (std::nothrow) kova_mmap{};
	if (made == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	*mmap = made;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_mmap_set_max_num_devices(kova_mmap *mmap, uint32_t max_num_devices)
{
	if (mmap == nullptr || max_num_devices == 0)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_set_max_num_devices", true, max_num_devices))
		return forced;
	if (mmap->started || max_num_devices < mmap->devices.size())
		return KOVA_ERROR_BAD_STATE;
	mmap->max_num_devices = max_num_devices;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_mmap_add_dev(kova_mmap *mmap, kova_dev *dev)
{
	if (mmap == nullptr || dev == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_add_dev"))
		return forced;
	if (mmap->started)
		return KOVA_ERROR_BAD_STATE;
	if (std::find(mmap->devices.begin(), mmap->devices.end(), dev) != mmap->devices.end())
		return KOVA_ERROR_ALREADY_EXIST;
	if (mmap->devices.size() >= mmap->max_num_devices)
		return KOVA_ERROR_NO_MEMORY;
	try {
		mmap->devices.push_back(dev);
	} catch (const std::bad_alloc &) {
		return KOVA_ERROR_NO_MEMORY;
	}
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_mmap_set_memrange(kova_mmap *mmap, void *addr, size_t len)
{
	if (mmap == nullptr || addr == nullptr || len == 0 ||
	    reinterpret_cast<uintptr_t>(addr) > UINTPTR_MAX - (len - 1))
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_set_memrange", true, len))
		return forced;
	if (mmap->started)
		return KOVA_ERROR_BAD_STATE;
	mmap->addr = static_cast<std::byte *>(addr);
	mmap->len = len;
	mmap->range_set = true;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_mmap_set_permissions(kova_mmap *mmap, uint32_t access_mask)
{
	if (mmap == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_set_permissions", true, access_mask))
		return forced;
	if (mmap->started)
		return KOVA_ERROR_BAD_STATE;
	mmap->permissions = access_mask;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_mmap_start(kova_mmap *mmap)
{
	if (mmap == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_start"))
		return forced;
	if (!mmap->range_set || mmap->started)
		return KOVA_ERROR_BAD_STATE;
	mmap->started = true;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_mmap_get_memrange(const kova_mmap *mmap, void **addr, size_t *len)
{
	if (mmap == nullptr || addr == nullptr || len == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (!mmap->range_set)
		return KOVA_ERROR_BAD_STATE;
	*addr = mmap->addr;
	*len = mmap->len;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_mmap_create_from_export(const void * /*opts*/, const void *export_desc,
						    size_t export_desc_len, kova_dev *dev, kova_mmap **mmap)
{
	if (export_desc == nullptr || export_desc_len == 0 || dev == nullptr || mmap == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_create_from_export", true, export_desc_len))
		return forced;
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT kova_error kova_mmap_destroy(kova_mmap *mmap)
{
	if (mmap == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_destroy"))
		return forced;
	if (uint64_t const outstanding = mmap->num_bufs.load(std::memory_order_acquire); outstanding != 0) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_mmap_destroy: %llu buffers over the map are outstanding",
			       static_cast<unsigned long long>(outstanding));
		return KOVA_ERROR_BAD_STATE;
	}
	delete mmap;
	return KOVA_SUCCESS;
}
