// Tests for the DMA stand-in (sdk/dma/), called through its function table as the steps call it.
#include "step/dma_fixture.hpp"

#include "dl/kova_dma_api.hpp"

#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/error.h>

#include <string>

namespace kova::bench::step::test {
namespace {

class kova_dma_library : public dma_fixture {
protected:
	void SetUp() override
	{
		dma_fixture::SetUp();
		api = dl::kova_dma_api::singleton();
		ASSERT_NE(api, nullptr);
		devinfo = kova_dev_as_devinfo(state.get_devices()[0]);
		ASSERT_EQ(api->kova_dma_create(state.get_devices()[0], &dma), KOVA_SUCCESS);
	}

	void TearDown() override
	{
		for (kova_dma_task_memcpy *task : tasks)
			kova_task_free(api->kova_dma_task_memcpy_as_task(task));
		utility::stop_ctx(api->kova_dma_as_ctx(dma), pe.get(), "kova_dma");
		EXPECT_EQ(api->kova_dma_destroy(dma), KOVA_SUCCESS);
	}

	void start(uint32_t num_tasks = 16)
	{
		kova_ctx *ctx = api->kova_dma_as_ctx(dma);
		ASSERT_EQ(kova_ctx_set_user_data(ctx, self()), KOVA_SUCCESS);
		ASSERT_EQ(api->kova_dma_task_memcpy_set_conf(dma, on_success, on_error, num_tasks), KOVA_SUCCESS);
		ASSERT_EQ(kova_pe_connect_ctx(pe.get(), ctx), KOVA_SUCCESS);
		ASSERT_EQ(kova_ctx_start(ctx), KOVA_SUCCESS);
	}

	kova_task *make_task(const kova_buf *src, kova_buf *dst, uint64_t tag = 1)
	{
		kova_dma_task_memcpy *task = nullptr;
		EXPECT_EQ(api->kova_dma_task_memcpy_alloc_init(dma, src, dst, kova_data{.u64 = tag}, &task), KOVA_SUCCESS);
		if (task == nullptr)
			return nullptr;
		tasks.push_back(task);
		return api->kova_dma_task_memcpy_as_task(task);
	}

	const dl::kova_dma_api *api = nullptr;
	const kova_devinfo *devinfo = nullptr;
	kova_dma *dma = nullptr;
	std::vector<kova_dma_task_memcpy *> tasks;
};

TEST_F(kova_dma_library, answers_its_capabilities_for_a_device)
{
	EXPECT_EQ(api->kova_dma_cap_task_memcpy_is_supported(devinfo), KOVA_SUCCESS);
	uint64_t max_buf_size = 0;
	EXPECT_EQ(api->kova_dma_cap_task_memcpy_get_max_buf_size(devinfo, &max_buf_size), KOVA_SUCCESS);
	EXPECT_EQ(max_buf_size, 2097152U);
	uint32_t max_list_len = 0;
	EXPECT_EQ(api->kova_dma_cap_task_memcpy_get_max_buf_list_len(devinfo, &max_list_len), KOVA_SUCCESS);
	EXPECT_GE(max_list_len, 1U);
	uint32_t max_num_tasks = 0;
	EXPECT_EQ(api->kova_dma_cap_get_max_num_tasks(dma, &max_num_tasks), KOVA_SUCCESS);
	EXPECT_GE(max_num_tasks, 1U << 16);

	EXPECT_EQ(api->kova_dma_cap_task_memcpy_is_supported(nullptr), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(api->kova_dma_cap_task_memcpy_get_max_buf_size(nullptr, &max_buf_size), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(api->kova_dma_cap_task_memcpy_get_max_buf_size(devinfo, nullptr), KOVA_ERROR_INVALID_VALUE);
}

TEST_F(kova_dma_library, refuses_null_arguments)
{
	kova_dma *other = nullptr;
	EXPECT_EQ(api->kova_dma_create(nullptr, &other), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(api->kova_dma_create(state.get_devices()[0], nullptr), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(api->kova_dma_destroy(nullptr), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(api->kova_dma_as_ctx(nullptr), nullptr);
	EXPECT_EQ(api->kova_dma_task_memcpy_as_task(nullptr), nullptr);
	EXPECT_EQ(api->kova_dma_task_memcpy_set_conf(nullptr, on_success, on_error, 1), KOVA_ERROR_INVALID_VALUE);

	start();
	kova_dma_task_memcpy *task = nullptr;
	kova_buf *buf = output(8);
	EXPECT_EQ(api->kova_dma_task_memcpy_alloc_init(dma, nullptr, buf, kova_data{.u64 = 1}, &task),
		  KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(api->kova_dma_task_memcpy_alloc_init(dma, buf, nullptr, kova_data{.u64 = 1}, &task),
		  KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(api->kova_dma_task_memcpy_alloc_init(dma, buf, buf, kova_data{.u64 = 1}, nullptr),
		  KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(task, nullptr);
}

TEST_F(kova_dma_library, task_configuration_rules)
{
	struct configuration_case {
		const char *what;
		uint32_t num_tasks;
		const char *override_query; // a capability answer changed first, or null
		kova_error override_result;
		uint64_t override_value;
		kova_error expected;
	};
	configuration_case const cases[] = {
		{"no task", 0, nullptr, 0, 0, KOVA_ERROR_INVALID_VALUE},
		{"one task", 1, nullptr, 0, 0, KOVA_SUCCESS},
		{"more than the device's maximum", 65, "kova_dma_cap_get_max_num_tasks", 0, 64, KOVA_ERROR_INVALID_VALUE},
		{"exactly the device's maximum", 64, "kova_dma_cap_get_max_num_tasks", 0, 64, KOVA_SUCCESS},
		{"a device without memcpy", 1, "kova_dma_cap_task_memcpy_is_supported", KOVA_ERROR_NOT_SUPPORTED, 0,
		 KOVA_ERROR_NOT_SUPPORTED},
		{"a failing maximum query", 1, "kova_dma_cap_task_memcpy_get_max_buf_size", KOVA_ERROR_DRIVER, 0,
		 KOVA_ERROR_DRIVER},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.what);
		kova_test_reset();
		if (c.override_query != nullptr)
			kova_test_override_capability(c.override_query, c.override_result, c.override_value);
		EXPECT_EQ(api->kova_dma_task_memcpy_set_conf(dma, on_success, on_error, c.num_tasks), c.expected);
	}

	kova_test_reset();
	start(4);
	EXPECT_EQ(api->kova_dma_task_memcpy_set_conf(dma, on_success, on_error, 8), KOVA_ERROR_BAD_STATE)
		<< "a running context keeps its tasks";
}

TEST_F(kova_dma_library, a_task_appends_its_source_to_its_destination_when_the_engine_runs_it)
{
	start();
	kova_buf *dst = output(16);
	kova_task *task = make_task(input("hello"), dst, 42);

	ASSERT_EQ(kova_task_submit(task), KOVA_SUCCESS);
	EXPECT_EQ(contents(dst), "") << "nothing is copied inside the submission";
	wait_for_completions(1);
	EXPECT_TRUE(completions[0].success);
	EXPECT_EQ(completions[0].task, task);
	EXPECT_EQ(completions[0].task_user_data, 42U);
	EXPECT_EQ(contents(dst), "hello");

	ASSERT_EQ(kova_task_submit(task), KOVA_SUCCESS);
	wait_for_completions(2);
	EXPECT_EQ(contents(dst), "hellohello") << "the output rule appends";
}

TEST_F(kova_dma_library, copies_lists_element_by_element)
{
	start();
	kova_buf *src = input("abc");
	ASSERT_EQ(kova_buf_chain_list(src, input("defgh")), KOVA_SUCCESS);
	kova_buf *dst = output(2);
	ASSERT_EQ(kova_buf_chain_list(dst, output(4)), KOVA_SUCCESS);
	ASSERT_EQ(kova_buf_chain_list(dst, output(8)), KOVA_SUCCESS);
	kova_task *task = make_task(src, dst);

	ASSERT_EQ(kova_task_submit(task), KOVA_SUCCESS);
	wait_for_completions(1);
	EXPECT_TRUE(completions[0].success);
	EXPECT_EQ(contents(dst), "abcdefgh");
	kova_buf *second = nullptr;
	kova_buf_get_next_in_list(dst, &second);
	std::size_t len = 0;
	kova_buf_get_data_len(second, &len);
	EXPECT_EQ(len, 4U) << "each element is filled before the next";
}

TEST_F(kova_dma_library, a_failing_task_completes_through_the_error_callback_and_changes_nothing)
{
	start();
	kova_buf *small = output(4);
	kova_task *too_long = make_task(input("12345"), small, 1);
	ASSERT_EQ(kova_task_submit(too_long), KOVA_SUCCESS);
	wait_for_completions(1);
	EXPECT_FALSE(completions[0].success);
	EXPECT_EQ(completions[0].status, KOVA_ERROR_NO_MEMORY);
	EXPECT_EQ(contents(small), "") << "no partial copy";

	// More elements in a list than the device takes.
	kova_test_override_capability("kova_dma_cap_task_memcpy_get_max_buf_list_len", 0, 1);
	kova_dma *limited = nullptr;
	ASSERT_EQ(api->kova_dma_create(state.get_devices()[0], &limited), KOVA_SUCCESS);
	kova_ctx *ctx = api->kova_dma_as_ctx(limited);
	ASSERT_EQ(kova_ctx_set_user_data(ctx, self()), KOVA_SUCCESS);
	ASSERT_EQ(api->kova_dma_task_memcpy_set_conf(limited, on_success, on_error, 1), KOVA_SUCCESS);
	ASSERT_EQ(kova_pe_connect_ctx(pe.get(), ctx), KOVA_SUCCESS);
	ASSERT_EQ(kova_ctx_start(ctx), KOVA_SUCCESS);
	kova_buf *src = input("ab");
	ASSERT_EQ(kova_buf_chain_list(src, input("cd")), KOVA_SUCCESS);
	kova_buf *dst = output(8);
	kova_dma_task_memcpy *chained = nullptr;
	ASSERT_EQ(api->kova_dma_task_memcpy_alloc_init(limited, src, dst, kova_data{.u64 = 2}, &chained), KOVA_SUCCESS);
	ASSERT_EQ(kova_task_submit(api->kova_dma_task_memcpy_as_task(chained)), KOVA_SUCCESS);
	wait_for_completions(2);
	EXPECT_FALSE(completions[1].success);
	EXPECT_EQ(completions[1].status, KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(contents(dst), "");
	kova_task_free(api->kova_dma_task_memcpy_as_task(chained));
	utility::stop_ctx(ctx, pe.get(), "kova_dma");
	EXPECT_EQ(api->kova_dma_destroy(limited), KOVA_SUCCESS);
}

TEST_F(kova_dma_library, a_source_above_the_maximum_buffer_size_is_refused_at_submission)
{
	kova_test_override_capability("kova_dma_cap_task_memcpy_get_max_buf_size", 0, 4);
	start();
	kova_buf *dst = output(16);
	EXPECT_EQ(kova_task_submit(make_task(input("12345"), dst)), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_task_submit(make_task(input("1234"), dst)), KOVA_SUCCESS);
	wait_for_completions(1);
	EXPECT_EQ(contents(dst), "1234");
}

TEST_F(kova_dma_library, the_default_maximum_is_two_mebibytes)
{
	start();
	std::string const largest(2097152, 'x');
	kova_buf *dst = output(largest.size() + 1);
	EXPECT_EQ(kova_task_submit(make_task(input(largest + "y"), dst)), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_task_submit(make_task(input(largest), dst)), KOVA_SUCCESS);
	wait_for_completions(1);
	EXPECT_EQ(contents(dst), largest);
}

TEST_F(kova_dma_library, the_task_pool_holds_the_configured_number_of_tasks)
{
	start(2);
	kova_buf *buf = output(8);
	make_task(buf, buf);
	make_task(buf, buf);
	kova_dma_task_memcpy *third = nullptr;
	EXPECT_EQ(api->kova_dma_task_memcpy_alloc_init(dma, buf, buf, kova_data{.u64 = 1}, &third), KOVA_ERROR_NO_MEMORY);
	EXPECT_EQ(third, nullptr);
}

TEST_F(kova_dma_library, source_and_destination_can_be_replaced)
{
	start();
	kova_buf *first = output(8);
	kova_buf *second = output(8);
	kova_dma_task_memcpy *task = nullptr;
	const kova_buf *src = input("new");
	ASSERT_EQ(api->kova_dma_task_memcpy_alloc_init(dma, input("old"), first, kova_data{.u64 = 1}, &task),
		  KOVA_SUCCESS);
	tasks.push_back(task);
	api->kova_dma_task_memcpy_set_src(task, src);
	api->kova_dma_task_memcpy_set_dst(task, second);
	EXPECT_EQ(api->kova_dma_task_memcpy_get_src(task), src);
	EXPECT_EQ(api->kova_dma_task_memcpy_get_dst(task), second);
	ASSERT_EQ(kova_task_submit(api->kova_dma_task_memcpy_as_task(task)), KOVA_SUCCESS);
	wait_for_completions(1);
	EXPECT_EQ(contents(first), "");
	EXPECT_EQ(contents(second), "new");
}

TEST_F(kova_dma_library, an_instance_with_tasks_in_flight_is_kept)
{
	start();
	kova_buf *dst = output(8);
	ASSERT_EQ(kova_task_submit(make_task(input("x"), dst)), KOVA_SUCCESS);
	EXPECT_EQ(api->kova_dma_destroy(dma), KOVA_ERROR_BAD_STATE);
	wait_for_completions(1);
	EXPECT_EQ(contents(dst), "x");
}

} // namespace
} // namespace kova::bench::step::test
