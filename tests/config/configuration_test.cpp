// Unit tests for src/configuration.cpp: default records and deep copies.
#include "configuration.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace kova::bench {
namespace {

TEST(default_fixed_configuration, holds_the_documented_defaults)
{
	const fixed_configuration &config = default_fixed_configuration();
	ASSERT_EQ(config.pipelines.size(), 1u);
	const auto &pipeline = config.pipelines.front();
	EXPECT_TRUE(pipeline.steps.empty());
	EXPECT_EQ(pipeline.latency_bucket_lower_ns + 100 * pipeline.latency_bucket_width_ns, 110000u);
	EXPECT_FALSE(pipeline.use_remote_input_buffers || pipeline.use_remote_output_buffers);

	ASSERT_TRUE(config.run_limits.max_execution_time.has_value());
	EXPECT_EQ(config.run_limits.max_execution_time->count(), 10);
	EXPECT_EQ(config.run_limits.max_jobs.value(), std::numeric_limits<uint64_t>::max());
	EXPECT_EQ(config.run_limits.max_bytes.value(), std::numeric_limits<uint64_t>::max());

	EXPECT_EQ(config.core_set.cores, (std::vector<uint16_t>{1}));
	EXPECT_EQ(config.data_provider.name, "random-data");
	EXPECT_EQ(config.benchmark_mode, configuration::benchmark_mode::throughput);
	EXPECT_EQ(config.batch_mode, configuration::batch_mode::none);
	EXPECT_EQ(config.companion.protocol, 0u);
	EXPECT_TRUE(config.companion.core_set.cores.empty());
	EXPECT_FALSE(config.query.has_value() || config.gpu.has_value() || config.representor.has_value());
	EXPECT_EQ(&config, &default_fixed_configuration());
}

TEST(default_dynamic_configuration, is_all_zero_and_empty)
{
	const dynamic_configuration &config = default_dynamic_configuration();
	EXPECT_FALSE(config.uniform_job_size.has_value());
	EXPECT_EQ(config.core_count + config.threads_per_core + config.task_pool_size + config.data_provider_job_count, 0u);
	EXPECT_EQ(config.gather_value, (utility::sg_configuration{0, utility::sg_split_type::count}));
	EXPECT_EQ(config.scatter_value, (utility::sg_configuration{0, utility::sg_split_type::count}));
	EXPECT_FALSE(config.mtu_size.has_value() || config.send_queue_size.has_value() || config.input_data_file.has_value());

	const configuration_collection &collection = default_configuration_collection_values();
	EXPECT_EQ(collection.permutations.size(), 1u);
	EXPECT_EQ(collection.fixed.pipelines.size(), 1u);
}

TEST(configuration_collection, copies_own_their_values)
{
	configuration_collection original;
	original.fixed.representor = "3b:00.1";
	original.fixed.attributes["kova_sha.algorithm"] = "sha256";
	original.permutations.emplace_back();
	original.permutations[0].mtu_size = KOVA_MTU_SIZE_1K_BYTES;

	configuration_collection copy = original;
	original.fixed.representor = "changed";
	original.fixed.attributes["kova_sha.algorithm"] = "changed";
	original.permutations[0].mtu_size.destruct();

	EXPECT_EQ(copy.fixed.representor.value(), "3b:00.1");
	EXPECT_EQ(copy.fixed.attributes.at("kova_sha.algorithm"), "sha256");
	EXPECT_EQ(copy.permutations[0].mtu_size.value(), KOVA_MTU_SIZE_1K_BYTES);
	EXPECT_FALSE(copy.fixed.gpu.has_value());
	EXPECT_FALSE(copy.permutations[0].input_data_file.has_value());
}

} // namespace
} // namespace kova::bench
