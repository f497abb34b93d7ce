#include "companion/probes.hpp"

#include "kova_exception.hpp"
#include "utility/kova_utils.hpp"

#include <kova/dev.h>

#include <cstdio>
#include <memory>

namespace kova::bench::companion {
namespace {

struct dev_closer {
	void operator()(kova_dev *dev) const noexcept { kova_dev_close(dev); }
};
using dev_owner = std::unique_ptr<kova_dev, dev_closer>;

struct rep_list_destroyer {
	void operator()(kova_devinfo_rep **list) const noexcept { kova_devinfo_rep_destroy_list(list); }
};

bool has_representor(kova_dev *dev, const std::string &representor)
{
	kova_devinfo_rep **raw = nullptr;
	uint32_t count = 0;
	static_cast<void>(kova_devinfo_rep_create_list(dev, KOVA_DEVINFO_REP_FILTER_NET, &raw, &count));
	if (raw == nullptr)
		return false;
	std::unique_ptr<kova_devinfo_rep *, rep_list_destroyer> const list{raw};
	for (uint32_t i = 0; i != count; ++i) {
		uint8_t equal = 0;
		if (kova_devinfo_rep_is_equal_pci_addr(raw[i], representor.c_str(), &equal) == KOVA_SUCCESS && equal != 0)
			return true;
	}
	return false;
}

dev_owner find_device_with_representor(const std::string &representor)
{
	auto const devices = utility::make_devinfo_list();
	for (kova_devinfo *info : devices) {
		uint8_t supported = 0;
		if (kova_devinfo_rep_cap_is_filter_net_supported(info, &supported) != KOVA_SUCCESS || supported == 0)
			continue;
		kova_dev *raw = nullptr;
		if (kova_error const err = kova_dev_open(info, &raw))
			KOVA_THROW(err, "Failed to open kova device");
		dev_owner dev{raw};
		if (has_representor(dev.get(), representor))
			return dev;
	}
	return nullptr;
}

bool is_local_device(const std::string &candidate)
{
	try {
		auto const devices = utility::make_devinfo_list();
		for (kova_devinfo *info : devices) {
			uint8_t equal = 0;
			if (kova_devinfo_is_equal_pci_addr(info, candidate.c_str(), &equal) == KOVA_SUCCESS && equal != 0)
				return true;
		}
	} catch (const kova::exception &) {
		// A list that cannot be made matches nothing.
	}
	return false;
}

} // namespace

void identify_dpu_device_address_matching_representor(const std::string &representor)
{
	dev_owner const dev = find_device_with_representor(representor);
	if (dev == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "No device found which supports the given representor");
	char address[KOVA_DEVINFO_PCI_ADDR_SIZE] = {};
	if (kova_error const err = kova_devinfo_get_pci_addr_str(kova_dev_as_devinfo(dev.get()), address))
		KOVA_THROW(err, "Unable to read the device's PCI address");
	std::printf("%s\n", address);
}

void select_representor_address_visible_to_host(const std::vector<std::string> &candidates)
{
	for (std::string const &candidate : candidates) {
		if (is_local_device(candidate)) {
			std::printf("%s\n", candidate.c_str());
			return;
		}
	}
	KOVA_THROW(KOVA_ERROR_NOT_FOUND, "No device found which supports any of the given representors");
}

} // namespace kova::bench::companion
