// Library handles over dlopen.
#include "dl/impl/handle_impl_posix.hpp"

#include <climits>

#include <dlfcn.h>

namespace kova::bench::dl {

handle_impl_posix::handle_impl_posix(const std::string &file_name)
	: m_native{::dlopen(file_name.c_str(), RTLD_NOW)}, m_path{"unknown"}
{
	if (m_native == nullptr)
		return;
	// RTLD_DI_ORIGIN writes the directory the library was found in; a path never exceeds PATH_MAX.
	char origin[PATH_MAX + 1] = {};
	if (::dlinfo(m_native, RTLD_DI_ORIGIN, origin) == 0)
		m_path = std::string{origin} + "/" + file_name;
}

handle_impl_posix::~handle_impl_posix()
{
	if (m_native != nullptr)
		::dlclose(m_native);
}

const std::string &handle_impl_posix::get_path() const
{
	return m_path;
}

void *handle_impl_posix::find_symbol(const char *name) const noexcept
{
	return ::dlsym(m_native, name);
}

bool handle_impl_posix::is_loaded() const noexcept
{
	return m_native != nullptr;
}

} // namespace kova::bench::dl
