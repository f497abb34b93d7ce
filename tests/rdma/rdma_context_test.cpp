// The RDMA context over the stand-in library: settings, pools, connection and task ownership.
#include "utility/rdma_common.hpp"

#include "rdma_fixture.hpp"

#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

namespace kova::bench::rdma_test {
namespace {

using utility::rdma_context;

rdma_context::configuration cfg(uint32_t buffer_size, uint32_t task_count, kova::optional<uint32_t> gid_index = {},
			       kova::optional<uint32_t> send_queue_size = {}, kova::optional<uint32_t> mtu = {})
{
	rdma_context::configuration value;
	value.buffer_size = buffer_size;
	value.task_count = task_count;
	value.gid_index = gid_index;
	value.send_queue_size = send_queue_size;
	value.mtu = mtu;
	return value;
}

void on_task(kova_task *task, kova_data /*task_user_data*/, kova_data ctx_user_data)
{
	static_cast<std::vector<kova_error> *>(ctx_user_data.ptr)->push_back(kova_task_get_status(task));
}

class rdma_context_test : public rdma_fixture {
protected:
	void SetUp() override
	{
		rdma_fixture::SetUp();
		m_pe = utility::make_pe();
	}

	std::unique_ptr<rdma_context> make(rdma_context::configuration cfg, kova_pe *pe = nullptr)
	{
		return std::make_unique<rdma_context>(cfg, kova_data{.ptr = &m_statuses}, m_dev,
						      pe != nullptr ? pe : m_pe.get());
	}

	uint32_t send_queue_size(const rdma_context &ctx)
	{
		uint32_t size = 0;
		EXPECT_EQ(dl::kova_rdma_api::singleton()->kova_rdma_get_send_queue_size(ctx.get_kova_rdma_obj(), &size),
			  KOVA_SUCCESS);
		return size;
	}

	uint32_t allocated_tasks(const rdma_context &ctx)
	{
		uint32_t configured = 0;
		uint32_t allocated = 0;
		kova_test_ctx_get_num_tasks(dl::kova_rdma_api::singleton()->kova_rdma_as_ctx(ctx.get_kova_rdma_obj()),
					    &configured, &allocated);
		return allocated;
	}

	std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> m_pe;
	std::vector<kova_error> m_statuses;
};

// The send queue: an explicit size as given, else raised to the task count, never lowered.
TEST_F(rdma_context_test, sizes_the_send_queue)
{
	uint32_t default_size = 0;
	{
		auto ctx = make(cfg(4096, 0));
		default_size = send_queue_size(*ctx);
	}
	ASSERT_GT(default_size, 2u);
	struct sizing {
		uint32_t task_count;
		kova::optional<uint32_t> explicit_size;
		uint32_t expected;
	};
	sizing const cases[] = {
		{0, {}, default_size},
		{default_size - 1, {}, default_size},
		{default_size + 100, {}, default_size + 100},
		{default_size + 100, 2u, 2},
		{1, default_size + 7, default_size + 7},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.task_count);
		auto ctx = make(cfg(4096, c.task_count, {}, c.explicit_size));
		EXPECT_EQ(send_queue_size(*ctx), c.expected);
	}
}

// The GID index and MTU reach the instance only when given; a failing setting throws its text and
// the instance is destroyed.
TEST_F(rdma_context_test, applies_optional_settings_and_reports_failures)
{
	const auto *api = dl::kova_rdma_api::singleton();
	{
		auto ctx = make(cfg(4096, 4, 2u, {}, 2048u));
		uint32_t gid = 0;
		uint32_t mtu = 0;
		EXPECT_EQ(api->kova_rdma_get_gid_index(ctx->get_kova_rdma_obj(), &gid), KOVA_SUCCESS);
		EXPECT_EQ(api->kova_rdma_get_mtu(ctx->get_kova_rdma_obj(), &mtu), KOVA_SUCCESS);
		EXPECT_EQ(gid, 2u);
		EXPECT_EQ(mtu, 2048u);
	}
	kova_test_trace_enable(1);
	{
		auto ctx = make(cfg(4096, 4));
	}
	EXPECT_EQ(read_trace().find("kova_rdma_set_gid_index"), std::string::npos);
	EXPECT_EQ(read_trace().find("kova_rdma_set_mtu"), std::string::npos);

	struct failing {
		const char *function;
		const char *message;
	};
	failing const cases[] = {
		{"kova_rdma_create", "Unable to create KOVA RDMA instance."},
		{"kova_rdma_set_permissions", "Unable to set KOVA RDMA permissions."},
		{"kova_rdma_set_send_queue_size", "Unable to set KOVA RDMA send queue size."},
		{"kova_rdma_set_mtu", "Unable to set KOVA RDMA MTU."},
		{"kova_rdma_set_gid_index", "Unable to set KOVA RDMA gid_index."},
		{"kova_pe_connect_ctx", "Unable to connect kova_pe to kova_ctx"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.function);
		kova_test_trace_enable(1);
		kova_test_force_result(c.function, KOVA_ERROR_DRIVER, 1);
		auto const e = thrown_by([&] { make(cfg(1, 1000, 1u, {}, 1024u)); });
		EXPECT_EQ(e.code(), KOVA_ERROR_DRIVER);
		EXPECT_STREQ(e.what(), c.message);
		bool const created = std::string{c.function} != "kova_rdma_create";
		EXPECT_EQ(read_trace().find("kova_rdma_destroy") != std::string::npos, created);
	}
}

// Destroying a context that never started stops nothing; destroy_all_tasks frees each task once
// and keeps a task in flight until the context stops it.
TEST_F(rdma_context_test, frees_tasks_once_and_stops_before_freeing)
{
	buffer_set bufs{m_dev, 3, 4096};
	kova_test_trace_enable(1);
	{
		auto ctx = make(cfg(4096, 3));
	}
	EXPECT_EQ(read_trace().find("kova_ctx_stop"), std::string::npos);
	EXPECT_NE(read_trace().find("kova_rdma_destroy"), std::string::npos);

	const auto *api = dl::kova_rdma_api::singleton();
	auto ctx = make(cfg(4096, 3));
	ctx->configure_receive_tasks_pool({on_task, on_task});
	ctx->start();
	ctx->destroy_all_tasks();
	kova_rdma_task_receive *first = ctx->create_receive_task(bufs[0], kova_data{.u64 = 1});
	ctx->create_receive_task(bufs[1], kova_data{.u64 = 2});
	ctx->create_receive_task(bufs[2], kova_data{.u64 = 3});
	EXPECT_EQ(allocated_tasks(*ctx), 3u);
	ASSERT_EQ(kova_task_submit(api->kova_rdma_task_receive_as_task(first)), KOVA_SUCCESS);
	ctx->destroy_all_tasks();
	EXPECT_EQ(allocated_tasks(*ctx), 1u);
	ctx->destroy_all_tasks();
	EXPECT_EQ(allocated_tasks(*ctx), 1u);
	EXPECT_TRUE(m_statuses.empty());

	kova_test_trace_enable(1);
	ctx.reset();
	EXPECT_NE(read_trace().find("kova_ctx_stop"), std::string::npos);
	ASSERT_EQ(m_statuses.size(), 1u);
	EXPECT_NE(m_statuses[0], KOVA_SUCCESS);
}

// Two contexts connect through their blobs in the documented order and carry a message.
TEST_F(rdma_context_test, connects_to_a_peer_and_carries_a_message)
{
	const auto *api = dl::kova_rdma_api::singleton();
	auto peer_pe = utility::make_pe();
	buffer_set bufs{m_dev, 2, 4096};
	auto sender = make(cfg(4096, 1));
	auto receiver = make(cfg(4096, 1), peer_pe.get());
	sender->configure_send_tasks_pool({on_task, on_task});
	receiver->configure_receive_tasks_pool({on_task, on_task});
	sender->start();
	receiver->start();
	auto const sender_blob = sender->get_local_connection_blob();
	auto const receiver_blob = receiver->get_local_connection_blob();
	EXPECT_EQ(receiver->connect(std::vector<char>(3, 'x')), KOVA_ERROR_INVALID_VALUE);
	receiver->set_remote_connection_blob(sender_blob);
	sender->set_remote_connection_blob(receiver_blob);
	ASSERT_EQ(receiver->connect(), KOVA_SUCCESS);
	ASSERT_EQ(sender->connect(), KOVA_SUCCESS);

	kova_buf_reset_data_len(bufs[1]);
	kova_rdma_task_receive *receive = receiver->create_receive_task(bufs[1], kova_data{.u64 = 1});
	ASSERT_EQ(kova_task_submit(api->kova_rdma_task_receive_as_task(receive)), KOVA_SUCCESS);
	auto running = [&](const rdma_context &ctx) {
		return utility::is_context_running(api->kova_rdma_as_ctx(ctx.get_kova_rdma_obj()));
	};
	auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
	while ((!running(*sender) || !running(*receiver)) && std::chrono::steady_clock::now() < deadline) {
		kova_pe_progress(m_pe.get());
		kova_pe_progress(peer_pe.get());
	}
	ASSERT_TRUE(running(*sender) && running(*receiver));

	void *data = nullptr;
	kova_buf_get_data(bufs[0], &data);
	std::memcpy(data, "one message", 12);
	kova_rdma_task_send *send = sender->create_send_task(bufs[0], kova_data{.u64 = 2});
	ASSERT_EQ(kova_task_submit(api->kova_rdma_task_send_as_task(send)), KOVA_SUCCESS);
	while (m_statuses.size() < 2 && std::chrono::steady_clock::now() < deadline) {
		kova_pe_progress(m_pe.get());
		kova_pe_progress(peer_pe.get());
	}
	ASSERT_EQ(m_statuses.size(), 2u);
	EXPECT_EQ(m_statuses[0], KOVA_SUCCESS);
	EXPECT_EQ(m_statuses[1], KOVA_SUCCESS);
	EXPECT_EQ(api->kova_rdma_task_receive_get_result_len(receive), 4096u);
	void *received = nullptr;
	kova_buf_get_data(bufs[1], &received);
	EXPECT_STREQ(static_cast<const char *>(received), "one message");
}

} // namespace
} // namespace kova::bench::rdma_test
