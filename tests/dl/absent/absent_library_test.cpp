// Tables whose libraries are not installed (the "absent" scenario): only decoys under other names and the
// two GPU libraries that need the missing GPU runtime.
#include "dl/kova_aes_gcm_api.hpp"
#include "dl/kova_comch_api.hpp"
#include "dl/kova_compress_api.hpp"
#include "dl/kova_dma_api.hpp"
#include "dl/kova_dpdk_bridge_api.hpp"
#include "dl/kova_erasure_coding_api.hpp"
#include "dl/kova_eth_api.hpp"
#include "dl/kova_flow_api.hpp"
#include "dl/kova_rdma_api.hpp"
#include "dl/kova_sha_api.hpp"
#include "dl/kova_tessel_api.hpp"
#include "dl/support/library_events.hpp"
#include "kova_exception.hpp"
#include "utility/dpdk_common.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>
#include <string>

namespace kova::bench::dl {
namespace {

bool every_table_is_null()
{
	return kova_aes_gcm_api::singleton() == nullptr && kova_compress_api::singleton() == nullptr &&
	       kova_dma_api::singleton() == nullptr && kova_erasure_coding_api::singleton() == nullptr &&
	       kova_sha_api::singleton() == nullptr && kova_comch_api::singleton() == nullptr &&
	       kova_eth_api::singleton() == nullptr && kova_rdma_api::singleton() == nullptr &&
	       kova_flow_api::singleton() == nullptr && kova_dpdk_bridge_api::singleton() == nullptr &&
	       kova_tessel_api::singleton() == nullptr;
}

TEST(dl_absent_library, every_table_is_null_on_every_call_and_nothing_is_printed)
{
	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
	bool const first = every_table_is_null();
	bool const second = every_table_is_null();
	std::string const out = testing::internal::GetCapturedStdout();
	std::string const err = testing::internal::GetCapturedStderr();
	EXPECT_TRUE(first);
	EXPECT_TRUE(second);
	EXPECT_EQ(out, "");
	EXPECT_EQ(err, "");
}

TEST(dl_absent_library, only_the_exact_file_name_is_opened)
{
	// libkova_sha.so, libkova_sha.so.3 and librhunrt.so.2 lie in the search path.
	EXPECT_FALSE(open("libkova_sha")->is_loaded());
	EXPECT_FALSE(open_non_kova("librhunrt")->is_loaded());
	EXPECT_EQ(kova_sha_api::singleton(), nullptr);
}

TEST(dl_absent_library, without_the_gpu_runtime_the_other_gpu_libraries_are_not_opened)
{
	EXPECT_EQ(kova_tessel_api::singleton(), nullptr);
	// Whatever ran before in this process: the two GPU libraries report any loading.
	EXPECT_TRUE(test::library_events().empty());
}

// Removes the library installed by the test, also when the test fails.
struct installed_library {
	std::filesystem::path path;
	~installed_library() { std::filesystem::remove(path); }
};

std::filesystem::path const late_library{std::filesystem::path{KOVA_SCENARIO_DIR} / "late" / "libkova_rdma.so.2"};

// A run that crashed may have left it behind; every test expects it absent.
[[maybe_unused]] bool const late_library_removed = std::filesystem::remove(late_library);

TEST(dl_absent_library, a_library_installed_later_is_not_opened_by_its_table)
{
	EXPECT_EQ(kova_rdma_api::singleton(), nullptr);

	installed_library const late{late_library};
	std::filesystem::copy_file(KOVA_LIB_DIR "/libkova_rdma.so.2", late.path,
				   std::filesystem::copy_options::overwrite_existing);
	void *const direct = ::dlopen("libkova_rdma.so.2", RTLD_NOW);
	ASSERT_NE(direct, nullptr) << "the library is installed now";
	::dlclose(direct);

	EXPECT_EQ(kova_rdma_api::singleton(), nullptr);
}

TEST(dl_absent_library, the_dpdk_context_needs_the_bridge)
{
	int device = 0;
	kova::exception const error = kova::test::thrown_by([&] {
		(void)utility::create_dpdk_context(reinterpret_cast<kova_dev *>(&device));
	});
	EXPECT_EQ(error.code(), KOVA_ERROR_NOT_FOUND);
	EXPECT_STREQ(error.what(), "kova_dpdk_bridge library is not installed");
	EXPECT_STREQ(error.function(), "get_api_or_throw");
}

} // namespace
} // namespace kova::bench::dl
