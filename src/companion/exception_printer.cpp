#include "companion/exception_printer.hpp"

#include <kova/error.h>
#include <kova/version.h>

namespace kova::bench::companion {

std::ostream &operator<<(std::ostream &os, const kova::exception &e)
{
	return os << "Caught kova::exception. \n\tcode: \"" << kova_error_get_name(e.code()) << "\"\n\tmessage: \""
		  << e.what() << "\"\n \tsource location: \"" << e.file() << ":" << e.function() << ":" << e.line()
		  << "\"\n \tkova_cver: \"" << KOVA_VERSION_STRING << "\"\n \tkova_rver: \"" << kova_version_runtime()
		  << "\"\n";
}

} // namespace kova::bench::companion
