// Tests for src/step/ec_step_base.cpp and the kova_ec_create, kova_ec_recover and kova_ec_update steps
// over the erasure-coding stand-in.
#include "step/local_step_fixture.hpp"

#include "step/kova_ec_create_step.hpp"
#include "step/kova_ec_recover_step.hpp"
#include "step/kova_ec_update_step.hpp"

#include <kova/error.h>

#include <map>
#include <random>
#include <string>

namespace kova::bench::step::test {
namespace {

class ec_steps : public local_step_fixture {
protected:
	std::unique_ptr<object> make_step(int which)
	{
		if (which == 0)
			return make<kova_ec_create_step>();
		if (which == 1)
			return make<kova_ec_recover_step>();
		return make<kova_ec_update_step>();
	}
};

std::string random_text(std::size_t len)
{
	std::mt19937 generator{11};
	std::string text(len, '\0');
	for (char &c : text)
		c = static_cast<char>(generator());
	return text;
}

TEST_F(ec_steps, refuse_unknown_matrix_types_and_block_counts_that_are_not_numbers)
{
	struct attribute_case {
		const char *name;
		std::map<std::string, std::string> attributes;
		kova_error code;
		std::string message;
	};
	attribute_case const cases[] = {
		{"capital C", {{"kova_ec.matrix_type", "Cauchy"}}, KOVA_ERROR_INVALID_VALUE, "Unknown matrix type: \"Cauchy\""},
		{"trailing blank", {{"kova_ec.matrix_type", "cauchy "}}, KOVA_ERROR_INVALID_VALUE,
		 "Unknown matrix type: \"cauchy \""},
		{"data count 12x", {{"kova_ec.data_block_count", "12x"}}, KOVA_ERROR_INVALID_VALUE,
		 "Unable to convert value\"12x\" to a number"},
		{"empty data count", {{"kova_ec.data_block_count", ""}}, KOVA_ERROR_INVALID_VALUE,
		 "Unable to convert value\"\" to a number"},
		{"redundancy count x", {{"kova_ec.redundancy_block_count", "x"}}, KOVA_ERROR_INVALID_VALUE,
		 "Unable to convert value\"x\" to a number"},
		{"negative redundancy count", {{"kova_ec.redundancy_block_count", "-2"}}, KOVA_ERROR_INVALID_VALUE,
		 "Unable to convert value\"-2\" to a number"},
		{"no data blocks", {{"kova_ec.data_block_count", "0"}}, KOVA_ERROR_INVALID_VALUE,
		 "Unable to create KOVA erasure coding matrix"},
		{"too many blocks", {{"kova_ec.data_block_count", "70000"}}, KOVA_ERROR_INVALID_VALUE,
		 "Unable to create KOVA erasure coding matrix"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		attributes.attribute_map = {c.attributes.begin(), c.attributes.end()};
		for (int which = 0; which < 3; ++which) {
			kova_test_reset();
			kova_test_trace_enable(1);
			auto const [code, message] = failure([&] { make_step(which); });
			EXPECT_EQ(code, c.code);
			EXPECT_EQ(message, c.message);
			std::string const calls = trace();
			EXPECT_NE(calls.find("kova_ec_destroy"), std::string::npos) << "the instance is released";
		}
	}
}

TEST_F(ec_steps, each_failing_sdk_call_and_unsupported_task_gives_its_message)
{
	struct failure_case {
		int which;
		const char *function;
		bool capability;
		kova_error code;
		const char *message;
	};
	failure_case const cases[] = {
		{0, "kova_ec_create", false, KOVA_ERROR_DRIVER, "Unable to create kova_ec instance."},
		{0, "kova_ec_matrix_create", false, KOVA_ERROR_DRIVER, "Unable to create KOVA erasure coding matrix"},
		{0, "kova_pe_connect_ctx", false, KOVA_ERROR_DRIVER, "Unable to connect kova_pe to kova_ctx"},
		{0, "kova_ec_task_create_set_conf", false, KOVA_ERROR_DRIVER,
		 "Failed to set ec create tasks conf for kova_ec instance."},
		{1, "kova_ec_task_recover_set_conf", false, KOVA_ERROR_DRIVER,
		 "Failed to set ec recover tasks conf for kova_ec instance."},
		{2, "kova_ec_task_update_set_conf", false, KOVA_ERROR_DRIVER,
		 "Failed to set ec update tasks conf for kova_ec instance."},
		{2, "kova_ctx_start", false, KOVA_ERROR_DRIVER, "Failed to start kova_ec context"},
		{0, "kova_ec_cap_task_create_is_supported", true, KOVA_ERROR_NOT_SUPPORTED, "kova_ec::create is not supported"},
		{1, "kova_ec_cap_task_recover_is_supported", true, KOVA_ERROR_NOT_SUPPORTED,
		 "kova_ec::recover is not supported"},
		{2, "kova_ec_cap_task_update_is_supported", true, KOVA_ERROR_NOT_SUPPORTED, "kova_ec::update is not supported"},
	};
	attributes.attribute_map = {{"kova_ec.data_block_count", "8"}, {"kova_ec.redundancy_block_count", "2"}};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.function);
		kova_test_reset();
		if (c.capability)
			kova_test_override_capability(c.function, KOVA_ERROR_NOT_SUPPORTED, 0);
		else
			kova_test_force_result(c.function, KOVA_ERROR_DRIVER, 1);
		kova_test_trace_enable(1);
		EXPECT_EQ(failure([&] { make_step(c.which); }), std::make_pair(c.code, std::string{c.message}));
		std::string const calls = trace();
		bool const matrix_made = calls.find("kova_ec_matrix_create") != std::string::npos &&
					 std::string{c.function} != "kova_ec_matrix_create";
		EXPECT_EQ(matrix_made, calls.find("kova_ec_matrix_destroy") != std::string::npos)
			<< "a matrix made is destroyed again";
	}
}

TEST_F(ec_steps, create_then_recover_restores_the_lost_blocks_with_8_2_and_with_the_defaults)
{
	struct code_case {
		const char *name;
		std::map<std::string, std::string> attributes;
		std::size_t k;
		std::size_t m;
		std::size_t block;
	};
	code_case const cases[] = {
		{"cauchy 8+2", {{"kova_ec.data_block_count", "8"}, {"kova_ec.redundancy_block_count", "2"}}, 8, 2, 1000},
		{"vandermonde 8+2",
		 {{"kova_ec.matrix_type", "vandermonde"},
		  {"kova_ec.data_block_count", "8"},
		  {"kova_ec.redundancy_block_count", "2"}},
		 8,
		 2,
		 512},
		{"no attributes: cauchy 1024+16", {}, 1024, 16, 64},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		attributes.attribute_map = {c.attributes.begin(), c.attributes.end()};
		auto create = make<kova_ec_create_step>();
		auto recover = make<kova_ec_recover_step>();
		EXPECT_STREQ(create->get_name(), "kova_ec::create");
		EXPECT_STREQ(recover->get_name(), "kova_ec::recover");

		std::string const data = random_text(c.k * c.block);
		kova_buf *redundancy = output(c.m * c.block);
		task_set const created = create->create_task_set(input(data), redundancy, output(8), kova_data{.u64 = 1});
		EXPECT_EQ(created.next_input, redundancy);
		ASSERT_EQ(run(created.task), KOVA_SUCCESS);
		std::string const r = contents(redundancy);
		ASSERT_EQ(r.size(), c.m * c.block);

		// The first min(m, k) data blocks are lost.
		std::size_t const lost = std::min(c.m, c.k) * c.block;
		kova_buf *recovered = output(lost);
		task_set const set = recover->create_task_set(input(data.substr(lost) + r.substr(0, lost)), recovered,
							      output(8), kova_data{.u64 = 2});
		ASSERT_EQ(run(set.task), KOVA_SUCCESS);
		EXPECT_EQ(contents(recovered), data.substr(0, lost));
		create->destroy_all_tasks();
		recover->destroy_all_tasks();
	}
}

TEST_F(ec_steps, update_gives_the_redundancy_of_the_changed_data)
{
	attributes.attribute_map = {{"kova_ec.data_block_count", "4"}, {"kova_ec.redundancy_block_count", "3"}};
	auto create = make<kova_ec_create_step>();
	auto update = make<kova_ec_update_step>();
	EXPECT_STREQ(update->get_name(), "kova_ec::update");
	std::size_t const block = 100;
	std::string const data = random_text(4 * block);
	kova_buf *redundancy = output(3 * block);
	ASSERT_EQ(run(create->create_task_set(input(data), redundancy, output(8), kova_data{.u64 = 1}).task), KOVA_SUCCESS);
	std::string const new_first = std::string(block, 'n');
	kova_buf *updated = output(3 * block);
	ASSERT_EQ(run(update->create_task_set(input(data.substr(0, block) + new_first + contents(redundancy)), updated,
					      output(8), kova_data{.u64 = 2})
			      .task),
		  KOVA_SUCCESS);
	kova_buf *fresh = output(3 * block);
	ASSERT_EQ(run(create->create_task_set(input(new_first + data.substr(block)), fresh, output(8), kova_data{.u64 = 3})
			      .task),
		  KOVA_SUCCESS);
	EXPECT_EQ(contents(updated), contents(fresh));
	create->destroy_all_tasks();
	update->destroy_all_tasks();
}

TEST_F(ec_steps, take_any_job_of_up_to_2_mib_and_refuse_empty_task_user_data)
{
	attributes.attribute_map = {{"kova_ec.data_block_count", "8"}, {"kova_ec.redundancy_block_count", "2"}};
	for (int which = 0; which < 3; ++which) {
		SCOPED_TRACE(which);
		auto step = make_step(which);
		io_buffer_ranges const ranges = step->get_io_buffer_ranges();
		EXPECT_EQ(ranges.input, std::make_pair(1U, 2097152U));
		EXPECT_EQ(ranges.output, std::make_pair(1U, 2097152U));
		kova_buf *out = output(8);
		EXPECT_EQ(failure([&] { step->create_task_set(input("x"), out, out, kova_data{.u64 = 0}); }),
			  std::make_pair(kova_error{KOVA_ERROR_INVALID_VALUE}, std::string{"Invalid (empty) task user data"}));
	}
}

} // namespace
} // namespace kova::bench::step::test
