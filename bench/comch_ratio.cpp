// 4 KiB messages from a producer process to a consumer process through the comch stand-in, against
// a direct loop over the same shared-memory transport (the stand-in's ring layout, one lane, the
// same copies in and out, the same number of messages in flight), with no API, engine or tasks.
// Goal: the stand-in reaches at least 0.8 of the direct loop.
//
//   comch_ratio [seconds per run, default 2] [repetitions, default 3] [messages in flight, default 64]
//               [consumer core, default 2] [producer core, default 4]
//
// Both modes pin the consumer and the producer to the same two cores, so that where the scheduler
// puts the processes (the same core's caches or not) does not decide the figure.
// Prints each run's messages per second and the median ratio.
#include "comch_shared.hpp"
#include "sdk_comch/comch_side.hpp"

#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

namespace comch = kova::sdk::comch;
using clock_type = std::chrono::steady_clock;
constexpr uint32_t message_size = 4096;
int consumer_core = 2;
int producer_core = 4;

void pin(int core)
{
	cpu_set_t set;
	CPU_ZERO(&set);
	CPU_SET(core, &set);
	if (::sched_setaffinity(0, sizeof(set), &set) != 0)
		std::perror("sched_setaffinity");
}

struct api_consumer_state {
	uint64_t received = 0;
	bool failed = false;
};

void consumer_done(kova_task *task, kova_data, kova_data ctx_user_data)
{
	auto *state = static_cast<api_consumer_state *>(ctx_user_data.ptr);
	++state->received;
	kova_buf_reset_data_len(kova_comch_consumer_task_post_recv_get_buf(
		reinterpret_cast<kova_comch_consumer_task_post_recv *>(task)));
	if (kova_task_submit(task) != KOVA_SUCCESS)
		state->failed = true;
}

void consumer_failed(kova_task *, kova_data, kova_data ctx_user_data)
{
	static_cast<api_consumer_state *>(ctx_user_data.ptr)->failed = true;
}

struct api_producer_state {
	bool stopped = false;
};

void producer_done(kova_task *task, kova_data, kova_data ctx_user_data)
{
	if (kova_task_submit(task) != KOVA_SUCCESS)
		static_cast<api_producer_state *>(ctx_user_data.ptr)->stopped = true;
}

void producer_failed(kova_task *, kova_data, kova_data ctx_user_data)
{
	static_cast<api_producer_state *>(ctx_user_data.ptr)->stopped = true; // the consumer left
}

// Messages per second that the consumer received over `seconds`, or a negative value.
double run_api(double seconds, uint32_t in_flight)
{
	std::string const name = kova::comch_test::unique_name("ratio");
	int id_pipe[2];
	int result_pipe[2];
	if (::pipe(id_pipe) != 0 || ::pipe(result_pipe) != 0)
		return -1;
	pid_t const consumer = ::fork();
	if (consumer == 0) {
		pin(consumer_core);
		kova::comch_test::side s{name};
		s.start();
		if (!s.run())
			::_exit(2);
		kova::comch_test::buffers bufs{s.dev(), in_flight * 2, message_size, false};
		kova_pe *pe = nullptr;
		kova_pe_create(&pe);
		kova_comch_consumer *c = nullptr;
		kova_comch_consumer_create(s.connection(), bufs.mmap(), &c);
		kova_comch_consumer_task_post_recv_set_conf(c, consumer_done, consumer_failed, in_flight * 2);
		api_consumer_state state;
		kova_ctx *ctx = kova_comch_consumer_as_ctx(c);
		kova_ctx_set_user_data(ctx, kova_data{.ptr = &state});
		kova_pe_connect_ctx(pe, ctx);
		kova_ctx_start(ctx);
		kova_ctx_states st = KOVA_CTX_STATE_STARTING;
		while (st != KOVA_CTX_STATE_RUNNING) {
			kova_pe_progress(pe);
			s.progress();
			kova_ctx_get_state(ctx, &st);
		}
		for (uint32_t i = 0; i < in_flight * 2; ++i) {
			kova_comch_consumer_task_post_recv *task = nullptr;
			kova_comch_consumer_task_post_recv_alloc_init(c, bufs.at(i), &task);
			kova_task_submit(kova_comch_consumer_task_post_recv_as_task(task));
		}
		uint32_t id = 0;
		kova_comch_consumer_get_id(c, &id);
		if (::write(id_pipe[1], &id, sizeof(id)) != sizeof(id))
			::_exit(2);
		while (state.received == 0)
			kova_pe_progress(pe);
		uint64_t const first = state.received;
		auto const began = clock_type::now();
		auto const until = began + std::chrono::duration<double>(seconds);
		while (clock_type::now() < until && !state.failed) {
			for (int i = 0; i < 64; ++i)
				kova_pe_progress(pe);
		}
		double const rate = static_cast<double>(state.received - first) /
				    std::chrono::duration<double>(clock_type::now() - began).count();
		double const reported = state.failed ? -1.0 : rate;
		if (::write(result_pipe[1], &reported, sizeof(reported)) != sizeof(reported))
			::_exit(2);
		::_exit(0); // leaving ends the producer's sends
	}
	uint32_t id = 0;
	if (::read(id_pipe[0], &id, sizeof(id)) != sizeof(id))
		return -1;
	pid_t const producer = ::fork();
	if (producer == 0) {
		pin(producer_core);
		kova::comch_test::side s{name};
		s.start();
		if (!s.run() || !kova::comch_test::pump_until([&] { s.progress(); return !s.recorded.announced.empty(); }, 5000))
			::_exit(2);
		kova::comch_test::buffers bufs{s.dev(), in_flight, message_size, true};
		kova_pe *pe = nullptr;
		kova_pe_create(&pe);
		kova_comch_producer *p = nullptr;
		kova_comch_producer_create(s.connection(), &p);
		kova_comch_producer_task_send_set_conf(p, producer_done, producer_failed, in_flight);
		api_producer_state state;
		kova_ctx *ctx = kova_comch_producer_as_ctx(p);
		kova_ctx_set_user_data(ctx, kova_data{.ptr = &state});
		kova_pe_connect_ctx(pe, ctx);
		kova_ctx_start(ctx);
		for (uint32_t i = 0; i < in_flight; ++i) {
			std::memset(bufs.bytes(i), static_cast<int>(i), message_size);
			kova_comch_producer_task_send *task = nullptr;
			kova_comch_producer_task_send_alloc_init(p, bufs.at(i), nullptr, 0, id, &task);
			kova_task_submit(kova_comch_producer_task_send_as_task(task));
		}
		auto const limit = clock_type::now() + std::chrono::duration<double>(seconds + 10);
		while (!state.stopped && clock_type::now() < limit) {
			for (int i = 0; i < 64; ++i)
				kova_pe_progress(pe);
		}
		::_exit(0);
	}
	double rate = -1;
	if (::read(result_pipe[0], &rate, sizeof(rate)) != sizeof(rate))
		rate = -1;
	int status = 0;
	::waitpid(consumer, &status, 0);
	::waitpid(producer, &status, 0);
	for (int fd : {id_pipe[0], id_pipe[1], result_pipe[0], result_pipe[1]})
		::close(fd);
	return rate;
}

// The same transport without the API: one lane of a ring in a memfd shared by the two processes.
double run_direct(double seconds, uint32_t in_flight)
{
	int const fd = ::memfd_create("comch_ratio", MFD_CLOEXEC);
	if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(comch::ring_bytes)) != 0)
		return -1;
	void *ring = ::mmap(nullptr, comch::ring_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	if (ring == MAP_FAILED)
		return -1;
	auto *header = new (ring) comch::ring_header{};
	header->alive.store(1);
	comch::lane_control &lane = header->lanes[0];
	std::byte *data = comch::lane_data(ring, 0);
	uint64_t const bytes = comch::record_bytes(message_size);
	int result_pipe[2];
	if (::pipe(result_pipe) != 0)
		return -1;

	pid_t const consumer = ::fork();
	if (consumer == 0) {
		pin(consumer_core);
		std::vector<uint8_t> targets(std::size_t{in_flight} * 2 * message_size);
		uint64_t head = 0;
		uint64_t received = 0;
		uint32_t next_target = 0;
		auto receive = [&] {
			uint64_t const tail = lane.tail.load(std::memory_order_acquire);
			while (head != tail) {
				uint64_t const offset = head % comch::lane_bytes;
				auto *record = reinterpret_cast<comch::record_header *>(data + offset);
				if (record->len == comch::pad_record) {
					head += comch::lane_bytes - offset;
					continue;
				}
				std::memcpy(targets.data() + std::size_t{next_target} * message_size, record + 1, record->len);
				next_target = (next_target + 1) % (in_flight * 2);
				record->status = 0;
				head += comch::record_bytes(record->len);
				lane.head.store(head, std::memory_order_release);
				++received;
			}
		};
		while (received == 0)
			receive();
		uint64_t const first = received;
		auto const began = clock_type::now();
		auto const until = began + std::chrono::duration<double>(seconds);
		while (clock_type::now() < until) {
			for (int i = 0; i < 64; ++i)
				receive();
		}
		double const rate = static_cast<double>(received - first) /
				    std::chrono::duration<double>(clock_type::now() - began).count();
		header->alive.store(0, std::memory_order_release);
		if (::write(result_pipe[1], &rate, sizeof(rate)) != sizeof(rate))
			::_exit(2);
		::_exit(0);
	}
	pid_t const producer = ::fork();
	if (producer == 0) {
		pin(producer_core);
		std::vector<uint8_t> sources(std::size_t{in_flight} * message_size, 7);
		uint64_t tail = 0;
		uint32_t next_source = 0;
		while (header->alive.load(std::memory_order_acquire) != 0) {
			uint64_t const head = lane.head.load(std::memory_order_acquire);
			// At most in_flight messages not yet placed, as many as the API keeps in flight.
			if (tail - head >= in_flight * bytes)
				continue;
			uint64_t const offset = tail % comch::lane_bytes;
			if (comch::lane_bytes - offset < bytes) {
				reinterpret_cast<comch::record_header *>(data + offset)->len = comch::pad_record;
				tail += comch::lane_bytes - offset;
				lane.tail.store(tail, std::memory_order_release);
				continue;
			}
			auto *record = reinterpret_cast<comch::record_header *>(data + offset);
			record->len = message_size;
			record->status = 0;
			record->producer_id = 1;
			record->imm_len = 0;
			std::memcpy(record + 1, sources.data() + std::size_t{next_source} * message_size, message_size);
			next_source = (next_source + 1) % in_flight;
			tail += bytes;
			lane.tail.store(tail, std::memory_order_release);
		}
		::_exit(0);
	}
	double rate = -1;
	if (::read(result_pipe[0], &rate, sizeof(rate)) != sizeof(rate))
		rate = -1;
	int status = 0;
	::waitpid(consumer, &status, 0);
	::waitpid(producer, &status, 0);
	::close(result_pipe[0]);
	::close(result_pipe[1]);
	::munmap(ring, comch::ring_bytes);
	::close(fd);
	return rate;
}

} // namespace

int main(int argc, char **argv)
{
	double const seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
	int const repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
	uint32_t const in_flight = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 64;
	consumer_core = argc > 4 ? std::atoi(argv[4]) : consumer_core;
	producer_core = argc > 5 ? std::atoi(argv[5]) : producer_core;
	std::vector<double> ratios;
	for (int i = 0; i < repetitions; ++i) {
		double const api = run_api(seconds, in_flight);
		double const direct = run_direct(seconds, in_flight);
		if (api <= 0 || direct <= 0) {
			std::fprintf(stderr, "run %d failed (api %.0f, direct %.0f)\n", i, api, direct);
			return 1;
		}
		ratios.push_back(api / direct);
		std::printf("run %d: stand-in API %.0f msg/s (%.2f GB/s), direct loop %.0f msg/s (%.2f GB/s), ratio %.3f\n",
			    i, api, api * message_size / 1e9, direct, direct * message_size / 1e9, api / direct);
	}
	std::sort(ratios.begin(), ratios.end());
	double const median = ratios[ratios.size() / 2];
	std::printf("median ratio (goal >= 0.8): %.3f\n", median);
	return median >= 0.8 ? 0 : 3;
}
