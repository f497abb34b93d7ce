// What every function table shares: a member per SDK function, typed as the
// SDK's header declares it, and the build of a table from its library handle.
//
// A table lists its functions once, in table order, as an X-macro
// (KOVA_DMA_API_FUNCTIONS(X) calls X(name) for each); the list declares the
// members with KOVA_DL_FUNCTION and resolves them with KOVA_DL_RESOLVE.
#pragma once

#include "dl/impl/handle_impl.hpp"

#include <memory>
#include <utility>

// A table member: pointer to the SDK function of that name, null until resolved.
#define KOVA_DL_FUNCTION(name) decltype(&::name) name{};

// Resolves the member of that name of `table` from `library`, both in scope (see make_api).
#define KOVA_DL_RESOLVE(name) ::kova::bench::dl::impl::resolve(library, table.name, #name);

namespace kova::bench::dl::impl {

template <typename Function>
void resolve(handle_impl &library, Function &member, const char *name)
{
	member = reinterpret_cast<Function>(required_symbol(library, name));
}

// The table over an opened library, or null when it did not load (the handle is then released at once).
// resolve_all(library, table) looks the table's functions up in order; an exception from it destroys the
// partly built table, which closes the library again.
template <typename Api, typename ResolveAll>
std::unique_ptr<Api> make_api(std::shared_ptr<handle_impl> library, ResolveAll resolve_all)
{
	if (!library->is_loaded())
		return nullptr;
	auto table = std::make_unique<Api>();
	table->handle = std::move(library);
	table->path = table->handle->get_path();
	resolve_all(*table->handle, *table);
	return table;
}

} // namespace kova::bench::dl::impl
