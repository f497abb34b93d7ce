// Escaping of non-printable bytes.
#include "utility/escape_non_printable.hpp"

namespace kova::bench::utility {

std::string escape_non_printable(std::string_view text)
{
	static constexpr char hex[] = "0123456789abcdef";
	std::string result;
	result.reserve(text.size());
	for (char c : text) {
		auto const byte = static_cast<unsigned char>(c);
		if (byte >= 0x20 && byte < 0x7f) {
			result += c;
		} else if (c == '\n') {
			result += "\\n";
		} else if (c == '\r') {
			result += "\\r";
		} else if (c == '\t') {
			result += "\\t";
		} else {
			result += "\\x";
			result += hex[byte >> 4];
			result += hex[byte & 0xf];
		}
	}
	return result;
}

} // namespace kova::bench::utility
