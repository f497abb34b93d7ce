// The companion's RDMA workers: their command and reply maps, and live workers against an RDMA
// context of this process.
#include "companion/worker/rdma_worker.hpp"
#include "utility/rdma_common.hpp"

#include "rdma_fixture.hpp"

#include <kova/buf.h>
#include <kova/error.h>
#include <kova/mmap.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace kova::bench::rdma_test {
namespace {

using namespace companion::worker;

attribute_map valid_command()
{
	return {{"connection-string", std::string("a\0b", 3)},
		{"buffer-size", "4096"},
		{"buffer-count", "4"},
		{"create-exported-mmap", "no"}};
}

TEST(rdma_worker_maps, command_map_has_four_or_five_keys_and_reads_back)
{
	create_rdma_worker_command command;
	command.buffer_size = 65536;
	command.buffer_count = 8;
	command.connection_string = std::string("\0\1details", 9);
	auto map = create_rdma_worker_command_to_map(command);
	EXPECT_EQ(map.size(), 4u);
	EXPECT_EQ(map.at("create-exported-mmap"), "no");
	EXPECT_EQ(map.at("buffer-size"), "65536");
	command.gid_idx = 3u;
	command.create_exported_mmap = true;
	map = create_rdma_worker_command_to_map(command);
	EXPECT_EQ(map.size(), 5u);
	EXPECT_EQ(map.at("gid-idx"), "3");
	auto const back = create_rdma_worker_command_from_map(map);
	EXPECT_EQ(back.connection_string, command.connection_string);
	EXPECT_EQ(back.buffer_size, 65536u);
	EXPECT_EQ(back.buffer_count, 8u);
	EXPECT_EQ(*back.gid_idx, 3u);
	EXPECT_TRUE(back.create_exported_mmap);
}

TEST(rdma_worker_maps, command_reader_accepts_and_refuses)
{
	struct row {
		const char *name;
		std::vector<std::pair<std::string, const char *>> changes; // value nullptr: key removed
		const char *error;                                         // nullptr: accepted
	};
	std::vector<row> const rows = {
		{"no gid-idx", {}, nullptr},
		{"buffer size with trailing text", {{"buffer-size", "64k"}}, nullptr},
		{"export asked with yes", {{"create-exported-mmap", "yes"}}, nullptr},
		{"export with YES is no export", {{"create-exported-mmap", "YES"}}, nullptr},
		{"empty export value", {{"create-exported-mmap", ""}}, nullptr},
		{"missing key named before numbers",
		 {{"buffer-size", nullptr}, {"create-exported-mmap", nullptr}},
		 "[BUG] invalid create_rdma_worker_command"},
		{"missing connection string", {{"connection-string", nullptr}}, "[BUG] invalid create_rdma_worker_command"},
		{"both numbers bad: the size is named",
		 {{"buffer-size", "x"}, {"buffer-count", "y"}},
		 "[BUG] invalid create_rdma_worker_command - buffer size is not a number"},
		{"count not a number", {{"buffer-count", "-4"}},
		 "[BUG] invalid create_rdma_worker_command - buffer count is not a number"},
		{"gid without digits", {{"gid-idx", "abc"}}, "[BUG] invalid create_rdma_worker_command - gid idx is not a number"},
		{"size above 32 bits", {{"buffer-size", "4294967296"}},
		 "[BUG] invalid create_rdma_worker_command - buffer size is not a number"},
		{"region above 32 bits", {{"buffer-size", "4294967295"}, {"buffer-count", "2"}},
		 "[BUG] invalid create_rdma_worker_command - buffer size times buffer count must be 1 to 4294967295"},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.name);
		attribute_map map = valid_command();
		for (const auto &[key, value] : r.changes) {
			if (value == nullptr)
				map.erase(key);
			else
				map[key] = value;
		}
		if (r.error == nullptr) {
			auto const command = create_rdma_worker_command_from_map(map);
			EXPECT_EQ(command.create_exported_mmap, map.at("create-exported-mmap") == "yes");
			EXPECT_EQ(command.buffer_size, std::string{r.name}.find("trailing") != std::string::npos ? 64u : 4096u);
			EXPECT_FALSE(command.gid_idx.has_value());
			continue;
		}
		auto const e = thrown_by([&] { create_rdma_worker_command_from_map(map); });
		EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_STREQ(e.what(), r.error);
	}
}

TEST(rdma_worker_maps, response_map_needs_the_connection_string)
{
	create_rdma_worker_response response{std::string("x\0y", 3), {}};
	EXPECT_EQ(create_rdma_worker_response_to_map(response).size(), 1u);
	response.mmap_export = std::string("export");
	auto const map = create_rdma_worker_response_to_map(response);
	EXPECT_EQ(map.size(), 2u);
	EXPECT_EQ(create_rdma_worker_response_from_map(map).connection_string, std::string("x\0y", 3));
	auto const e = thrown_by([] { create_rdma_worker_response_from_map({{"mmap-export", "e"}}); });
	EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
	EXPECT_STREQ(e.what(), "[BUG] invalid create_rdma_worker_response");
}

std::vector<kova_error> g_statuses;

void on_task(kova_task *task, kova_data /*task_user_data*/, kova_data /*ctx_user_data*/)
{
	g_statuses.push_back(kova_task_get_status(task));
}

// A worker of this process with the benchmark's side played by an RDMA context.
class live_worker : public rdma_fixture {
protected:
	void SetUp() override
	{
		rdma_fixture::SetUp();
		g_statuses.clear();
		m_pe = utility::make_pe();
	}

	std::unique_ptr<utility::rdma_context> make_context(uint32_t tasks, bool sends)
	{
		utility::rdma_context::configuration cfg;
		cfg.buffer_size = 4096;
		cfg.task_count = tasks;
		auto ctx = std::make_unique<utility::rdma_context>(cfg, kova_data{.u64 = 0}, m_dev, m_pe.get());
		if (sends)
			ctx->configure_send_tasks_pool({on_task, on_task});
		else
			ctx->configure_receive_tasks_pool({on_task, on_task});
		ctx->start();
		return ctx;
	}

	std::unique_ptr<worker> connect(utility::rdma_context &ctx, bool receive_worker)
	{
		auto blob = ctx.get_local_connection_blob();
		attribute_map map = valid_command();
		map["connection-string"] = std::string(blob.begin(), blob.end());
		auto created = receive_worker ? create_rdma_recv_worker(7, map, m_dev) : create_rdma_send_worker(7, map, m_dev);
		attribute_map fields{{"connection-string", "stale"}, {"other", "kept"}};
		created->populate_create_worker_response_fields(fields);
		EXPECT_EQ(fields.at("other"), "kept");
		EXPECT_EQ(fields.count("mmap-export"), 0u);
		auto const reply = create_rdma_worker_response_from_map(fields).connection_string;
		EXPECT_NE(reply, "stale");
		EXPECT_EQ(ctx.connect(std::vector<char>(reply.begin(), reply.end())), KOVA_SUCCESS);
		return created;
	}

	bool progress_until(const std::function<bool()> &until)
	{
		auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
		while (!until() && std::chrono::steady_clock::now() < deadline)
			kova_pe_progress(m_pe.get());
		return until();
	}

	std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> m_pe;
};

// The send worker keeps its buffers in flight, every message carrying its fixed pattern.
TEST_F(live_worker, send_worker_sends_its_pattern_until_terminated)
{
	buffer_set bufs{m_dev, 4, 4096};
	auto ctx = make_context(4, false);
	auto w = connect(*ctx, false);
	EXPECT_STREQ(w->get_type(), "rdma_send");
	EXPECT_EQ(w->get_id(), 7u);
	std::vector<kova_rdma_task_receive *> receives;
	for (int i = 0; i < 4; ++i) {
		kova_buf_reset_data_len(bufs[i]);
		receives.push_back(ctx->create_receive_task(bufs[i], kova_data{.u64 = 1}));
	}
	const auto *api = dl::kova_rdma_api::singleton();
	for (auto *r : receives)
		ASSERT_EQ(kova_task_submit(api->kova_rdma_task_receive_as_task(r)), KOVA_SUCCESS);
	std::thread thread{[&] { w->thread_proc(); }};
	std::size_t checked = 0;
	bool patterned = true;
	progress_until([&] {
		for (; checked < g_statuses.size(); ++checked) {
			auto *r = receives[checked % 4];
			void *data = nullptr;
			kova_buf_get_data(bufs[checked % 4], &data);
			auto const *bytes = static_cast<const uint8_t *>(data);
			patterned = patterned && g_statuses[checked] == KOVA_SUCCESS &&
				    api->kova_rdma_task_receive_get_result_len(r) == 4096 && bytes[0] == 0x5a &&
				    bytes[4095] == 0x5a;
			kova_buf_reset_data_len(bufs[checked % 4]);
			kova_task_submit(api->kova_rdma_task_receive_as_task(r));
		}
		return checked >= 100;
	});
	EXPECT_GE(checked, 100u);
	EXPECT_TRUE(patterned);
	w->terminate();
	thread.join();
	w.reset();
}

// A failed receive stops the receive worker and its thread reports the failure.
TEST_F(live_worker, receive_worker_reports_its_first_task_failure)
{
	buffer_set bufs{m_dev, 2, 8192};
	auto ctx = make_context(2, true);
	auto w = connect(*ctx, true);
	EXPECT_STREQ(w->get_type(), "rdma_recv");
	const auto *api = dl::kova_rdma_api::singleton();
	auto *oversized = ctx->create_send_task(bufs[0], kova_data{.u64 = 1});
	ASSERT_EQ(kova_task_submit(api->kova_rdma_task_send_as_task(oversized)), KOVA_SUCCESS);
	ASSERT_TRUE(progress_until([] { return g_statuses.size() == 1; }));
	EXPECT_EQ(g_statuses[0], KOVA_ERROR_TOO_BIG);

	std::string failure;
	std::thread thread{[&] {
		try {
			w->thread_proc();
		} catch (const kova::exception &e) {
			failure = e.what();
		}
	}};
	thread.join();
	EXPECT_EQ(failure, "RDMA recv task failed: KOVA_ERROR_TOO_BIG");
	w.reset();
}

TEST_F(live_worker, worker_destroyed_without_starting_tears_down)
{
	auto ctx = make_context(2, true);
	auto w = connect(*ctx, true);
	EXPECT_TRUE(progress_until([&] {
		return utility::is_context_running(dl::kova_rdma_api::singleton()->kova_rdma_as_ctx(ctx->get_kova_rdma_obj()));
	}));
	w.reset();
	auto unconnected = make_context(2, false);
	auto blob = unconnected->get_local_connection_blob();
	attribute_map map = valid_command();
	map["connection-string"] = std::string(blob.begin(), blob.end());
	map["create-exported-mmap"] = "yes";
	auto never_connected = create_rdma_send_worker(3, map, m_dev);
	attribute_map fields;
	never_connected->populate_create_worker_response_fields(fields);
	ASSERT_EQ(fields.count("mmap-export"), 1u);
	// The export is one the other side can import.
	auto const &exported = fields.at("mmap-export");
	kova_mmap *imported = nullptr;
	EXPECT_EQ(kova_mmap_create_from_export(nullptr, exported.data(), exported.size(), m_dev, &imported), KOVA_SUCCESS);
	if (imported != nullptr)
		kova_mmap_destroy(imported);
	never_connected.reset();
}

} // namespace
} // namespace kova::bench::rdma_test
