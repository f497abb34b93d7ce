// Tests for the value formatters of configuration_printer used by the reports.
#include "configuration_printer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using kova::bench::utility::double_format;
using kova::bench::utility::format_double;

TEST(format_double, pads_the_integer_part_and_cuts_the_fraction)
{
	struct {
		double value;
		double_format format;
		const char *text;
	} const cases[] = {
		{2.5, {3, 3, ' '}, "  2.500"},
		{12345.6789, {3, 3, ' '}, "12345.678"},
		{2.96, {1, 1, ' '}, "2.9"},
		{2.96, {1, 0, ' '}, "2."},
		{1.5, {3, 3, '0'}, "001.500"},
		{0.0, {3, 3, '0'}, "000.000"},
		{33.333333333, {3, 2, ' '}, " 33.33"},
		{100.0, {3, 2, ' '}, "100.00"},
		{0.1234567891, {1, 8, '0'}, "0.12345700"},
		{-1.5, {4, 1, ' '}, "  -1.5"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.text);
		EXPECT_EQ(format_double(c.value, c.format), c.text);
	}
}

TEST(format_double, values_without_a_point_use_the_stream_format)
{
	EXPECT_EQ(format_double(std::numeric_limits<double>::infinity(), {3, 3, '0'}), "0000inf");
	EXPECT_EQ(format_double(std::nan(""), {1, 1, ' '}), "nan");
}

TEST(value_formatters, core_sets_sg_configurations_and_mtu_sizes)
{
	using namespace kova::bench::utility;
	EXPECT_EQ(to_string(cpu_core_set{{1}}), "[1]");
	EXPECT_EQ(to_string(cpu_core_set{{3, 1, 2}}), "[3, 1, 2]");
	EXPECT_EQ(to_string(cpu_core_set{}), "[]");

	EXPECT_EQ(sg_config_info({4, sg_split_type::count}), "4 fragments");
	EXPECT_EQ(sg_config_info({1500, sg_split_type::bytes_per_fragment}), "One fragment per 1500 bytes");
	EXPECT_EQ(sg_config_info({2, static_cast<sg_split_type>(9)}), "2 fragments");

	EXPECT_EQ(::to_string(KOVA_MTU_SIZE_256_BYTES), "256B");
	EXPECT_EQ(::to_string(KOVA_MTU_SIZE_512_BYTES), "512B");
	EXPECT_EQ(::to_string(KOVA_MTU_SIZE_1K_BYTES), "1kiB");
	EXPECT_EQ(::to_string(KOVA_MTU_SIZE_2K_BYTES), "2kiB");
	EXPECT_EQ(::to_string(KOVA_MTU_SIZE_4K_BYTES), "4kiB");
	EXPECT_EQ(::to_string(KOVA_MTU_SIZE_RAW_ETHERNET), "ETH_FRAME");
	EXPECT_EQ(::to_string(static_cast<kova_mtu_size>(7)), "UNDEFINED(7)");
	EXPECT_EQ(::to_string(static_cast<kova_mtu_size>(-2)), "UNDEFINED(-2)");
}
