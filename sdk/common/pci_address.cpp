#include "pci_address.hpp"

#include <cstring>

namespace kova::sdk {
namespace {

int hex_value(char c) noexcept
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// Reads exactly `digits` hexadecimal digits.
bool read_hex(const char *text, int digits, unsigned *value) noexcept
{
	unsigned result = 0;
	for (int i = 0; i < digits; ++i) {
		int const v = hex_value(text[i]);
		if (v < 0)
			return false;
		result = result * 16 + static_cast<unsigned>(v);
	}
	*value = result;
	return true;
}

} // namespace

bool parse_pci_address(const char *text, pci_address *address) noexcept
{
	if (text == nullptr || address == nullptr)
		return false;
	std::size_t const length = std::strlen(text);
	unsigned domain = 0;
	if (length == 12) {
		if (!read_hex(text, 4, &domain) || text[4] != ':')
			return false;
		text += 5;
	} else if (length != 7) {
		return false;
	}
	unsigned bus = 0;
	unsigned device = 0;
	unsigned function = 0;
	if (!read_hex(text, 2, &bus) || text[2] != ':' || !read_hex(text + 3, 2, &device) || text[5] != '.' ||
	    !read_hex(text + 6, 1, &function))
		return false;
	if (device > 0x1f || function > 7)
		return false;
	*address = pci_address{static_cast<uint16_t>(domain), static_cast<uint8_t>(bus), static_cast<uint8_t>(device),
			       static_cast<uint8_t>(function)};
	return true;
}

} // namespace kova::sdk
