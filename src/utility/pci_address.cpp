#include "utility/pci_address.hpp"

#include <cctype>

namespace kova::bench::utility {
namespace {

bool is_hex(const std::string &text, size_t begin, size_t count)
{
	for (size_t i = begin; i < begin + count; ++i) {
		if (std::isxdigit(static_cast<unsigned char>(text[i])) == 0)
			return false;
	}
	return true;
}

} // namespace

bool is_pci_address(const std::string &text)
{
	size_t offset = 0;
	if (text.size() == 12) {
		if (!is_hex(text, 0, 4) || text[4] != ':')
			return false;
		offset = 5;
	} else if (text.size() != 7) {
		return false;
	}
	return is_hex(text, offset, 2) && text[offset + 2] == ':' && is_hex(text, offset + 3, 2) &&
	       text[offset + 5] == '.' && is_hex(text, offset + 6, 1);
}

std::string full_pci_address(const std::string &address)
{
	std::string full = address.size() == 7 ? "0000:" + address : address;
	for (char &c : full)
		c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
	return full;
}

} // namespace kova::bench::utility
