// The comch steps without a companion: their server names and task counts, refusals before any
// task is made, and no teardown without a companion worker.
#include "step/factory.hpp"
#include "step/kova_comch_step.hpp"

#include "kova_exception.hpp"
#include "runtime_state.hpp"
#include "support/kova_throws.hpp"
#include "utility/async/sequence.hpp"
#include "utility/kova_utils.hpp"

#include <kova/comch.h>
#include <kova/dev.h>
#include <kova/error.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

namespace kova::bench::step {
namespace {

void on_task(kova_task * /*task*/, kova_data /*task_user_data*/, kova_data /*ctx_user_data*/) {}

class comch_step_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		m_state.open_device_and_representor("03:00.1", {});
		m_pe = utility::make_pe();
	}
	void TearDown() override { kova_test_reset(); }

	static object::attributes attributes(uint32_t jobs)
	{
		object::attributes value;
		value.task_pool_size = jobs;
		value.job_output_buffer_size = 4096;
		value.job_count = jobs;
		value.job_input_size = 4096;
		return value;
	}

	std::unique_ptr<object> make(const std::string &name, uint32_t jobs = 16)
	{
		return factory::create_step(name, attributes(jobs), m_state, m_pe.get(), on_task, on_task,
					    kova_data{.u64 = 7});
	}

	runtime_state m_state;
	std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> m_pe;
};

TEST_F(comch_step_test, each_instance_has_its_own_server_name_and_the_consumer_twice_the_tasks)
{
	struct count_case {
		const char *name;
		uint32_t jobs;
		uint32_t send_tasks;
	};
	std::set<std::string> names;
	for (auto const &c : {count_case{"kova_comch::consumer", 16, 32}, count_case{"kova_comch::producer", 16, 16},
			      count_case{"kova_comch::consumer", 1, 2}, count_case{"kova_comch::producer", 1, 1}}) {
		SCOPED_TRACE(std::string{c.name} + " " + std::to_string(c.jobs));
		auto const built = make(c.name, c.jobs);
		EXPECT_STREQ(built->get_name(), c.name);
		auto const &cfg = static_cast<const comch_step_base &>(*built).get_endpoint_cfg();
		EXPECT_TRUE(std::regex_match(cfg.server_name, std::regex{"cc_server[1-9][0-9]*"})) << cfg.server_name;
		EXPECT_LE(cfg.server_name.size(), 64U);
		names.insert(cfg.server_name);
		EXPECT_EQ(cfg.send_task_count, c.send_tasks);
		EXPECT_EQ(cfg.buffer_size, 4096U);
		EXPECT_EQ(cfg.recv_queue_size, 0U);
		EXPECT_EQ(cfg.max_msg_size, 0U);
	}
	EXPECT_EQ(names.size(), 4U);
}

TEST_F(comch_step_test, refusals_come_before_any_task_and_no_worker_means_no_teardown)
{
	for (const char *name : {"kova_comch::consumer", "kova_comch::producer"}) {
		SCOPED_TRACE(name);
		auto const built = make(name);
		EXPECT_EQ(built->get_companion_worker_id(), 0U);
		EXPECT_EQ(built->start_async_teardown(), nullptr);
		EXPECT_KOVA_THROW(built->create_task_set(nullptr, nullptr, nullptr, kova_data{.u64 = 0}),
				  KOVA_ERROR_INVALID_VALUE, "Invalid (empty) task user data");
		uint32_t max_size = 0;
		ASSERT_EQ(kova_comch_producer_cap_get_max_buf_size(kova_dev_as_devinfo(m_state.get_devices()[0]), &max_size),
			  KOVA_SUCCESS);
		auto const ranges = built->get_io_buffer_ranges();
		EXPECT_EQ(ranges.input, (std::pair<uint32_t, uint32_t>{1, max_size}));
		EXPECT_EQ(ranges.output, (std::pair<uint32_t, uint32_t>{1, max_size}));
	}
	// No remote consumer announced: no send to consumer 0.
	auto const producer = make("kova_comch::producer");
	EXPECT_KOVA_THROW(producer->create_task_set(nullptr, nullptr, nullptr, kova_data{.u64 = 1}),
			  KOVA_ERROR_UNEXPECTED, "No remote kova_comch consumer is connected");
}

TEST(comch_step_names, server_numbers_differ_within_a_process)
{
	std::set<uint64_t> numbers;
	for (int i = 0; i < 1000; ++i)
		numbers.insert(next_comch_server_number());
	EXPECT_EQ(numbers.size(), 1000U);
}

} // namespace
} // namespace kova::bench::step
