// Tests for stats/csv_formatter.
#include "stats/formatter.hpp"

#include <gtest/gtest.h>

using kova::bench::stats::make_csv_formatter;

TEST(csv_formatter, quotes_only_fields_that_need_it)
{
	auto const csv = make_csv_formatter();
	struct {
		std::vector<std::string> fields;
		std::string line;
	} const cases[] = {
		{{"a"}, "a"},
		{{"a", "b c", ""}, "a,b c,"},
		{{"[kova_dma,kova_sha]", "x"}, "\"[kova_dma,kova_sha]\",x"},
		{{"say \"hi\""}, "\"say \"\"hi\"\"\""},
		{{"cr\rlf\n"}, "\"cr\rlf\n\""},
		{{"stats.latency.90th %ile", "stats.bulk-latency.b[3]"}, "stats.latency.90th %ile,stats.bulk-latency.b[3]"},
		{{",", "\""}, "\",\",\"\"\"\""},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.line);
		EXPECT_EQ(csv.write_row(c.fields), c.line);
		EXPECT_EQ(csv.start_segment("data", c.fields), c.line);
	}
}

TEST(csv_formatter, empty_lists_and_segment_end_give_empty_text)
{
	auto const csv = make_csv_formatter();
	EXPECT_EQ(csv.write_row({}), "");
	EXPECT_EQ(csv.start_segment("configuration", {}), "");
	EXPECT_EQ(csv.end_segment(), "");
	// The segment name is not part of the header.
	EXPECT_EQ(csv.start_segment("environment", {"k"}), "k");
}
