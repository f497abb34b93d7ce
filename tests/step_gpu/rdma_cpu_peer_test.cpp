// "kova_tessel::rdma", built directly: a GPU receive kernel fed by the companion's CPU "rdma_send"
// worker. Its set-up against a scripted companion, then a run against the companion program.
#include "step_gpu/gpu_step_fixture.hpp"

#include "companion/api/request_or_throw.hpp"
#include "companion/api/tcp_connect.hpp"
#include "companion/companion_client.hpp"
#include "impl/async_poll_loop.hpp"
#include "impl/async_poller.hpp"
#include "remote_worker/remote_worker_fixture.hpp"
#include "stats/permutation_stats.hpp"
#include "step/kova_tessel_step.hpp"
#include "support/kova_throws.hpp"
#include "utility/kova_utils.hpp"

#include <kova/pe.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kova::bench::gpu_test {
namespace {

using namespace std::chrono_literals;
namespace v1 = companion::api::v1;
using step::kova_tessel_rdma_step;

class tessel_rdma_test : public gpu_step_test {
protected:
	std::unique_ptr<kova_tessel_rdma_step> make_rdma_step(const step::object::attributes &value)
	{
		return std::make_unique<kova_tessel_rdma_step>(value, m_state, m_pe.get(), on_task, on_task,
							       kova_data{.u64 = 0});
	}

	// Drives the engine and gathers until the step counted at least `jobs` jobs or `limit` passed.
	thread_stats run_until(step::object &step, uint64_t jobs, std::chrono::seconds limit)
	{
		thread_stats stats{};
		auto const end = std::chrono::steady_clock::now() + limit;
		while (std::chrono::steady_clock::now() < end) {
			for (int i = 0; i != 64; ++i)
				kova_pe_progress(m_pe.get());
			step.gather_stats(stats);
			if (stats.step.dequeued_jobs >= jobs)
				break;
			std::this_thread::sleep_for(1ms);
		}
		return stats;
	}

	[[nodiscard]] bool rdma_running(kova_tessel_rdma_step &step)
	{
		return utility::is_context_running(dl::kova_rdma_api::singleton()->kova_rdma_as_ctx(
			step.gpu_context().get_rdma_context()->get_kova_rdma_obj()));
	}
};

TEST_F(tessel_rdma_test, before_its_set_up)
{
	auto step = make_rdma_step(attributes());
	EXPECT_STREQ(step->get_name(), "kova_tessel::rdma");
	EXPECT_EQ(step->get_companion_worker_id(), 0U);
	auto const &params = step->kernel_params();
	EXPECT_EQ(params.blocks, 1U);
	EXPECT_EQ(params.threads_per_block, 32U);
	EXPECT_EQ(params.buffer_size, 1024U) << "the job input size";
	EXPECT_NE(params.rdma_gpu, nullptr);
	EXPECT_EQ(params.buf_arr, step->gpu_context().get_buf_arr_gpu());
	EXPECT_EQ(params.local_flag_buf_arr, nullptr);
	EXPECT_EQ(params.remote_flag_buf_arr, nullptr);
	EXPECT_FALSE(step->kernel_running());
}

TEST_F(tessel_rdma_test, no_step_name_builds_it)
{
	EXPECT_KOVA_THROW(make("kova_tessel::rdma", attributes()), KOVA_ERROR_INVALID_VALUE,
			  "Unable to create step object of unknown type: \"kova_tessel::rdma\"");
}

// What the step asks of a scripted companion, for a table of job counts; the companion's worker
// blob is refused by the connect, which ends the chain.
TEST_F(tessel_rdma_test, set_up_asks_for_a_cpu_sender_then_connects)
{
	namespace api = companion::api;
	struct row {
		uint32_t jobs;
		const char *buffer_count;
	};
	for (row const &r : {row{3, "1"}, row{10, "5"}}) {
		SCOPED_TRACE(r.jobs);
		std::vector<uint32_t> types;
		v1::create_worker_request create;
		auto link = std::make_unique<api::test::fake_connection>(
			[&](const api::message_buffer &sent, api::test::fake_connection &self) {
				types.push_back(sent.get_message_type_id());
				if (sent.get_message_type_id() == v1::create_worker_request::type_id) {
					create = api::test::decoded<v1::create_worker_request>(sent);
					self.queue(v1::create_worker_response{sent.get_message_id(), 9,
									      {{"connection-string", "not a blob"}}});
				} else if (sent.get_message_type_id() == v1::destroy_workers_request::type_id) {
					self.queue(v1::destroy_workers_response{sent.get_message_id()});
				}
			});
		m_state.set_companion_connection(std::move(link));
		auto value = attributes({{"kova_rdma.gid_index", "2"}});
		value.job_count = r.jobs;
		auto step = make_rdma_step(value);

		auto setup = step->start_async_setup();
		ASSERT_NE(setup, nullptr);
		auto result = utility::async::poll_result::in_progress;
		for (int i = 0; i != 20 && result == utility::async::poll_result::in_progress; ++i) {
			m_state.get_companion_connection_async()->poll(std::chrono::steady_clock::now());
			result = setup->poll();
		}
		EXPECT_EQ(result, utility::async::poll_result::has_failed);
		ASSERT_FALSE(types.empty());
		EXPECT_EQ(types.front(), v1::create_worker_request::type_id);
		EXPECT_EQ(create.worker_type, "rdma_send");
		EXPECT_EQ(create.command.at("buffer-size"), "1024");
		EXPECT_EQ(create.command.at("buffer-count"), r.buffer_count);
		EXPECT_EQ(create.command.at("gid-idx"), "2");
		EXPECT_EQ(create.command.at("create-exported-mmap"), "no");
		// The step's connection details (each export makes new ones: only their size is comparable).
		auto const blob = step->gpu_context().get_rdma_context()->get_local_connection_blob();
		EXPECT_EQ(create.command.at("connection-string").size(), blob.size());
		auto const errors = step::test::texts(setup->get_errors());
		ASSERT_FALSE(errors.empty());
		EXPECT_EQ(errors.front(),
			  "Failed during: rdma_connect_activity. message: Unable to connect to remote rdma instance");
		// The failed set-up destroyed the worker again.
		EXPECT_EQ(types.back(), v1::destroy_workers_request::type_id);
		EXPECT_EQ(step->get_companion_worker_id(), 0U);
		step.reset();
		m_state.set_companion_connection(nullptr);
	}
}

// The companion program with a pool of one core, connected as the benchmark connects to it.
class companion_session {
public:
	explicit companion_session(runtime_state &state) : m_state{&state}
	{
		state.set_companion_connection(companion::api::connect_via_tcp_as_client("127.0.0.1", m_port, 20));
		companion::api::request_or_throw(
			v1::configure_worker_pool_request{state.get_next_api_message_seq_num(), {1}},
			*state.get_companion_connection_async(), 15, "pool not configured: ");
	}
	~companion_session() { m_state->set_companion_connection(nullptr); }
	companion_session(const companion_session &) = delete;
	companion_session &operator=(const companion_session &) = delete;

	// Runs one sequence to its end as the engine runs a set-up or a teardown; its errors.
	std::vector<utility::async::error> run(std::unique_ptr<utility::async::sequence> sequence, bool setup)
	{
		impl::async_batch batch;
		batch.purpose = setup ? impl::async_batch::kind::setup : impl::async_batch::kind::teardown;
		batch.companion = m_state->get_companion_connection_async();
		batch.time_limit = 20s;
		return impl::collect_async_batch(batch,
						 [&sequence](impl::async_poller &poller) { poller.add(std::move(sequence)); });
	}

	void start_workers()
	{
		companion::api::request_or_throw(v1::start_workers_request{m_state->get_next_api_message_seq_num()},
						 *m_state->get_companion_connection_async(), 15, "workers not started: ");
	}

	// Says bye; the companion's exit status.
	int close()
	{
		m_state->set_companion_connection(nullptr);
		return m_process.wait_exit(20s);
	}

	void kill() { m_process.kill(); }

	[[nodiscard]] std::string output() const { return m_process.out() + m_process.err(); }

private:
	runtime_state *m_state;
	uint16_t m_port = companion::api::test::unused_port();
	kova::test::companion_process m_process{std::string{KOVA_BIN_DIR} + "/kova_bench_companion",
						kova::test::server_args(m_port)};
};

TEST_F(tessel_rdma_test, receives_from_the_companion_and_tears_down_on_both_sides)
{
	companion_session session{m_state};
	auto step = make_rdma_step(attributes());
	EXPECT_TRUE(session.run(step->start_async_setup(), true).empty()) << session.output();
	EXPECT_NE(step->get_companion_worker_id(), 0U);
	ASSERT_TRUE(rdma_running(*step));

	session.start_workers();
	step->start();
	ASSERT_TRUE(step->kernel_running());
	step->reset_stats();
	thread_stats const stats = run_until(*step, 2000, 20s);
	EXPECT_GE(stats.step.dequeued_jobs, 2000U);
	// Every message the CPU worker sent has the buffer size the step asked for.
	EXPECT_EQ(stats.step.ingress_bytes, stats.step.dequeued_jobs * 1024);
	step->stop();
	EXPECT_FALSE(step->kernel_running());
	EXPECT_EQ(step->stop_byte()[0], 2) << "the kernel ended";
	// The bytes are the worker's, not what the data buffers held before (read once the kernel is done
	// writing them).
	auto const *data = static_cast<const uint8_t *>(step->gpu_context().get_data_cpu_address());
	EXPECT_NE(data[0], utility::rdma_gpu_ctx::pattern_byte(0));

	EXPECT_TRUE(session.run(step->start_async_teardown(), false).empty()) << session.output();
	EXPECT_EQ(step->get_companion_worker_id(), 0U);
	step.reset();
	EXPECT_EQ(session.close(), 0) << session.output();
}

// A companion that goes away mid-run breaks the stream under the kernel: the step reports it by name
// instead of counting nothing more.
TEST_F(tessel_rdma_test, a_lost_peer_fails_the_step)
{
	companion_session session{m_state};
	auto step = make_rdma_step(attributes());
	ASSERT_TRUE(session.run(step->start_async_setup(), true).empty()) << session.output();
	session.start_workers();
	step->start();
	EXPECT_GT(run_until(*step, 100, 20s).step.dequeued_jobs, 0U);

	session.kill();
	thread_stats stats{};
	kova::exception const error = kova::test::thrown_by([&] {
		for (int i = 0; i != 20000; ++i) {
			kova_pe_progress(m_pe.get());
			step->gather_stats(stats);
			std::this_thread::sleep_for(1ms);
		}
	});
	EXPECT_EQ(error.code(), KOVA_ERROR_CONNECTION_RESET);
	EXPECT_STREQ(error.what(), "kova_tessel::rdma: the RDMA connection to the companion was lost; its GPU kernel "
				   "receives no more");
	EXPECT_FALSE(rdma_running(*step));
	// The kernel still ends on its stop byte, and the context still tears down.
	step->stop();
	EXPECT_FALSE(step->kernel_running());
	step.reset();
}

} // namespace
} // namespace kova::bench::gpu_test
