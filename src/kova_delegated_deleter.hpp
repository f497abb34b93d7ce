// The deleter of every owning pointer to an SDK handle: it forwards to the kova_deleter overload
// for the handle's type. The overloads are declared in the global namespace beside the SDK's
// handle types, where argument-dependent lookup finds them.
#pragma once

namespace kova {

template <typename T>
struct delegated_deleter {
	void operator()(T *handle) const noexcept { kova_deleter(handle); }
};

} // namespace kova
