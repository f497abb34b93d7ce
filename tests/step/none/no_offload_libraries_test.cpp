// The step factory when no offload library is installed: the program finds only
// libkova_common.so.2 in its scenario's lib/.
#include "kova_exception.hpp"
#include "runtime_state.hpp"
#include "step/factory.hpp"
#include "step/kova_dma_step.hpp"
#include "utility/async/sequence.hpp"
#include "utility/kova_utils.hpp"

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
		try {
			factory::create_step("kova_dma", attributes, state, pe.get(), ignore, ignore, kova_data{.u64 = 1});
			ADD_FAILURE() << "no exception";
		} catch (const kova::exception &error) {
			EXPECT_EQ(error.code(), KOVA_ERROR_NOT_FOUND);
			EXPECT_STREQ(error.what(), "kova_dma library is not installed");
		}
	}
}

} // namespace
} // namespace kova::bench::step::test
