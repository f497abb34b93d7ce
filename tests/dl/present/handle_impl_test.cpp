// Tests for dl/impl/handle_impl and handle_impl_posix, with the stand-ins of the build's lib/.
#include "dl/impl/handle_impl.hpp"

#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>
#include <string>

namespace kova::bench::dl {
namespace {

bool ends_with(const std::string &text, const std::string &end)
{
	return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(dl_open, opens_the_versioned_sdk_library_and_reports_where_it_was_found)
{
	auto const library = open("libkova_sha");
	ASSERT_TRUE(library->is_loaded());
	EXPECT_TRUE(ends_with(library->get_path(), "/libkova_sha.so.2")) << library->get_path();
	EXPECT_TRUE(std::filesystem::equivalent(library->get_path(), KOVA_LIB_DIR "/libkova_sha.so.2"));
	EXPECT_NE(library->find_symbol("kova_sha_create"), nullptr);
	EXPECT_EQ(library->find_symbol("kova_dma_create"), nullptr);
}

TEST(dl_open_non_kova, opens_the_unversioned_library)
{
	auto const runtime = open_non_kova("librhunrt");
	ASSERT_TRUE(runtime->is_loaded());
	EXPECT_TRUE(std::filesystem::equivalent(runtime->get_path(), KOVA_LIB_DIR "/librhunrt.so"));
}

TEST(dl_open, a_library_that_is_not_installed_gives_an_unloaded_handle)
{
	for (auto const &library : {open("libkova_no_such_library"), open_non_kova("libkova_no_such_library")}) {
		EXPECT_FALSE(library->is_loaded());
		EXPECT_EQ(library->get_path(), "unknown");
	}
}

TEST(dl_handle, the_library_stays_open_while_a_handle_lives)
{
	// No table keeps the GPU runtime open.
	auto library = open_non_kova("librhunrt");
	ASSERT_TRUE(library->is_loaded());
	void *const loaded = ::dlopen("librhunrt.so", RTLD_NOW | RTLD_NOLOAD);
	ASSERT_NE(loaded, nullptr);
	::dlclose(loaded);
	library.reset();
	EXPECT_EQ(::dlopen("librhunrt.so", RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST(dl_required_symbol, returns_the_address_of_an_existing_function)
{
	auto const library = open("libkova_dma");
	ASSERT_TRUE(library->is_loaded());
	EXPECT_EQ(required_symbol(*library, "kova_dma_create"), library->find_symbol("kova_dma_create"));
}

TEST(dl_required_symbol, throws_code_6_naming_a_missing_function)
{
	auto const library = open("libkova_dma");
	ASSERT_TRUE(library->is_loaded());
	kova::exception const error = kova::test::thrown_by([&] {
		(void)required_symbol(*library, "kova_dma_frobnicate");
	});
	EXPECT_EQ(error.code(), KOVA_ERROR_INVALID_VALUE);
	EXPECT_STREQ(error.what(), "Symbol: \"kova_dma_frobnicate\" not found in library");
	EXPECT_STREQ(error.function(), "required_symbol");
	EXPECT_TRUE(ends_with(error.file(), "dl/impl/handle_impl.cpp")) << error.file();
}

} // namespace
} // namespace kova::bench::dl
