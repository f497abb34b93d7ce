#include "kova_optional_printing.hpp"

namespace kova {

std::ostream &operator<<(std::ostream &os, const kova::optional<std::string> &value)
{
	if (!value.has_value())
		return os << "-- not configured --";
	return os << '"' << *value << '"';
}

} // namespace kova
