// The emulator's GPU table: one GPU.
#include <kova_internal/rhun_runtime.hpp>

#include <cstdio>
#include <cstring>

namespace kova::sdk::rhun {
namespace {

// Reads "BB:DD.F" (domain 0) or "DDDD:BB:DD.F" in hexadecimal; false for anything else.
bool parse(const char *text, unsigned *domain, unsigned *bus, unsigned *device, unsigned *function) noexcept
{
	int used = 0;
	*domain = 0;
	std::size_t const len = std::strlen(text);
	if (len == 12) {
		if (std::sscanf(text, "%4x:%2x:%2x.%1x%n", domain, bus, device, function, &used) != 4)
			return false;
	} else if (len == 7) {
		if (std::sscanf(text, "%2x:%2x.%1x%n", bus, device, function, &used) != 3)
			return false;
	} else {
		return false;
	}
	return static_cast<std::size_t>(used) == len && *device <= 0x1f && *function <= 7;
}

} // namespace

bool is_known_gpu(const char *pci_address) noexcept
{
	unsigned domain = 0;
	unsigned bus = 0;
	unsigned device = 0;
	unsigned function = 0;
	if (pci_address == nullptr || !parse(pci_address, &domain, &bus, &device, &function))
		return false;
	return domain == 0 && bus == 0x65 && device == 0 && function == 0;
}

} // namespace kova::sdk::rhun
