// The step factory when no offload library is installed: the program finds only
// libkova_common.so.2 in its scenario's lib/.
#include "kova_exception.hpp"
#include "runtime_state.hpp"
#include "step/factory.hpp"
#include "step/kova_dma_step.hpp"
#include "utility/async/sequence.hpp"
#include "utility/kova_utils.hpp"
#include "support/kova_throws.hpp"

#include <kova/error.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kova::bench::step::test {
namespace {

void ignore(kova_task *, kova_data, kova_data) {}

TEST(step_without_offload_libraries, every_capability_record_says_not_installed)
{
	runtime_state state;
	state.open_device_and_representor("03:00.0", {});
	auto const list = factory::create_step_info_list(state.get_devices()[0]);

	std::vector<std::string> names;
	for (auto const &record : list) {
		SCOPED_TRACE(record.name);
		names.push_back(record.name);
		EXPECT_EQ(record.library_path, "n/a");
		EXPECT_FALSE(record.installed);
		EXPECT_TRUE(record.capable);
		EXPECT_TRUE(record.properties.empty());
		EXPECT_TRUE(record.tasks.empty());
	}
	EXPECT_EQ(names, (std::vector<std::string>{"kova_aes_gcm", "kova_comch", "kova_compress", "kova_dma", "kova_ec",
						   "kova_eth", "kova_rdma", "kova_sha"}));
}

TEST(step_without_offload_libraries, the_dma_step_cannot_be_created)
{
	runtime_state state;
	state.open_device_and_representor("03:00.0", {});
	auto pe = utility::make_pe();
	for (uint32_t const task_pool_size : {0U, 1U, 1024U}) {
		SCOPED_TRACE(task_pool_size);
		object::attributes attributes;
		attributes.task_pool_size = task_pool_size;
		attributes.use_remote_input_buffers = true;
		EXPECT_KOVA_THROW(
			factory::create_step("kova_dma", attributes, state, pe.get(), ignore, ignore, kova_data{.u64 = 1}),
			KOVA_ERROR_NOT_FOUND, "kova_dma library is not installed");
	}
}

TEST(step_without_offload_libraries, the_local_offload_steps_cannot_be_created)
{
	runtime_state state;
	state.open_device_and_representor("03:00.0", {});
	auto pe = utility::make_pe();
	object::attributes attributes;
	attributes.task_pool_size = 4;
	attributes.attribute_map = {{"kova_compress.algorithm", "deflate"}, {"kova_sha.algorithm", "sha1"}};
	struct step_case {
		const char *name;
		const char *message;
	};
	step_case const cases[] = {
		{"kova_compress::compress", "kova_compress library is not installed"},
		{"kova_compress::decompress", "kova_compress library is not installed"},
		{"kova_aes_gcm::encrypt", "kova_aes_gcm library is not installed"},
		{"kova_aes_gcm::decrypt", "kova_aes_gcm library is not installed"},
		{"kova_sha", "kova_sha library is not installed"},
		{"kova_ec::create", "kova_erasure_coding library is not installed"},
		{"kova_ec::recover", "kova_erasure_coding library is not installed"},
		{"kova_ec::update", "kova_erasure_coding library is not installed"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_KOVA_THROW(
			factory::create_step(c.name, attributes, state, pe.get(), ignore, ignore, kova_data{.u64 = 1}),
			KOVA_ERROR_NOT_FOUND, c.message);
	}
	// The compression steps check their algorithm before they look for the library.
	attributes.attribute_map.clear();
	kova::exception const error = kova::test::thrown_by([&] {
		factory::create_step("kova_compress::compress", attributes, state, pe.get(), ignore, ignore,
				     kova_data{.u64 = 1});
	});
	EXPECT_EQ(error.code(), KOVA_ERROR_INVALID_VALUE);
}

} // namespace
} // namespace kova::bench::step::test
