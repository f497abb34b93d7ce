// Opening libraries and looking up required functions.
#include "dl/impl/handle_impl.hpp"

#include "dl/impl/handle_impl_posix.hpp"
#include "kova_exception.hpp"

namespace kova::bench::dl {

namespace {

// Major interface version of the SDK's libraries.
constexpr const char *sdk_library_suffix = ".so.2";

} // namespace

std::shared_ptr<handle_impl> open(const std::string &name)
{
	return std::make_shared<handle_impl_posix>(name + sdk_library_suffix);
}

std::shared_ptr<handle_impl> open_non_kova(const std::string &name)
{
	return std::make_shared<handle_impl_posix>(name + ".so");
}

void *required_symbol(handle_impl &library, const char *name)
{
	void *const address = library.find_symbol(name);
	if (address == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Symbol: \"" + std::string{name} + "\" not found in library");
	return address;
}

} // namespace kova::bench::dl
