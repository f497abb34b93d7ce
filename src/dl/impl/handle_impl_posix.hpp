// A library handle over the platform's dynamic loader.
#pragma once

#include "dl/impl/handle_impl.hpp"

#include <string>

namespace kova::bench::dl {

class handle_impl_posix final : public handle_impl {
public:
	// Opens the file by name (no directory: the loader's usual search applies), binding every undefined
	// symbol at once, so a library whose own dependencies are missing does not load. Prints nothing.
	explicit handle_impl_posix(const std::string &file_name);
	~handle_impl_posix() override;

	[[nodiscard]] const std::string &get_path() const override;
	[[nodiscard]] void *find_symbol(const char *name) const noexcept override;
	[[nodiscard]] bool is_loaded() const noexcept override;

private:
	void *m_native;
	std::string m_path;
};

} // namespace kova::bench::dl
