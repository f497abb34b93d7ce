// The GPU Ethernet queues and steps. The program moves into a network namespace of its own in
// which the device's interface kovap0 exists, and keeps one runtime state (DPDK's environment is
// initialised once per process) with the device and the emulated GPU open.
#include "kova_delegated_deleter.hpp"
#include "runtime_state.hpp"
#include "step/factory.hpp"
#include "stats/permutation_stats.hpp"
#include "step/kova_tessel_eth_step.hpp"
#include "support/kova_throws.hpp"
#include "support/test_netns.hpp"
#include "utility/kova_utils.hpp"
#include "utility/tessel_common.hpp"

#include <kova/test_gpu.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

namespace kova::bench::gpu_eth_test {
namespace {

using kova::test::hugepages_free;
using kova::test::run_quietly;
using kova::test::under_ci;

void on_task(kova_task * /*task*/, kova_data /*task_user_data*/, kova_data /*ctx_user_data*/) {}

// The namespace kgvu<pid> with the veth pair kovap0 / kgvp0, entered by the main thread (and so by
// every thread it starts later); the runtime state and progress engine the tests share.
class device_namespace final : public testing::Environment {
public:
	void SetUp() override
	{
		m_name = "kgvu" + std::to_string(::getpid());
		run_quietly("ip netns del " + m_name);
		m_ready = hugepages_free() && run_quietly("ip netns add " + m_name) &&
			  run_quietly("ip -n " + m_name + " link add kovap0 type veth peer name kgvp0") &&
			  run_quietly("ip -n " + m_name + " link set kovap0 up") &&
			  run_quietly("ip -n " + m_name + " link set kgvp0 up");
		if (m_ready) {
			int const fd = ::open(("/var/run/netns/" + m_name).c_str(), O_RDONLY | O_CLOEXEC);
			m_ready = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
			if (fd >= 0)
				::close(fd);
		}
		if (!m_ready)
			return;
		state = std::make_unique<runtime_state>();
		state->open_device_and_representor("03:00.0", {});
		state->open_gpu_device("65:00.0");
		pe = utility::make_pe();
	}
	void TearDown() override
	{
		pe.reset();
		state.reset();
		run_quietly("ip netns del " + m_name);
	}

	[[nodiscard]] bool ready() const { return m_ready; }

	std::unique_ptr<runtime_state> state;
	std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> pe;

private:
	std::string m_name;
	bool m_ready = false;
};

device_namespace *the_namespace = static_cast<device_namespace *>(
	testing::AddGlobalTestEnvironment(new device_namespace));

using attribute_map = std::unordered_map<std::string, std::string>;

step::object::attributes attributes(attribute_map map = {}, uint32_t job_size = 64)
{
	step::object::attributes value;
	value.task_pool_size = 8;
	value.job_output_buffer_size = 4096;
	value.job_count = 16;
	value.job_input_size = job_size;
	value.attribute_map = std::move(map);
	return value;
}

class gpu_eth : public testing::Test {
protected:
	void SetUp() override
	{
		if (!the_namespace->ready()) {
			std::string const why = "needs root (network namespaces) and free 2 MiB hugepages for DPDK";
			if (under_ci())
				FAIL() << why;
			GTEST_SKIP() << why;
		}
	}

	static std::unique_ptr<step::object> make(const std::string &name, const step::object::attributes &value)
	{
		return step::factory::create_step(name, value, *the_namespace->state, the_namespace->pe.get(), on_task,
						  on_task, kova_data{.u64 = 0});
	}
};

constexpr uint8_t frame_header[14] = {'F', 'F', 'F', 'F', 'F', 'F', '0', '1', '2', '2', '3', '3', 0x08, 0x00};

TEST(gpu_eth_rules, packet_count_is_the_thread_count_rounded_up_to_a_power_of_two)
{
	struct row {
		uint32_t blocks;
		uint32_t threads;
		uint32_t packets;
	};
	for (row const &r : {row{1, 1, 1}, row{1, 3, 4}, row{1, 32, 32}, row{1, 33, 64}, row{3, 11, 64}, row{2, 64, 128},
			     row{255, 1, 256}}) {
		SCOPED_TRACE(std::to_string(r.blocks) + " x " + std::to_string(r.threads));
		EXPECT_EQ(utility::gpu_eth_packet_count(r.blocks, r.threads), r.packets);
	}
}

TEST(gpu_eth_rules, job_size_holds_an_ethernet_header)
{
	for (uint32_t const size : {0U, 1U, 13U}) {
		SCOPED_TRACE(size);
		EXPECT_KOVA_THROW(utility::check_gpu_eth_job_size(size), 29,
				   "Job size is too small for ethernet header, job must be at least 14 bytes");
	}
	for (uint32_t const size : {14U, 15U, 9000U})
		EXPECT_NO_THROW(utility::check_gpu_eth_job_size(size));
}

TEST(gpu_eth_rules, receive_limits_from_the_attributes)
{
	std::string const packets = "kova_tessel.eth-rx-max-rx-packets";
	std::string const timeout = "kova_tessel.eth-rx-timeout-ns";
	struct row {
		attribute_map map;
		uint32_t max_rx_packets;
		uint64_t timeout_ns;
	};
	for (row const &r : {row{{}, 2048, 2000}, row{{{packets, "2048"}}, 2048, 2000}, row{{{packets, "7"}}, 7, 2000},
			     row{{{timeout, "500us"}}, 2048, 500}, row{{{packets, "0"}}, 0, 2000},
			     row{{{timeout, "0"}}, 2048, 0}, row{{{packets, "12abc"}, {timeout, "9"}}, 12, 9}}) {
		auto const limits = step::read_eth_rx_limits(attributes(r.map));
		EXPECT_EQ(limits.max_rx_packets, r.max_rx_packets);
		EXPECT_EQ(limits.timeout_ns, r.timeout_ns);
	}
	EXPECT_KOVA_THROW(step::read_eth_rx_limits(attributes({{packets, "2049"}})), KOVA_ERROR_INVALID_VALUE,
			   "Number of rx packets can't be bigger than 2048");
	EXPECT_KOVA_THROW(step::read_eth_rx_limits(attributes({{packets, "0"}, {timeout, "0"}})),
			   KOVA_ERROR_INVALID_VALUE,
			   "Attributes kova_tessel.eth-rx-max-rx-packets and kova_tessel.eth-rx-timeout-ns cannot both "
			   "be 0.");
	for (attribute_map const &bad : {attribute_map{{timeout, "abc"}}, attribute_map{{packets, "x"}}})
		EXPECT_EQ(test::thrown_by([&] { step::read_eth_rx_limits(attributes(bad)); }).code(), KOVA_ERROR_INVALID_VALUE);
}

TEST(gpu_eth_rules, offload_attributes_are_booleans)
{
	EXPECT_TRUE(utility::as_bool("true"));
	EXPECT_FALSE(utility::as_bool("false"));
	EXPECT_KOVA_THROW(utility::as_bool("maybe"), KOVA_ERROR_INVALID_VALUE,
			   "Unable to convert value\"maybe\" to a boolean");
	EXPECT_KOVA_THROW(utility::as_bool("true1"), KOVA_ERROR_INVALID_VALUE,
			   "Unable to convert value\"true1\" to a boolean");
}

TEST_F(gpu_eth, send_step_frames_and_job_size)
{
	EXPECT_KOVA_THROW(make("kova_tessel::eth_tx", attributes({}, 13)), 29,
			   "Job size is too small for ethernet header, job must be at least 14 bytes");
	struct row {
		uint32_t blocks;
		uint32_t threads;
		uint32_t job_size;
		uint32_t packets;
	};
	for (row const &r : {row{1, 1, 14, 1}, row{3, 11, 64, 64}, row{1, 32, 100, 32}}) {
		SCOPED_TRACE(std::to_string(r.blocks) + " x " + std::to_string(r.threads) + ", " +
			     std::to_string(r.job_size) + " bytes");
		auto step = make("kova_tessel::eth_tx",
				 attributes({{"kova_tessel.num-blocks", std::to_string(r.blocks)},
					     {"kova_tessel.threads-per-block", std::to_string(r.threads)}},
					    r.job_size));
		auto const &queues = dynamic_cast<step::kova_tessel_eth_tx_step &>(*step).queues();
		ASSERT_EQ(queues.get_packet_count(), r.packets);
		uint32_t const written = r.blocks * r.threads;
		for (uint32_t k = 0; k < r.packets; ++k) {
			const uint8_t *frame = queues.packets_cpu() + std::size_t{k} * r.job_size;
			bool const is_frame = std::memcmp(frame, frame_header, sizeof(frame_header)) == 0;
			EXPECT_EQ(is_frame, k < written) << "frame " << k;
			if (is_frame) {
				for (uint32_t i = sizeof(frame_header); i < r.job_size; ++i)
					ASSERT_EQ(frame[i], 0x11) << "frame " << k << " byte " << i;
			}
		}
	}
}

TEST_F(gpu_eth, receive_step_limits_and_queue_ids)
{
	std::string const packets = "kova_tessel.eth-rx-max-rx-packets";
	std::string const timeout = "kova_tessel.eth-rx-timeout-ns";
	EXPECT_KOVA_THROW(make("kova_tessel::eth_rx", attributes({{packets, "2049"}})), KOVA_ERROR_INVALID_VALUE,
			   "Number of rx packets can't be bigger than 2048");
	EXPECT_KOVA_THROW(make("kova_tessel::eth_rx", attributes({{packets, "0"}, {timeout, "0"}})),
			   KOVA_ERROR_INVALID_VALUE,
			   "Attributes kova_tessel.eth-rx-max-rx-packets and kova_tessel.eth-rx-timeout-ns cannot both "
			   "be 0.");
	EXPECT_KOVA_THROW(make("kova_tessel::eth_rx", attributes({}, 13)), 29,
			   "Job size is too small for ethernet header, job must be at least 14 bytes");
	auto step = make("kova_tessel::eth_rx", attributes({{packets, "2048"}, {"kova_tessel.num-blocks", "3"}}));
	auto const &rx = dynamic_cast<step::kova_tessel_eth_rx_step &>(*step);
	EXPECT_EQ(rx.kernel_params().max_rx_packets, 2048U);
	EXPECT_EQ(rx.kernel_params().timeout_ns, 2000U);
	ASSERT_EQ(rx.queues().queues().size(), 3U);
	// Ids from the process's allocator, in block order, and the pipe's list holds them in that order.
	std::vector<uint16_t> ids;
	for (auto const &queue : rx.queues().queues())
		ids.push_back(queue.queue_id);
	EXPECT_EQ(ids, (std::vector<uint16_t>{128, 129, 130}));
	EXPECT_EQ(rx.queues().queue_list(), ids);
	EXPECT_EQ(rx.queues().get_eth_cfg().max_packet_size, 16384U);
	EXPECT_EQ(rx.queues().get_eth_cfg().max_burst_size, 16U);
}

TEST_F(gpu_eth, blocks_above_the_port_queue_maximum_are_refused)
{
	for (const char *blocks : {"17", "256"}) {
		SCOPED_TRACE(blocks);
		auto const e =
			test::thrown_by([&] { make("kova_tessel::eth_tx", attributes({{"kova_tessel.num-blocks", blocks}})); });
		EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE) << e.what();
	}
	// The port is usable again afterwards.
	EXPECT_NO_THROW(make("kova_tessel::eth_tx", attributes({{"kova_tessel.num-blocks", "16"}})));
}

TEST_F(gpu_eth, kernels_read_the_parameter_blocks_the_steps_wrote)
{
	kova_test_gpu_record_params(1);
	struct row {
		const char *step;
		const char *launcher;
		std::size_t size;
	};
	for (row const &r : {row{"kova_tessel::eth_rx", "kova_bench_rhun_start_eth_recv_kernel", 48},
			     row{"kova_tessel::eth_tx", "kova_bench_rhun_start_eth_send_kernel", 48},
			     row{"kova_tessel::eth_bidir", "kova_bench_rhun_start_eth_bidir_kernel", 64}}) {
		SCOPED_TRACE(r.step);
		auto step = make(r.step, attributes({{"kova_tessel.num-blocks", "2"}, {"kova_tessel.threads-per-block", "4"}}));
		step->start();
		const void *written = nullptr;
		if (auto *rx = dynamic_cast<step::kova_tessel_eth_rx_step *>(step.get()))
			written = &rx->kernel_params();
		else if (auto *tx = dynamic_cast<step::kova_tessel_eth_tx_step *>(step.get()))
			written = &tx->kernel_params();
		else
			written = &dynamic_cast<step::kova_tessel_eth_bidir_step &>(*step).kernel_params();
		unsigned char recorded[128] = {};
		ASSERT_EQ(kova_test_gpu_recorded_params(r.launcher, recorded, sizeof(recorded)), r.size);
		EXPECT_EQ(std::memcmp(recorded, written, r.size), 0);
		step->stop();
		EXPECT_EQ(kova_test_gpu_running_kernels(), 0U);
	}
	kova_test_gpu_record_params(0);
}

TEST_F(gpu_eth, failed_sends_of_the_kernel_are_reported_by_stop)
{
	// kovap0 carries frames of at most 1514 bytes: every send of 1600 bytes fails.
	auto step = make("kova_tessel::eth_tx", attributes({}, 1600));
	testing::internal::CaptureStdout();
	step->start();
	std::this_thread::sleep_for(std::chrono::milliseconds{50});
	auto const e = test::thrown_by([&] { step->stop(); });
	std::string const out = testing::internal::GetCapturedStdout();
	EXPECT_EQ(e.code(), KOVA_ERROR_IO_FAILED) << e.what();
	EXPECT_NE(std::string{e.what()}.find("frames the GPU kernel sent failed"), std::string::npos) << e.what();
	EXPECT_NE(out.find("Received TXQ Packet error\n"), std::string::npos);
	thread_stats stats;
	step->gather_stats(stats);
	EXPECT_EQ(stats.step.dequeued_jobs, 0U);
	EXPECT_EQ(kova_test_gpu_running_kernels(), 0U);
	step.reset();

	// Frames the interface carries are not reported.
	auto fitting = make("kova_tessel::eth_tx", attributes({}, 1514));
	fitting->start();
	std::this_thread::sleep_for(std::chrono::milliseconds{50});
	EXPECT_NO_THROW(fitting->stop());
	fitting->gather_stats(stats);
	EXPECT_GT(stats.step.dequeued_jobs, 0U);
}

TEST_F(gpu_eth, construction_works_again_after_the_last_user_went)
{
	// The port and its pool are set up per user count: each round sets them up afresh.
	for (int round = 0; round < 3; ++round) {
		SCOPED_TRACE(round);
		for (const char *name : {"kova_tessel::eth_tx", "kova_tessel::eth_rx", "kova_tessel::eth_bidir"})
			EXPECT_NO_THROW(make(name, attributes({{"kova_tessel.num-blocks", std::to_string(round + 1)}})));
	}
	// Two users at once share the port set-up.
	auto first = make("kova_tessel::eth_tx", attributes({{"kova_tessel.num-blocks", "2"}}));
	auto const e = test::thrown_by([] { make("kova_tessel::eth_tx", attributes({{"kova_tessel.num-blocks", "3"}})); });
	EXPECT_EQ(e.code(), KOVA_ERROR_BAD_STATE);
	EXPECT_NE(std::string{e.what()}.find("is in use with 2 queues"), std::string::npos) << e.what();
}

} // namespace
} // namespace kova::bench::gpu_eth_test
