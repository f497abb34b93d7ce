// Run-time loading of shared libraries: the library handle interface, the two
// ways of opening a library, and the lookup of a function that must exist.
#pragma once

#include <memory>
#include <string>

namespace kova::bench::dl {

// Root of the library handle tree; never created by itself.
class handle {
public:
	virtual ~handle() = default;
	handle(const handle &) = delete;
	handle &operator=(const handle &) = delete;
	handle(handle &&) = delete;
	handle &operator=(handle &&) = delete;

protected:
	handle() = default;
};

// One shared library, opened or not. The library stays open as long as the handle lives.
class handle_impl : public handle {
public:
	// Where the library was found: its directory, "/" and its file name; "unknown" when it was not opened
	// or the loader could not tell.
	[[nodiscard]] virtual const std::string &get_path() const = 0;

	// Address of the named symbol, or null when the library has none. Only for a loaded handle.
	[[nodiscard]] virtual void *find_symbol(const char *name) const noexcept = 0;

	[[nodiscard]] virtual bool is_loaded() const noexcept = 0;
};

// Opens the SDK library with that base name and the SDK's interface version: "libkova_dma" opens
// libkova_dma.so.2 through the loader's usual search. Always returns a handle; a library that cannot be
// loaded gives a handle whose is_loaded() is false.
std::shared_ptr<handle_impl> open(const std::string &name);

// As open, for a library outside the SDK: "librhunrt" opens librhunrt.so.
std::shared_ptr<handle_impl> open_non_kova(const std::string &name);

// The address of a function the caller cannot do without. Throws kova::exception with KOVA_ERROR_INVALID_VALUE
// 'Symbol: "<name>" not found in library' when the library has no such symbol.
void *required_symbol(handle_impl &library, const char *name);

} // namespace kova::bench::dl
