// Unit tests for src/step/step_utils.cpp
#include "step/step_utils.hpp"

#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

using kova::bench::step::object;

TEST(step_utils, log_num_tasks_rounds_up_to_a_power_of_two)
{
	struct {
		uint32_t pool_size;
		uint8_t expected;
	} const cases[] = {{1, 0}, {2, 1}, {3, 2}, {1000, 10}, {1024, 10}, {1025, 11}, {0x80000000u, 31}};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.pool_size);
		object::attributes attrs;
		attrs.task_pool_size = c.pool_size;
		EXPECT_EQ(kova::bench::step::log_num_tasks_from_cfg(attrs), c.expected);
	}
}

TEST(step_utils, throw_if_query_fails_passes_success_and_not_supported)
{
	EXPECT_EQ(kova::bench::step::throw_if_query_fails(KOVA_SUCCESS, "max buffer size"), KOVA_SUCCESS);
	EXPECT_EQ(kova::bench::step::throw_if_query_fails(KOVA_ERROR_NOT_SUPPORTED, "max buffer size"),
		  KOVA_ERROR_NOT_SUPPORTED);
	EXPECT_KOVA_THROW(kova::bench::step::throw_if_query_fails(KOVA_ERROR_IO_FAILED, "max buffer size"),
			  KOVA_ERROR_IO_FAILED, "Failed to query max buffer size");
}

TEST(step_utils, qp_dimensions_read_both_attributes)
{
	object::attributes attrs;
	auto none = kova::bench::step::qp_dimensions_from_cfg(attrs);
	EXPECT_FALSE(none.first.has_value());
	EXPECT_FALSE(none.second.has_value());

	attrs.attribute_map = {{"zoption.mmo.log_num_qps", "3"}, {"zoption.mmo.log_qp_depth", "7"}, {"log_num_qps", "9"}};
	auto both = kova::bench::step::qp_dimensions_from_cfg(attrs);
	ASSERT_TRUE(both.first.has_value());
	ASSERT_TRUE(both.second.has_value());
	EXPECT_EQ(*both.first, 3);
	EXPECT_EQ(*both.second, 7);

	attrs.attribute_map = {{"zoption.mmo.log_qp_depth", "0"}};
	auto depth_only = kova::bench::step::qp_dimensions_from_cfg(attrs);
	EXPECT_FALSE(depth_only.first.has_value());
	ASSERT_TRUE(depth_only.second.has_value());
	EXPECT_EQ(*depth_only.second, 0);
}

TEST(step_utils, qp_dimensions_refuse_negative_values)
{
	for (const char *key : {"zoption.mmo.log_num_qps", "zoption.mmo.log_qp_depth"}) {
		SCOPED_TRACE(key);
		object::attributes attrs;
		attrs.attribute_map = {{key, "-1"}};
		EXPECT_KOVA_THROW(kova::bench::step::qp_dimensions_from_cfg(attrs), KOVA_ERROR_INVALID_VALUE,
				  std::string{"Invalid value for "} + key + ". Value may not be negative");
	}
}
