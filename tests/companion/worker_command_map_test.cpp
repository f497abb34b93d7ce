// Tests of the helpers shared by the worker command and response maps, and of the worker factory's
// name table.
#include "companion/runtime_state.hpp"
#include "companion/worker/factory.hpp"
#include "companion/worker/worker_command_map.hpp"
#include "companion/fake_worker.hpp"
#include "support/thrown_by.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

namespace {

namespace worker = kova::bench::companion::worker;

TEST(worker_command_map, numbers_read_back_as_written_up_to_32_bits)
{
	for (uint32_t const value : {0u, 1u, 4096u, std::numeric_limits<uint32_t>::max()}) {
		worker::attribute_map map;
		worker::write_number(map, "buffer-size", value);
		EXPECT_EQ(map.at("buffer-size"), std::to_string(value));
		EXPECT_EQ(worker::number_or_throw(map, "buffer-size", "create_test_worker_command"), value);
	}
	worker::attribute_map flags;
	worker::write_yes_no(flags, "a", true);
	worker::write_yes_no(flags, "b", false);
	EXPECT_EQ(flags.at("a"), "yes");
	EXPECT_EQ(flags.at("b"), "no");
	EXPECT_TRUE(worker::is_yes(flags.at("a")));
	for (const char *text : {"no", "YES", "Yes", "", "yes ", "1"})
		EXPECT_FALSE(worker::is_yes(text)) << text;
}

TEST(worker_command_map, number_parsing_takes_the_leading_digits_and_refuses_the_rest)
{
	struct number_case {
		const char *text;
		bool valid;
		uint32_t value;
	};
	for (auto const &c : {
		     number_case{"12abc", true, 12},
		     number_case{"12", true, 12},
		     number_case{" 7", true, 7},
		     number_case{"4294967295", true, 4294967295u},
		     number_case{"4294967296", false, 0},
		     number_case{"18446744073709551616", false, 0},
		     number_case{"abc", false, 0},
		     number_case{"", false, 0},
		     number_case{"-1", false, 0},
	     }) {
		SCOPED_TRACE(c.text);
		auto const parsed = worker::parse_number(c.text);
		ASSERT_EQ(parsed.has_value(), c.valid);
		if (c.valid) {
			EXPECT_EQ(*parsed, c.value);
		}
	}
}

using kova::test::thrown_by;

TEST(worker_command_map, readers_fail_with_code_6_and_their_texts)
{
	worker::attribute_map const map{{"buffer_size", "abc"}, {"buffer_count", "99999999999"}, {"extra", "x"}};
	struct failure_case {
		std::function<void()> call;
		const char *text;
	};
	const std::string record = "create_comch_worker_command";
	for (auto const &c : {
		     failure_case{[&] { worker::find_or_throw(map, "server_name", record); },
				  "Bug: server_name not found in create_comch_worker_command"},
		     failure_case{[&] { worker::number_or_throw(map, "buffer_size", record); },
				  "Bug: buffer_size is not a number in create_comch_worker_command"},
		     failure_case{[&] { worker::number_or_throw(map, "buffer_count", record); },
				  "Bug: buffer_count is not a number in create_comch_worker_command"},
		     failure_case{[&] { worker::throw_invalid("create_eth_worker_command"); },
				  "[BUG] invalid create_eth_worker_command"},
		     failure_case{[&] { worker::number_or_throw("4294967296", "create_eth_worker_command", "burst size"); },
				  "[BUG] invalid create_eth_worker_command - burst size is not a number"},
	     }) {
		SCOPED_TRACE(c.text);
		auto const e = thrown_by(c.call);
		EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_STREQ(e.what(), c.text);
	}
	EXPECT_TRUE(worker::has_keys(map, {"buffer_size", "extra"}));
	EXPECT_FALSE(worker::has_keys(map, {"buffer_size", "server_name"}));
	EXPECT_EQ(worker::find_or_throw(map, "extra", record), "x");
}

kova::test::fake_worker_log factory_log;

std::unique_ptr<worker::worker> make_fake(uint32_t id, const worker::attribute_map &, kova::bench::companion::runtime_state &)
{
	return std::make_unique<kova::test::fake_worker>(id, factory_log);
}

TEST(worker_factory, finds_a_row_by_its_whole_name_and_refuses_any_other)
{
	static const worker::worker_type rows[] = {{"fake", &make_fake}};
	// The shipped program serves none of the test types.
	for (auto const &row : worker::shipped_worker_types())
		EXPECT_NE(row.name, "fake");
	kova::bench::companion::runtime_state state;
	auto made = worker::create_worker(rows, "fake", 7, {}, state);
	ASSERT_NE(made, nullptr);
	EXPECT_EQ(made->get_id(), 7u);
	for (const char *name : {"fak", "fake ", "FAKE", "", "rdma_gpu_send"}) {
		SCOPED_TRACE(name);
		auto const e = thrown_by([&] { worker::create_worker(rows, name, 8, {}, state); });
		EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_EQ(std::string{e.what()}, std::string{"Unknown worker type: \""} + name + "\"");
	}
}

} // namespace
