// Tests of runtime_state over the stand-in SDK's device table.
#include "support/thrown_by.hpp"
#include "runtime_state.hpp"

#include "companion/api/async_context.hpp"
#include "companion/api/connection.hpp"
#include "kova_exception.hpp"

#include <kova/dev.h>
#include <kova/error.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kova::bench {
namespace {

using kova::test::thrown_by;

bool has_pci_address(kova_dev *dev, const char *address)
{
	uint8_t equal = 0;
	return kova_devinfo_is_equal_pci_addr(kova_dev_as_devinfo(dev), address, &equal) == KOVA_SUCCESS && equal != 0;
}

class runtime_state_test : public ::testing::Test {
protected:
	void SetUp() override { kova_test_reset(); }
	void TearDown() override { kova_test_reset(); }

	// Two devices answering to the interface name "eth9": the first cannot filter network
	// representors.
	static void use_two_devices_named_eth9()
	{
		static const char *const reps[] = {"04:00.2", "04:00.3"};
		kova_test_device const devices[] = {
			{"03:00.0", "kova_a", "eth9", 0, nullptr, 0},
			{"04:00.0", "kova_b", "eth9", 1, reps, 2},
		};
		ASSERT_EQ(kova_test_set_device_table(devices, 2), KOVA_SUCCESS);
	}
};

struct null_connection : companion::api::connection {
	void set_supported_api_versions(std::vector<companion::api::version> versions) override
	{
		m_versions = std::move(versions);
	}
	const std::vector<companion::api::version> &get_supported_api_versions() const override { return m_versions; }
	void disconnect(bool) override {}
	bool send(companion::api::message_buffer &) override { return true; }
	bool receive(companion::api::message_buffer &) override { return false; }

	std::vector<companion::api::version> m_versions;
};

TEST_F(runtime_state_test, starts_empty_and_numbers_messages_from_one)
{
	runtime_state const state;
	EXPECT_TRUE(state.get_devices().empty());
	EXPECT_EQ(state.get_representor(), nullptr);
	EXPECT_EQ(state.get_companion_connection(), nullptr);
	EXPECT_EQ(state.get_companion_connection_async(), nullptr);
	EXPECT_EQ(state.get_dpdk_ctx(), nullptr);
	EXPECT_EQ(state.get_gpu_device(), nullptr);
	EXPECT_EQ(state.get_next_api_message_seq_num(), 1u);
	EXPECT_EQ(state.get_next_api_message_seq_num(), 2u);
	EXPECT_EQ(state.get_next_api_message_seq_num(), 3u);
}

TEST_F(runtime_state_test, a_device_opens_by_pci_address_infiniband_name_or_interface_name)
{
	for (const char *address : {"03:00.1", "0000:03:00.1", "kova_1", "kovap1"}) {
		SCOPED_TRACE(address);
		runtime_state state;
		state.open_device_and_representor(address, {});
		ASSERT_EQ(state.get_devices().size(), 1u);
		EXPECT_TRUE(has_pci_address(state.get_devices()[0], "03:00.1"));
		EXPECT_EQ(state.get_representor(), nullptr);
	}
}

TEST_F(runtime_state_test, devices_accumulate_in_opening_order)
{
	runtime_state state;
	state.open_device_and_representor("kovap1", {});
	state.open_device_and_representor("03:00.0", {});
	ASSERT_EQ(state.get_devices().size(), 2u);
	EXPECT_TRUE(has_pci_address(state.get_devices()[0], "03:00.1"));
	EXPECT_TRUE(has_pci_address(state.get_devices()[1], "03:00.0"));
}

TEST_F(runtime_state_test, a_representor_request_skips_devices_that_cannot_filter_network_representors)
{
	use_two_devices_named_eth9();
	{
		runtime_state state;
		state.open_device_and_representor("eth9", {});
		EXPECT_TRUE(has_pci_address(state.get_devices()[0], "03:00.0"));
	}
	runtime_state state;
	state.open_device_and_representor("eth9", std::string{"04:00.3"});
	ASSERT_EQ(state.get_devices().size(), 1u);
	EXPECT_TRUE(has_pci_address(state.get_devices()[0], "04:00.0"));
	ASSERT_NE(state.get_representor(), nullptr);
}

TEST_F(runtime_state_test, failures_to_find_or_open)
{
	runtime_state state;
	auto const unknown = thrown_by([&] { state.open_device_and_representor("05:00.0", {}); });
	EXPECT_EQ(unknown.code(), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(std::string{unknown.what()}, "No suitable device found matching address: 05:00.0");
	EXPECT_TRUE(state.get_devices().empty());

	// The device stays open when its representor is not found.
	auto const no_rep = thrown_by([&] { state.open_device_and_representor("03:00.0", std::string{"03:00.7"}); });
	EXPECT_EQ(no_rep.code(), KOVA_ERROR_NOT_FOUND);
	EXPECT_EQ(std::string{no_rep.what()}, "No suitable representor found");
	EXPECT_EQ(state.get_devices().size(), 1u);

	kova_test_force_result("kova_dev_open", KOVA_ERROR_NO_MEMORY, 1);
	auto const open_failed = thrown_by([&] { state.open_device_and_representor("03:00.1", {}); });
	EXPECT_EQ(open_failed.code(), KOVA_ERROR_NO_MEMORY);
	EXPECT_EQ(std::string{open_failed.what()}, "Failed to open kova device");

	kova_test_force_result("kova_dev_rep_open", KOVA_ERROR_NO_MEMORY, 1);
	auto const rep_failed = thrown_by([&] { state.open_representor(std::string{"03:00.2"}); });
	EXPECT_EQ(rep_failed.code(), KOVA_ERROR_NO_MEMORY);
	EXPECT_EQ(std::string{rep_failed.what()}, "Unable to open device rep");
}

TEST_F(runtime_state_test, the_first_representor_of_a_device)
{
	runtime_state state;
	state.open_device_and_representor("03:00.0", std::string{"03:00.2"});
	kova_dev_rep *by_address = state.get_representor();
	ASSERT_NE(by_address, nullptr);
	state.open_representor(state.get_devices()[0]);
	EXPECT_NE(state.get_representor(), nullptr);

	kova_test_device const bare[] = {{"03:00.0", "kova_a", "eth9", 1, nullptr, 0}};
	ASSERT_EQ(kova_test_set_device_table(bare, 1), KOVA_SUCCESS);
	runtime_state without;
	without.open_device_and_representor("03:00.0", {});
	auto const none = thrown_by([&] { without.open_representor(without.get_devices()[0]); });
	EXPECT_EQ(none.code(), KOVA_ERROR_NOT_SUPPORTED);
	EXPECT_EQ(std::string{none.what()}, "Unable to find representor dev");
}

TEST_F(runtime_state_test, remote_definitions_are_taken_modulo_their_count)
{
	runtime_state state;
	auto const no_input = thrown_by([&] { static_cast<void>(state.get_input_remote_mmap_definition(0)); });
	EXPECT_EQ(no_input.code(), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(std::string{no_input.what()},
		  "Tried to use an input remote mmap but no input mmaps have been created");
	auto const no_output = thrown_by([&] { static_cast<void>(state.get_output_remote_mmap_definition(3)); });
	EXPECT_EQ(no_output.code(), KOVA_ERROR_BAD_STATE);
	EXPECT_EQ(std::string{no_output.what()},
		  "Tried to use an output remote mmap but no output mmaps have been created");

	state.set_input_remote_mmap_definitions({{{'a'}}, {{'b'}}});
	std::string taken;
	for (uint32_t thread = 0; thread != 4; ++thread)
		taken += state.get_input_remote_mmap_definition(thread).export_descriptor.front();
	EXPECT_EQ(taken, "abab");

	state.set_output_remote_mmap_definitions({{{'x'}}});
	state.add_output_remote_mmap_definition({{'y'}});
	state.add_output_remote_mmap_definitions({{{'z'}}, {{'w'}}});
	std::string outputs;
	for (auto const &definition : state.get_output_remote_mmap_definitions())
		outputs += definition.export_descriptor.front();
	EXPECT_EQ(outputs, "xyzw");
	EXPECT_EQ(state.get_output_remote_mmap_definition(5).export_descriptor.front(), 'y');
	EXPECT_EQ(state.get_input_remote_mmap_definitions().size(), 2u);
}

TEST_F(runtime_state_test, a_new_connection_gets_a_new_request_context)
{
	runtime_state state;
	auto connection = std::make_unique<null_connection>();
	auto *link = connection.get();
	state.set_companion_connection(std::move(connection));
	EXPECT_EQ(state.get_companion_connection(), link);
	auto *context = state.get_companion_connection_async();
	ASSERT_NE(context, nullptr);

	state.set_companion_connection(nullptr);
	EXPECT_EQ(state.get_companion_connection(), nullptr);
	EXPECT_NE(state.get_companion_connection_async(), nullptr);
}

TEST_F(runtime_state_test, dpdk_and_gpu_need_an_opened_device)
{
	runtime_state state;
	for (auto const &e : {thrown_by([&] { state.prepare_dpdk_ctx(); }),
			      thrown_by([&] { state.open_gpu_device("81:00.0"); })}) {
		EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_EQ(std::string{e.what()}, "Unable to create dpdk context, no devices are created");
	}
	EXPECT_EQ(state.get_dpdk_ctx(), nullptr);
}

TEST_F(runtime_state_test, devices_and_representor_are_closed_with_the_state)
{
	kova_test_trace_enable(1);
	{
		runtime_state state;
		state.open_device_and_representor("03:00.0", std::string{"03:00.2"});
		state.open_device_and_representor("03:00.1", {});
	}
	std::string trace(kova_test_trace_read(nullptr, 0), '\0');
	kova_test_trace_read(trace.data(), trace.size() + 1);
	auto const rep_close = trace.find("kova_dev_rep_close");
	auto const dev_close = trace.find("kova_dev_close");
	ASSERT_NE(rep_close, std::string::npos) << trace;
	ASSERT_NE(dev_close, std::string::npos) << trace;
	EXPECT_LT(rep_close, dev_close);
	EXPECT_NE(trace.find("kova_dev_close", dev_close + 1), std::string::npos);
}

} // namespace
} // namespace kova::bench
