// Tests for utility/dpdk_common over a DPDK bridge that records its calls (the "dpdk_fake" scenario).
#include "utility/dpdk_common.hpp"

#include "dl/kova_dpdk_bridge_api.hpp"
#include "dl/support/fake_dpdk_bridge_control.hpp"
#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace kova::bench::utility {
namespace {

using lines = std::vector<std::string>;

class dpdk_context_test : public testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_NE(dl::kova_dpdk_bridge_api::singleton(), nullptr);
		m_bridge = std::make_unique<test::fake_dpdk_bridge>();
		m_bridge->reset();
	}

	[[nodiscard]] kova_dev *device() { return reinterpret_cast<kova_dev *>(&m_device); }

	[[nodiscard]] std::string pointer_text() const
	{
		char text[32];
		std::snprintf(text, sizeof(text), "%p", static_cast<const void *>(&m_device));
		return text;
	}

	// The calls of a successful creation.
	[[nodiscard]] lines creation_calls() const
	{
		return {"rte_eal_init 4 [] [-a] [00:00.0] [--in-memory]",
			"kova_dpdk_port_probe " + pointer_text() + " [dv_flow_en=2]",
			"kova_dpdk_get_first_port_id " + pointer_text()};
	}

	static lines start_calls(int port)
	{
		std::string const id = std::to_string(port);
		return {"rte_eth_dev_info_get " + id + " zeroed", "rte_eth_dev_configure " + id + " 0 0 zeroed",
			"rte_eth_dev_start " + id};
	}

	static lines joined(lines first, const lines &second)
	{
		first.insert(first.end(), second.begin(), second.end());
		return first;
	}

	std::unique_ptr<test::fake_dpdk_bridge> m_bridge;
	int m_device = 0;
};

TEST_F(dpdk_context_test, created_started_once_and_destroyed)
{
	m_bridge->set_port_id(3);
	auto context = create_dpdk_context(device());
	EXPECT_EQ(context->get_dev_port_id(), 3);
	EXPECT_FALSE(context->is_dev_port_started());
	EXPECT_EQ(m_bridge->calls(), creation_calls());

	context->start_dev_port();
	EXPECT_TRUE(context->is_dev_port_started());
	context->start_dev_port();
	auto const started = joined(creation_calls(), start_calls(3));
	EXPECT_EQ(m_bridge->calls(), started) << "the second start makes no call";

	testing::internal::CaptureStderr();
	context.reset();
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
	EXPECT_EQ(m_bridge->calls(), joined(started, {"rte_eal_cleanup"})) << "the port is not stopped";
}

TEST_F(dpdk_context_test, creation_failures_name_their_step_and_clean_up_an_initialised_environment)
{
	struct case_t {
		const char *function;
		int result;
		kova_error code;
		std::string message;
		std::size_t calls_before_cleanup;
		bool cleaned_up;
	};
	std::vector<case_t> const cases{
		{"rte_eal_init", -1, KOVA_ERROR_DRIVER, std::string{"dpdk err: "} + std::strerror(1), 1, false},
		{"kova_dpdk_port_probe", KOVA_ERROR_NOT_FOUND, KOVA_ERROR_NOT_FOUND,
		 "dpdk port probe failed: KOVA_ERROR_NOT_FOUND", 2, true},
		{"kova_dpdk_get_first_port_id", KOVA_ERROR_BAD_STATE, KOVA_ERROR_BAD_STATE,
		 "dpdk port probe get port id failed: KOVA_ERROR_BAD_STATE", 3, true},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.function);
		m_bridge->reset();
		m_bridge->set_result(c.function, c.result);
		kova::exception const error = kova::test::thrown_by([&] { (void)create_dpdk_context(device()); });
		EXPECT_EQ(error.code(), c.code);
		EXPECT_EQ(std::string{error.what()}, c.message);
		EXPECT_STREQ(error.function(), "dpdk_context_impl");
		EXPECT_NE(std::strstr(error.file(), "utility/dpdk_common.cpp"), nullptr) << error.file();
		auto const all = creation_calls();
		lines expected(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(c.calls_before_cleanup));
		if (c.cleaned_up)
			expected.emplace_back("rte_eal_cleanup");
		EXPECT_EQ(m_bridge->calls(), expected);
	}
}

TEST_F(dpdk_context_test, a_failed_start_leaves_the_port_stopped_and_the_next_start_retries)
{
	struct case_t {
		const char *function;
		int result;
		std::string message;
		std::size_t start_calls_made;
	};
	std::vector<case_t> const cases{
		{"rte_eth_dev_info_get", -19, std::string{"dpdk eth dev info get failed: "} + std::strerror(19), 1},
		{"rte_eth_dev_configure", -22, std::string{"dpdk eth dev configure failed: "} + std::strerror(22), 2},
		{"rte_eth_dev_start", -5, std::string{"dpdk eth dev start failed: "} + std::strerror(5), 3},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.function);
		m_bridge->reset();
		auto context = create_dpdk_context(device());
		m_bridge->set_result(c.function, c.result);
		kova::exception const error = kova::test::thrown_by([&] { context->start_dev_port(); });
		EXPECT_EQ(error.code(), KOVA_ERROR_DRIVER);
		EXPECT_EQ(std::string{error.what()}, c.message);
		EXPECT_STREQ(error.function(), "start_dev_port");
		EXPECT_FALSE(context->is_dev_port_started());
		auto const failed = start_calls(7);
		lines expected = joined(creation_calls(),
					lines(failed.begin(), failed.begin() + static_cast<std::ptrdiff_t>(c.start_calls_made)));
		EXPECT_EQ(m_bridge->calls(), expected);

		m_bridge->set_result(c.function, 0);
		context->start_dev_port();
		EXPECT_TRUE(context->is_dev_port_started());
		EXPECT_EQ(m_bridge->calls(), joined(expected, start_calls(7)));
	}
}

TEST_F(dpdk_context_test, a_failed_cleanup_is_printed_without_a_newline)
{
	auto context = create_dpdk_context(device());
	m_bridge->set_result("rte_eal_cleanup", -16);
	testing::internal::CaptureStderr();
	context.reset();
	EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string{"dpdk cleanup failed: "} + std::strerror(16));
}

} // namespace
} // namespace kova::bench::utility
