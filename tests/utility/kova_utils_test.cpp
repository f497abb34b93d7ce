// Unit tests for utility/kova_utils against the stand-in SDK, observed through its test control.
#include "support/thrown_by.hpp"
#include "utility/kova_utils.hpp"

#include "aligned_buffer.hpp"
#include "kova_exception.hpp"
#include "support/copy_library.hpp"

#include <kova/error.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace kova::bench::utility {
namespace {

using kova::sdk_test::copy_as_ctx;
using kova::sdk_test::copy_as_task;
using kova::sdk_test::copy_instance;
using kova::sdk_test::copy_task;

std::string read_trace()
{
	std::string text(kova_test_trace_read(nullptr, 0), '\0');
	kova_test_trace_read(text.data(), text.size() + 1);
	return text;
}

using kova::test::thrown_by;

class kova_utils : public ::testing::Test {
protected:
	void SetUp() override { kova_test_reset(); }
	void TearDown() override { kova_test_reset(); }
};

// Devices opened from the default table: device 0, device 1, device 0 again.
class opened_devices {
public:
	opened_devices()
	{
		devinfo_list list = make_devinfo_list();
		for (int i = 0; i < 3; ++i) {
			kova_dev *dev = nullptr;
			EXPECT_EQ(kova_dev_open(list.begin()[i % 2], &dev), KOVA_SUCCESS);
			m_devices.push_back(dev);
		}
	}
	~opened_devices()
	{
		for (kova_dev *dev : m_devices)
			kova_dev_close(dev);
	}
	opened_devices(const opened_devices &) = delete;
	opened_devices &operator=(const opened_devices &) = delete;

	span<kova_dev *> first(std::size_t n) { return span<kova_dev *>{m_devices.data(), n}; }

private:
	std::vector<kova_dev *> m_devices;
};

TEST_F(kova_utils, device_and_representor_lists)
{
	devinfo_list devices = make_devinfo_list();
	ASSERT_EQ(devices.size(), 2u);
	std::vector<kova_devinfo *> seen;
	for (kova_devinfo *info : devices)
		seen.push_back(info);
	ASSERT_EQ(seen.size(), 2u);
	uint8_t equal = 0;
	ASSERT_EQ(kova_devinfo_is_equal_pci_addr(seen[1], "03:00.1", &equal), KOVA_SUCCESS);
	EXPECT_EQ(equal, 1);

	kova_dev *dev = nullptr;
	ASSERT_EQ(kova_dev_open(seen[0], &dev), KOVA_SUCCESS);
	kova_test_trace_enable(1);
	devinfo_rep_list reps = make_devinfo_rep_list_from_dev(dev);
	devinfo_rep_list reps_too = make_devinfo_rep_list_from_dev(dev, 0);
	EXPECT_EQ(read_trace(), "kova_devinfo_rep_create_list(2)\nkova_devinfo_rep_create_list(2)\n")
		<< "both forms ask for network representors";
	ASSERT_EQ(reps.size(), 1u);
	EXPECT_EQ(reps_too.size(), 1u);
	ASSERT_EQ(kova_devinfo_rep_is_equal_pci_addr(*reps.begin(), "0000:03:00.2", &equal), KOVA_SUCCESS);
	EXPECT_EQ(equal, 1);

	devinfo_rep_list moved = std::move(reps);
	EXPECT_EQ(moved.size(), 1u);
	kova_dev_close(dev);
}

TEST_F(kova_utils, creation_failures_carry_the_sdk_code_and_a_fixed_message)
{
	struct entry {
		const char *function;
		kova_error code;
		const char *message;
		void (*call)();
	} const cases[] = {
		{"kova_devinfo_create_list", KOVA_ERROR_DRIVER, "Unable to enumerate kova devices",
		 [] { make_devinfo_list(); }},
		{"kova_pe_create", KOVA_ERROR_NO_MEMORY, "Unable to create kova progress engine", [] { make_pe(); }},
		{"kova_buf_inventory_create", KOVA_ERROR_NO_MEMORY, "Unable to create buffer inventory",
		 [] { make_inventory(4); }},
		{"kova_buf_inventory_start", KOVA_ERROR_BAD_STATE, "Unable to start buffer inventory",
		 [] { make_inventory(4); }},
	};
	for (const entry &c : cases) {
		SCOPED_TRACE(c.function);
		kova_test_force_result(c.function, c.code, 1);
		kova::exception const e = thrown_by(c.call);
		EXPECT_EQ(e.code(), c.code);
		EXPECT_STREQ(e.what(), c.message);
		EXPECT_NE(std::string{e.file()}.find("utility/kova_utils"), std::string::npos);
	}
}

TEST_F(kova_utils, a_representor_list_failure_is_reported)
{
	opened_devices devices;
	kova_test_force_result("kova_devinfo_rep_create_list", KOVA_ERROR_NOT_SUPPORTED, 1);
	kova::exception const e = thrown_by([&] { make_devinfo_rep_list_from_dev(devices.first(1)[0]); });
	EXPECT_EQ(e.code(), KOVA_ERROR_NOT_SUPPORTED);
	EXPECT_STREQ(e.what(), "Unable to enumerate kova device representors");
	EXPECT_STREQ(e.function(), "make_devinfo_rep_list_from_dev");
}

TEST_F(kova_utils, an_inventory_whose_start_fails_is_destroyed)
{
	kova_test_trace_enable(1);
	kova_test_force_result("kova_buf_inventory_start", KOVA_ERROR_BAD_STATE, 1);
	EXPECT_THROW(make_inventory(2), kova::exception);
	EXPECT_EQ(read_trace(), "kova_buf_inventory_create(2)\nkova_buf_inventory_start\nkova_buf_inventory_destroy\n");
}

TEST_F(kova_utils, make_mmap_configures_the_devices_range_and_permissions_in_order)
{
	opened_devices devices;
	aligned_buffer buffer{8192};
	struct entry {
		std::size_t devices;
		kova::optional<uint32_t> permissions;
		const char *trace;
	} const cases[] = {
		{0, {}, "kova_mmap_create\nkova_mmap_set_memrange(8192)\nkova_mmap_start\n"},
		{1, 39u, "kova_mmap_create\nkova_mmap_add_dev\nkova_mmap_set_memrange(8192)\nkova_mmap_set_permissions(39)\n"
			 "kova_mmap_start\n"},
		{3, 7u, "kova_mmap_create\nkova_mmap_set_max_num_devices(3)\nkova_mmap_add_dev\nkova_mmap_add_dev\n"
			"kova_mmap_add_dev\nkova_mmap_set_memrange(8192)\nkova_mmap_set_permissions(7)\nkova_mmap_start\n"},
	};
	for (const entry &c : cases) {
		SCOPED_TRACE(c.devices);
		kova_test_trace_enable(1);
		auto mmap = make_mmap(buffer, devices.first(c.devices), c.permissions);
		ASSERT_NE(mmap, nullptr);
		EXPECT_EQ(read_trace(), c.trace);
		void *addr = nullptr;
		std::size_t len = 0;
		ASSERT_EQ(kova_mmap_get_memrange(mmap.get(), &addr, &len), KOVA_SUCCESS);
		EXPECT_EQ(addr, buffer.data());
		EXPECT_EQ(len, buffer.size());
	}
}

TEST_F(kova_utils, make_mmap_failures_destroy_the_map)
{
	opened_devices devices;
	aligned_buffer buffer{4096};
	struct entry {
		const char *function;
		kova_error code;
		const char *message;
	} const cases[] = {
		{"kova_mmap_set_max_num_devices", KOVA_ERROR_INVALID_VALUE, "Unable to configure mmap to support 3 devices"},
		{"kova_mmap_add_dev", KOVA_ERROR_NO_MEMORY, "Unable to register device with mmap"},
		{"kova_mmap_set_memrange", KOVA_ERROR_INVALID_VALUE, "Unable to set mmap memory range"},
		{"kova_mmap_set_permissions", KOVA_ERROR_INVALID_VALUE, "Unable to set mmap permissions"},
		{"kova_mmap_start", KOVA_ERROR_DRIVER, "Unable to start mmap - consider increasing memory limit: ulimit -l"},
		{"kova_mmap_start", KOVA_ERROR_NO_MEMORY, "Unable to start mmap"},
	};
	for (const entry &c : cases) {
		SCOPED_TRACE(c.message);
		kova_test_trace_enable(1);
		kova_test_force_result(c.function, c.code, 1);
		kova::exception const e = thrown_by([&] { make_mmap(buffer, devices.first(3), 39u); });
		EXPECT_EQ(e.code(), c.code);
		EXPECT_STREQ(e.what(), c.message);
		EXPECT_STREQ(e.function(), "make_mmap");
		std::string const trace = read_trace();
		EXPECT_EQ(trace.substr(trace.size() - 18), "kova_mmap_destroy\n") << trace;
		EXPECT_NE(trace.find(c.function), std::string::npos) << "the failing call was made";
	}
}

TEST_F(kova_utils, a_failed_first_device_stops_the_device_loop)
{
	opened_devices devices;
	aligned_buffer buffer{4096};
	kova_test_trace_enable(1);
	kova_test_force_result("kova_mmap_add_dev", KOVA_ERROR_NO_MEMORY, 1);
	EXPECT_THROW(make_mmap(buffer, devices.first(3), {}), kova::exception);
	EXPECT_EQ(read_trace(), "kova_mmap_create\nkova_mmap_set_max_num_devices(3)\nkova_mmap_add_dev\nkova_mmap_destroy\n");
}

TEST_F(kova_utils, a_map_that_cannot_be_created_is_reported_from_the_creating_callable)
{
	aligned_buffer buffer{4096};
	kova_test_force_result("kova_mmap_create", KOVA_ERROR_NO_MEMORY, 1);
	kova::exception const e = thrown_by([&] { make_mmap(buffer, {}, {}); });
	EXPECT_EQ(e.code(), KOVA_ERROR_NO_MEMORY);
	EXPECT_STREQ(e.what(), "Unable to create mmap");
	EXPECT_STREQ(e.function(), "operator()");
}

TEST_F(kova_utils, a_map_from_an_export_passes_the_descriptor)
{
	opened_devices devices;
	remote_mmap_definition const definition{{'a', 'b', 'c', 'd', 'e'}};
	kova_test_trace_enable(1);
	kova::exception const e = thrown_by([&] { make_mmap_from_export(definition, devices.first(1)[0]); });
	EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE) << "a 5-byte descriptor is malformed";
	EXPECT_STREQ(e.what(), "Unable to create mmap from export");
	EXPECT_EQ(read_trace(), "kova_mmap_create_from_export(5)\n");
}

TEST_F(kova_utils, get_buffer_covers_the_range_with_its_data_and_refuses_ranges_outside_the_map)
{
	opened_devices devices;
	aligned_buffer buffer{4096};
	auto mmap = make_mmap(buffer, devices.first(1), {});
	auto inventory = make_inventory(2);
	char *const base = reinterpret_cast<char *>(buffer.data());

	kova_buf *buf = get_buffer(inventory.get(), mmap.get(), base + 100, 50);
	void *data = nullptr;
	std::size_t data_len = 0;
	std::size_t len = 0;
	kova_buf_get_data(buf, &data);
	kova_buf_get_data_len(buf, &data_len);
	kova_buf_get_len(buf, &len);
	EXPECT_EQ(data, base + 100);
	EXPECT_EQ(data_len, 50u);
	EXPECT_EQ(len, 50u);

	kova::exception const e = thrown_by([&] { get_buffer(inventory.get(), mmap.get(), base + 4000, 200); });
	EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
	EXPECT_STREQ(e.what(), "Unable to get translation buffer from pool");
	EXPECT_EQ(kova_buf_dec_refcount(buf, nullptr), KOVA_SUCCESS);
}

TEST_F(kova_utils, describe_kova_buf_names_data_head_and_lengths)
{
	opened_devices devices;
	aligned_buffer buffer{4096};
	auto mmap = make_mmap(buffer, devices.first(1), {});
	auto inventory = make_inventory(1);
	char *const base = reinterpret_cast<char *>(buffer.data());
	kova_buf *buf = nullptr;
	ASSERT_EQ(kova_buf_inventory_buf_get_by_args(inventory.get(), mmap.get(), base + 16, 64, base + 32, 10, &buf),
		  KOVA_SUCCESS);
	char expected[128];
	std::snprintf(expected, sizeof(expected), "data: 0x%lx, head: 0x%lx, data_len: 10, len: 64",
		      reinterpret_cast<unsigned long>(base + 32), reinterpret_cast<unsigned long>(base + 16));
	EXPECT_EQ(describe_kova_buf(buf), expected);
	EXPECT_EQ(kova_buf_dec_refcount(buf, nullptr), KOVA_SUCCESS);
}

// A started copy context on its own engine, with one task over a small map.
class context_fixture : public kova_utils {
protected:
	static void on_done(kova_task *, kova_data, kova_data) {}

	void SetUp() override
	{
		kova_utils::SetUp();
		pe = make_pe();
		lib = kova::sdk_test::copy_create();
		ASSERT_EQ(kova::sdk_test::copy_set_conf(lib, on_done, on_done, 4), KOVA_SUCCESS);
		ASSERT_EQ(kova_pe_connect_ctx(pe.get(), copy_as_ctx(lib)), KOVA_SUCCESS);
		ASSERT_EQ(kova_ctx_start(copy_as_ctx(lib)), KOVA_SUCCESS);
		mmap = make_mmap(buffer, {}, {});
		inventory = make_inventory(2);
		char *const base = reinterpret_cast<char *>(buffer.data());
		src = get_buffer(inventory.get(), mmap.get(), base, 8);
		ASSERT_EQ(kova_buf_inventory_buf_get_by_args(inventory.get(), mmap.get(), base + 8, 8, base + 8, 0, &dst),
			  KOVA_SUCCESS);
		ASSERT_EQ(kova::sdk_test::copy_alloc_init(lib, src, dst, kova_data{.u64 = 1}, &task), KOVA_SUCCESS);
	}

	void TearDown() override
	{
		kova_test_reset();
		kova_task_free(copy_as_task(task));
		kova_ctx_stop(copy_as_ctx(lib));
		while (kova_pe_progress(pe.get()) != 0) {
		}
		EXPECT_EQ(kova::sdk_test::copy_destroy(lib), KOVA_SUCCESS);
		kova_buf_dec_refcount(src, nullptr);
		kova_buf_dec_refcount(dst, nullptr);
		kova_utils::TearDown();
	}

	kova_ctx_states state() const { return get_context_state(copy_as_ctx(lib)); }

	std::string stop_and_capture_stderr(std::vector<kova_task *> *tasks = nullptr)
	{
		testing::internal::CaptureStderr();
		if (tasks == nullptr)
			stop_ctx(copy_as_ctx(lib), pe.get(), "copy");
		else
			stop_ctx(copy_as_ctx(lib), pe.get(), "copy", tasks);
		return testing::internal::GetCapturedStderr();
	}

	uint64_t progress_calls() const
	{
		kova_test_counters counters{};
		kova_test_pe_get_counters(pe.get(), &counters);
		return counters.progress_calls;
	}

	aligned_buffer buffer{4096};
	std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> pe;
	copy_instance *lib = nullptr;
	std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>> mmap;
	std::unique_ptr<kova_buf_inventory, kova::delegated_deleter<kova_buf_inventory>> inventory;
	kova_buf *src = nullptr;
	kova_buf *dst = nullptr;
	copy_task *task = nullptr;
};

using context_helpers = context_fixture;

TEST_F(context_helpers, context_state_queries)
{
	EXPECT_EQ(state(), KOVA_CTX_STATE_RUNNING);
	EXPECT_TRUE(is_context_running(copy_as_ctx(lib)));
	EXPECT_FALSE(is_context_running(nullptr));
	kova::exception const null_ctx = thrown_by([] { get_context_state(nullptr); });
	EXPECT_EQ(null_ctx.code(), KOVA_ERROR_INVALID_VALUE);
	EXPECT_STREQ(null_ctx.what(), "Ctx cannot be a nullptr");

	kova_test_force_result("kova_ctx_get_state", KOVA_ERROR_IO_FAILED, 2);
	EXPECT_FALSE(is_context_running(copy_as_ctx(lib))) << "a failed query reads as not running";
	kova::exception const failed = thrown_by([&] { state(); });
	EXPECT_EQ(failed.code(), KOVA_ERROR_IO_FAILED);
	EXPECT_STREQ(failed.what(), "Unable to get ctx state");
}

TEST_F(context_helpers, stop_ctx_on_an_idle_context_makes_no_stop_call)
{
	ASSERT_EQ(kova_ctx_stop(copy_as_ctx(lib)), KOVA_SUCCESS);
	kova_test_trace_enable(1);
	EXPECT_EQ(stop_and_capture_stderr(), "");
	EXPECT_EQ(read_trace(), "kova_ctx_get_state\n");
}

TEST_F(context_helpers, stop_ctx_with_an_immediate_stop_makes_exactly_one_call)
{
	kova_test_trace_enable(1);
	EXPECT_EQ(stop_and_capture_stderr(), "");
	EXPECT_EQ(read_trace(), "kova_ctx_get_state\nkova_ctx_stop\n");
	EXPECT_EQ(state(), KOVA_CTX_STATE_IDLE);
}

TEST_F(context_helpers, a_refused_stop_prints_one_line_and_drives_no_progress)
{
	uint64_t const before = progress_calls();
	kova_test_force_result("kova_ctx_stop", KOVA_ERROR_BAD_STATE, 1);
	EXPECT_EQ(stop_and_capture_stderr(), "Unable to stop copy ctx: KOVA_ERROR_BAD_STATE\n");
	EXPECT_EQ(progress_calls(), before);
	EXPECT_EQ(state(), KOVA_CTX_STATE_RUNNING) << "left as it is";
}

TEST_F(context_helpers, a_failed_state_query_prints_one_line)
{
	kova_test_force_result("kova_ctx_get_state", KOVA_ERROR_IO_FAILED, 1);
	EXPECT_EQ(stop_and_capture_stderr(), "Unable to get copy ctx state\n");
	EXPECT_EQ(state(), KOVA_CTX_STATE_RUNNING);
}

TEST_F(context_helpers, null_context_or_engine_does_nothing)
{
	kova_test_trace_enable(1);
	testing::internal::CaptureStderr();
	stop_ctx(nullptr, pe.get(), "copy");
	stop_ctx(copy_as_ctx(lib), nullptr, "copy", nullptr);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
	EXPECT_EQ(read_trace(), "");
}

TEST_F(context_helpers, tasks_in_flight_are_drained_then_the_listed_tasks_are_freed)
{
	ASSERT_EQ(kova_task_submit_ex(copy_as_task(task), 0), KOVA_SUCCESS) << "unflushed";
	std::vector<kova_task *> tasks{copy_as_task(task)};
	EXPECT_EQ(stop_and_capture_stderr(&tasks), "");
	EXPECT_EQ(state(), KOVA_CTX_STATE_IDLE);
	EXPECT_TRUE(tasks.empty());
	EXPECT_EQ(kova_task_free(copy_as_task(task)), KOVA_ERROR_BAD_STATE) << "already freed";
	ASSERT_EQ(kova::sdk_test::copy_alloc_init(lib, src, dst, kova_data{.u64 = 1}, &task), KOVA_ERROR_BAD_STATE)
		<< "stopped";
	task = nullptr;
}

TEST_F(context_helpers, a_failed_in_flight_count_ends_the_stop)
{
	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	kova_test_force_result("kova_ctx_get_num_inflight_tasks", KOVA_ERROR_IO_FAILED, 1);
	std::vector<kova_task *> tasks{copy_as_task(task)};
	EXPECT_EQ(stop_and_capture_stderr(&tasks), "Unable to get num_inflight_tasks\n");
	EXPECT_EQ(tasks.size(), 1u) << "nothing freed";
}

TEST_F(context_helpers, a_context_that_never_drains_gives_up_after_five_seconds)
{
	ASSERT_EQ(kova_task_submit(copy_as_task(task)), KOVA_SUCCESS);
	kova_test_hold_completions(1);
	std::vector<kova_task *> listed{copy_as_task(task)};
	for (std::vector<kova_task *> *tasks : {static_cast<std::vector<kova_task *> *>(nullptr), &listed}) {
		SCOPED_TRACE(tasks == nullptr ? "without a task list" : "with a task list");
		auto const started = std::chrono::steady_clock::now();
		EXPECT_EQ(stop_and_capture_stderr(tasks), "Unable to stop copy ctx: timed out\n");
		auto const elapsed = std::chrono::steady_clock::now() - started;
		EXPECT_GE(elapsed, std::chrono::seconds{5});
		EXPECT_LT(elapsed, std::chrono::seconds{30}) << "bounded";
		EXPECT_EQ(state(), KOVA_CTX_STATE_STOPPING);
	}
	kova_test_hold_completions(0);
}

} // namespace
} // namespace kova::bench::utility
