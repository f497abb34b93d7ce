// The comch stand-in between two processes: joining a server name, announcements and their
// replay, the shared-memory data path with back-pressure, consumer stop, peers that leave, an
// unreachable server and two network namespaces.
#include "comch_side.hpp"
#include "sdk_rdma/two_process.hpp"

#include <gtest/gtest.h>

#include <kova/test_control.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

using kova::comch_test::buffers;
using kova::comch_test::completions;
using kova::comch_test::consumer_side;
using kova::comch_test::producer_side;
using kova::comch_test::pump_until;
using kova::comch_test::side;
using kova::comch_test::unique_name;
using kova::rdma_test::child;
using kova::rdma_test::control_line;
using kova::rdma_test::spawn;
using kova::rdma_test::wait_child;

#define CHILD_CHECK(condition)                                                                          \
	do {                                                                                             \
		if (!(condition)) {                                                                      \
			std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
			return 10;                                                                       \
		}                                                                                        \
	} while (false)

// Sends a consumer id over the control line.
void send_id(const control_line &line, uint32_t id)
{
	line.send_bytes({reinterpret_cast<const uint8_t *>(&id), reinterpret_cast<const uint8_t *>(&id) + sizeof(id)});
}

// A consumer of `count` empty buffers of `size` bytes on a child's side.
struct child_consumer {
	child_consumer(side &s, uint32_t count, uint32_t size) : bufs{s.dev(), count, size, false}, c{s, bufs, count} {}
	// Runs it and sends its id over the line; false when it did not come to run.
	bool run_and_send_id(const control_line &line)
	{
		if (!c.run())
			return false;
		send_id(line, c.id());
		return true;
	}
	buffers bufs;
	consumer_side c;
};

// A side that joins, runs, reports 'R' and then does what the rest of the body says.
int join(side &s, const control_line &line)
{
	CHILD_CHECK(s.start() == KOVA_ERROR_IN_PROGRESS || s.start() == KOVA_ERROR_BAD_STATE);
	CHILD_CHECK(s.run());
	line.send_byte('R');
	return 0;
}

constexpr uint32_t message_size = 4096;

// Receives `count` messages of 4 KiB with `posted` buffers, checking bytes and order; reports its id.
int receive_messages(const std::string &name, const control_line &line, uint64_t count, uint32_t posted,
		     bool wait_before_posting)
{
	side s{name};
	if (int const failed = join(s, line))
		return failed;
	buffers bufs{s.dev(), posted, message_size, false};
	consumer_side c{s, bufs, posted};
	CHILD_CHECK(c.start_result == KOVA_ERROR_IN_PROGRESS);
	CHILD_CHECK(c.run());
	uint32_t const id = c.id();
	CHILD_CHECK(id != 0);
	send_id(line, id);
	if (wait_before_posting)
		CHILD_CHECK(line.receive_byte(10000) == 'P');
	std::vector<kova_comch_consumer_task_post_recv *> tasks;
	for (uint32_t i = 0; i < posted; ++i) {
		tasks.push_back(c.post(bufs.at(i)));
		CHILD_CHECK(tasks.back() != nullptr);
	}
	uint64_t expected = 0;
	std::size_t seen = 0;
	bool ok = pump_until([&] {
		kova_pe_progress(c.pe);
		for (; seen < c.done.done.size(); ++seen) {
			kova_task *task = c.done.done[seen];
			auto *recv = reinterpret_cast<kova_comch_consumer_task_post_recv *>(task);
			kova_buf *buf = kova_comch_consumer_task_post_recv_get_buf(recv);
			void *data = nullptr;
			size_t len = 0;
			kova_buf_get_data(buf, &data);
			kova_buf_get_data_len(buf, &len);
			if (len != message_size || kova::comch_test::check_message(static_cast<uint8_t *>(data), message_size) != expected)
				return true;
			++expected;
			kova_buf_reset_data_len(buf);
			if (expected + posted - 1 < count && kova_task_submit(task) != KOVA_SUCCESS)
				return true;
		}
		return expected == count;
	}, 120000);
	CHILD_CHECK(ok);
	CHILD_CHECK(expected == count);
	CHILD_CHECK(c.done.failed == 0);
	line.send_byte('D');
	CHILD_CHECK(line.receive_byte(10000) == 'Q');
	return 0;
}

uint32_t receive_id(const child &c)
{
	control_line const line{c.fd};
	std::vector<uint8_t> const bytes = line.receive_bytes();
	uint32_t id = 0;
	if (bytes.size() == sizeof(id))
		std::memcpy(&id, bytes.data(), sizeof(id));
	return id;
}

void send_id(const child &c, uint32_t id)
{
	send_id(control_line{c.fd}, id);
}

// Sends `count` messages of 4 KiB to the consumer id it is told, `tasks` at a time.
int send_messages(const std::string &name, const control_line &line, uint64_t count, uint32_t tasks,
		  int64_t report_completed_after_ms)
{
	side s{name};
	if (int const failed = join(s, line))
		return failed;
	std::vector<uint8_t> const id_bytes = line.receive_bytes();
	uint32_t consumer_id = 0;
	std::memcpy(&consumer_id, id_bytes.data(), sizeof(consumer_id));
	CHILD_CHECK(pump_until([&] {
		s.progress();
		return std::find(s.recorded.announced.begin(), s.recorded.announced.end(), consumer_id) !=
		       s.recorded.announced.end();
	}, 5000));
	buffers bufs{s.dev(), tasks, message_size, true};
	producer_side p{s, tasks};
	CHILD_CHECK(p.start_result == KOVA_SUCCESS);
	uint64_t next = 0;
	std::vector<kova_task *> all;
	for (uint32_t i = 0; i < tasks && next < count; ++i, ++next) {
		kova::comch_test::fill_message(bufs.bytes(i), message_size, next);
		all.push_back(p.task(bufs.at(i), consumer_id));
		CHILD_CHECK(all.back() != nullptr);
		CHILD_CHECK(kova_task_submit(all.back()) == KOVA_SUCCESS);
	}
	if (report_completed_after_ms >= 0) {
		auto const until = std::chrono::steady_clock::now() + std::chrono::milliseconds{report_completed_after_ms};
		while (std::chrono::steady_clock::now() < until)
			kova_pe_progress(p.pe);
		uint64_t const completed = p.done.ok + p.done.failed;
		line.send_bytes({reinterpret_cast<const uint8_t *>(&completed),
				 reinterpret_cast<const uint8_t *>(&completed) + sizeof(completed)});
	}
	std::size_t seen = 0;
	CHILD_CHECK(pump_until([&] {
		kova_pe_progress(p.pe);
		for (; seen < p.done.done.size(); ++seen) {
			kova_task *task = p.done.done[seen];
			if (next == count)
				continue;
			auto const slot = static_cast<uint32_t>(std::find(all.begin(), all.end(), task) - all.begin());
			kova::comch_test::fill_message(bufs.bytes(slot), message_size, next++);
			if (kova_task_submit(task) != KOVA_SUCCESS)
				return true;
		}
		return p.done.ok + p.done.failed == count;
	}, 120000));
	CHILD_CHECK(p.done.failed == 0);
	CHILD_CHECK(p.done.ok == count);
	line.send_byte('S');
	CHILD_CHECK(line.receive_byte(10000) == 'Q');
	return 0;
}

TEST(comch_channel, two_clients_of_one_name_join_and_run)
{
	std::string const name = unique_name("join");
	auto body = [&](const control_line &line) {
		side s{name};
		if (int const failed = join(s, line))
			return failed;
		CHILD_CHECK(s.connection() != nullptr);
		CHILD_CHECK(s.recorded.client_states.size() == 2); // idle -> starting -> running
		CHILD_CHECK(line.receive_byte(10000) == 'Q');
		return 0;
	};
	child a = spawn("", "", body);
	child b = spawn("", "", body);
	EXPECT_EQ(control_line{a.fd}.receive_byte(10000), 'R');
	EXPECT_EQ(control_line{b.fd}.receive_byte(10000), 'R');
	control_line{a.fd}.send_byte('Q');
	control_line{b.fd}.send_byte('Q');
	EXPECT_EQ(wait_child(a, 10000), 0);
	EXPECT_EQ(wait_child(b, 10000), 0);
}

TEST(comch_channel, a_consumer_started_before_the_peer_joined_is_announced_once_and_never_to_its_owner)
{
	std::string const name = unique_name("replay");
	child a = spawn("", "", [&](const control_line &line) {
		side s{name};
		if (int const failed = join(s, line))
			return failed;
		child_consumer consumer{s, 1, 64};
		CHILD_CHECK(consumer.run_and_send_id(line));
		CHILD_CHECK(line.receive_byte(10000) == 'Q');
		for (int i = 0; i < 100; ++i)
			s.progress();
		CHILD_CHECK(s.recorded.announced.empty());
		return 0;
	});
	ASSERT_EQ(control_line{a.fd}.receive_byte(10000), 'R');
	uint32_t const id = receive_id(a);
	EXPECT_NE(id, 0U);
	child b = spawn("", "", [&](const control_line &line) {
		side s{name};
		if (int const failed = join(s, line))
			return failed;
		CHILD_CHECK(pump_until([&] { s.progress(); return !s.recorded.announced.empty(); }, 5000));
		auto const until = std::chrono::steady_clock::now() + std::chrono::milliseconds{200};
		while (std::chrono::steady_clock::now() < until)
			s.progress();
		CHILD_CHECK(s.recorded.announced == std::vector<uint32_t>{id});
		return 0;
	});
	EXPECT_EQ(control_line{b.fd}.receive_byte(10000), 'R');
	EXPECT_EQ(wait_child(b, 10000), 0);
	control_line{a.fd}.send_byte('Q');
	EXPECT_EQ(wait_child(a, 10000), 0);
}

// A receiving child (receive_messages) and a sending child (send_messages) of one server name.
struct exchange_plan {
	uint64_t count;
	uint32_t posted;
	bool wait_before_posting;
	uint32_t tasks;
	int64_t report_completed_after_ms;
	std::string consumer_netns;
	std::string producer_netns;
};

struct exchange {
	child consumer;
	child producer;
};

// Starts the receiving child, then the sending child, and tells the sender the consumer's id once
// both run; false when either did not report running.
bool start_exchange(const std::string &name, const exchange_plan &plan, exchange &pair)
{
	pair.consumer = spawn(plan.consumer_netns, "", [&](const control_line &line) {
		return receive_messages(name, line, plan.count, plan.posted, plan.wait_before_posting);
	});
	if (control_line{pair.consumer.fd}.receive_byte(10000) != 'R')
		return false;
	uint32_t const id = receive_id(pair.consumer);
	pair.producer = spawn(plan.producer_netns, "", [&](const control_line &line) {
		return send_messages(name, line, plan.count, plan.tasks, plan.report_completed_after_ms);
	});
	if (control_line{pair.producer.fd}.receive_byte(10000) != 'R')
		return false;
	send_id(pair.producer, id);
	return true;
}

// Both children report their messages done within the limit, then quit with status 0.
void finish_exchange(exchange &pair, int limit_ms)
{
	EXPECT_EQ(control_line{pair.consumer.fd}.receive_byte(limit_ms), 'D');
	EXPECT_EQ(control_line{pair.producer.fd}.receive_byte(limit_ms), 'S');
	control_line{pair.consumer.fd}.send_byte('Q');
	control_line{pair.producer.fd}.send_byte('Q');
	EXPECT_EQ(wait_child(pair.consumer, 10000), 0);
	EXPECT_EQ(wait_child(pair.producer, 10000), 0);
}

TEST(comch_channel, one_hundred_thousand_messages_of_4_kib_arrive_byte_exact_and_in_order)
{
	exchange pair;
	ASSERT_TRUE(start_exchange(unique_name("bulk"), {100000, 64, false, 64, -1, "", ""}, pair));
	finish_exchange(pair, 120000);
}

TEST(comch_channel, without_posted_buffers_the_producer_is_held_back_and_nothing_is_lost)
{
	constexpr uint64_t count = 3000; // more than a lane holds
	exchange pair;
	ASSERT_TRUE(start_exchange(unique_name("hold"), {count, 16, true, 2048, 300, "", ""}, pair));
	std::vector<uint8_t> const completed = control_line{pair.producer.fd}.receive_bytes();
	uint64_t done = 1;
	ASSERT_EQ(completed.size(), sizeof(done));
	std::memcpy(&done, completed.data(), sizeof(done));
	EXPECT_EQ(done, 0U) << "a send completed before any buffer was posted";
	control_line{pair.consumer.fd}.send_byte('P');
	finish_exchange(pair, 60000);
}

TEST(comch_channel, stopping_a_consumer_with_posted_receives_flushes_them_and_retires_its_id_at_the_peer)
{
	std::string const name = unique_name("stop");
	child a = spawn("", "", [&](const control_line &line) {
		side s{name};
		if (int const failed = join(s, line))
			return failed;
		child_consumer consumer{s, 4, 64};
		CHILD_CHECK(consumer.run_and_send_id(line));
		consumer_side &c = consumer.c;
		buffers &bufs = consumer.bufs;
		CHILD_CHECK(line.receive_byte(10000) == 'A'); // the peer heard of it
		for (uint32_t i = 0; i < 4; ++i)
			CHILD_CHECK(c.post(bufs.at(i)) != nullptr);
		kova_pe_progress(c.pe);
		CHILD_CHECK(kova_ctx_stop(c.ctx()) == KOVA_ERROR_IN_PROGRESS);
		CHILD_CHECK(c.done.failed == 0); // not inside the stop call
		CHILD_CHECK(pump_until([&] { kova_pe_progress(c.pe); return c.state() == KOVA_CTX_STATE_IDLE; }, 5000));
		CHILD_CHECK(c.done.failed == 4);
		for (kova_error status : c.done.statuses)
			CHILD_CHECK(status == KOVA_ERROR_SHUTDOWN);
		line.send_byte('S');
		CHILD_CHECK(line.receive_byte(10000) == 'Q');
		return 0;
	});
	ASSERT_EQ(control_line{a.fd}.receive_byte(10000), 'R');
	uint32_t const id = receive_id(a);
	child b = spawn("", "", [&](const control_line &line) {
		side s{name};
		if (int const failed = join(s, line))
			return failed;
		CHILD_CHECK(pump_until([&] { s.progress(); return !s.recorded.announced.empty(); }, 5000));
		line.send_byte('A');
		CHILD_CHECK(pump_until([&] { s.progress(); return !s.recorded.expired.empty(); }, 10000));
		CHILD_CHECK(s.recorded.expired == std::vector<uint32_t>{id});
		return 0;
	});
	ASSERT_EQ(control_line{b.fd}.receive_byte(10000), 'R');
	ASSERT_EQ(control_line{b.fd}.receive_byte(10000), 'A');
	control_line{a.fd}.send_byte('A');
	EXPECT_EQ(control_line{a.fd}.receive_byte(10000), 'S');
	EXPECT_EQ(wait_child(b, 10000), 0);
	control_line{a.fd}.send_byte('Q');
	EXPECT_EQ(wait_child(a, 10000), 0);
}

struct leaving_case {
	const char *name;
	bool killed;
};

class comch_peer_leaves : public testing::TestWithParam<leaving_case> {};

TEST_P(comch_peer_leaves, the_other_client_hears_its_consumer_expire_and_is_disconnected)
{
	std::string const name = unique_name(GetParam().name);
	child stays = spawn("", "", [&](const control_line &line) {
		side s{name};
		if (int const failed = join(s, line))
			return failed;
		CHILD_CHECK(pump_until([&] { s.progress(); return !s.recorded.announced.empty(); }, 5000));
		line.send_byte('A');
		CHILD_CHECK(pump_until([&] { s.progress(); return s.state() == KOVA_CTX_STATE_IDLE; }, 5000));
		CHILD_CHECK(s.recorded.expired == s.recorded.announced);
		CHILD_CHECK(s.recorded.client_states.back().first == KOVA_CTX_STATE_RUNNING);
		CHILD_CHECK(s.recorded.client_states.back().second == KOVA_CTX_STATE_IDLE);
		CHILD_CHECK(s.connection() == nullptr);
		return 0;
	});
	ASSERT_EQ(control_line{stays.fd}.receive_byte(10000), 'R');
	child leaves = spawn("", "", [&](const control_line &line) {
		side s{name};
		if (int const failed = join(s, line))
			return failed;
		buffers bufs{s.dev(), 1, 64, false};
		consumer_side c{s, bufs, 1};
		CHILD_CHECK(c.run());
		line.send_byte('C');
		CHILD_CHECK(line.receive_byte(10000) == 'L');
		return 0;
	});
	ASSERT_EQ(control_line{leaves.fd}.receive_byte(10000), 'R');
	ASSERT_EQ(control_line{leaves.fd}.receive_byte(10000), 'C');
	ASSERT_EQ(control_line{stays.fd}.receive_byte(10000), 'A');
	if (GetParam().killed) {
		::kill(leaves.pid, SIGKILL);
		EXPECT_EQ(wait_child(leaves, 10000), 128 + SIGKILL);
	} else {
		control_line{leaves.fd}.send_byte('L');
		EXPECT_EQ(wait_child(leaves, 10000), 0);
	}
	EXPECT_EQ(wait_child(stays, 10000), 0);
}

INSTANTIATE_TEST_SUITE_P(comch_channel, comch_peer_leaves,
			 testing::Values(leaving_case{"destroyed", false}, leaving_case{"killed", true}),
			 [](const testing::TestParamInfo<leaving_case> &info) { return std::string{info.param.name}; });

TEST(comch_channel, an_unreachable_server_fails_the_client_start_with_17_at_once)
{
	std::string const name = unique_name("unreachable");
	::mkdir("/tmp/kova_comch", 0777);
	std::string const path = std::string{"/tmp/kova_comch/"} + name;
	{
		std::ofstream occupied{path}; // not a socket: nobody can serve there
		ASSERT_TRUE(occupied.is_open());
	}
	side s{name};
	auto const began = std::chrono::steady_clock::now();
	EXPECT_EQ(s.start(), KOVA_ERROR_IO_FAILED);
	EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds{1});
	EXPECT_EQ(s.state(), KOVA_CTX_STATE_IDLE);
	::unlink(path.c_str());
}

TEST(comch_channel, sends_to_unknown_or_zero_consumer_ids_fail_with_16)
{
	side s{unique_name("unknown")};
	ASSERT_EQ(s.start(), KOVA_ERROR_IN_PROGRESS);
	ASSERT_TRUE(s.run());
	buffers bufs{s.dev(), 2, 64, true};
	producer_side p{s, 2};
	ASSERT_EQ(p.start_result, KOVA_SUCCESS);
	ASSERT_EQ(kova_task_submit(p.task(bufs.at(0), 0)), KOVA_SUCCESS);
	ASSERT_EQ(kova_task_submit(p.task(bufs.at(1), 4242)), KOVA_SUCCESS);
	EXPECT_EQ(p.done.failed, 0U) << "delivered inside submit";
	ASSERT_TRUE(pump_until([&] { kova_pe_progress(p.pe); return p.done.failed == 2; }, 2000));
	EXPECT_EQ(p.done.statuses, (std::vector<kova_error>{KOVA_ERROR_NOT_FOUND, KOVA_ERROR_NOT_FOUND}));
}

TEST(comch_channel, a_message_larger_than_the_posted_buffer_fails_that_receive_untruncated)
{
	std::string const name = unique_name("large");
	child a = spawn("", "", [&](const control_line &line) {
		side s{name};
		if (int const failed = join(s, line))
			return failed;
		child_consumer consumer{s, 1, 1024};
		CHILD_CHECK(consumer.run_and_send_id(line));
		consumer_side &c = consumer.c;
		buffers &bufs = consumer.bufs;
		CHILD_CHECK(c.post(bufs.at(0)) != nullptr);
		CHILD_CHECK(pump_until([&] { kova_pe_progress(c.pe); return !c.done.done.empty(); }, 10000));
		CHILD_CHECK(c.done.statuses == std::vector<kova_error>{KOVA_ERROR_TOO_BIG});
		size_t len = 1;
		kova_buf_get_data_len(bufs.at(0), &len);
		CHILD_CHECK(len == 0);
		line.send_byte('D');
		CHILD_CHECK(line.receive_byte(10000) == 'Q');
		return 0;
	});
	ASSERT_EQ(control_line{a.fd}.receive_byte(10000), 'R');
	uint32_t const id = receive_id(a);
	child b = spawn("", "", [&](const control_line &line) {
		side s{name};
		if (int const failed = join(s, line))
			return failed;
		CHILD_CHECK(pump_until([&] { s.progress(); return !s.recorded.announced.empty(); }, 5000));
		buffers bufs{s.dev(), 1, 4096, true};
		producer_side p{s, 1};
		CHILD_CHECK(kova_task_submit(p.task(bufs.at(0), id)) == KOVA_SUCCESS);
		CHILD_CHECK(pump_until([&] { kova_pe_progress(p.pe); return !p.done.done.empty(); }, 10000));
		CHILD_CHECK(p.done.statuses == std::vector<kova_error>{KOVA_ERROR_TOO_BIG});
		return 0;
	});
	EXPECT_EQ(control_line{b.fd}.receive_byte(10000), 'R');
	EXPECT_EQ(control_line{a.fd}.receive_byte(10000), 'D');
	EXPECT_EQ(wait_child(b, 10000), 0);
	control_line{a.fd}.send_byte('Q');
	EXPECT_EQ(wait_child(a, 10000), 0);
}

TEST(comch_channel, two_processes_in_two_network_namespaces_meet_through_one_server_name)
{
	kova::rdma_test::veth_pair namespaces;
	std::string reason;
	if (!namespaces.create(reason)) {
		const char *ci = std::getenv("CI");
		if (ci != nullptr && std::string{ci} == "true")
			FAIL() << reason;
		GTEST_SKIP() << reason;
	}
	exchange pair;
	ASSERT_TRUE(start_exchange(unique_name("netns"),
				   {1000, 16, false, 16, -1, namespaces.netns[0], namespaces.netns[1]}, pair));
	finish_exchange(pair, 30000);
}

TEST(comch_library, every_function_of_the_table_is_exported_and_the_unused_ones_answer_4)
{
	std::set<std::string> exported;
	FILE *pipe = ::popen(("nm -D --defined-only '" + std::string{KOVA_LIB_DIR} + "/libkova_comch.so.2'").c_str(), "r");
	ASSERT_NE(pipe, nullptr);
	char text[512];
	while (std::fgets(text, sizeof(text), pipe) != nullptr) {
		std::istringstream fields{text};
		std::string address, type, symbol;
		if (fields >> address >> type >> symbol && type == "T")
			exported.insert(symbol);
	}
	::pclose(pipe);
	std::ifstream list{std::string{KOVA_TEST_SOURCE_DIR} + "/sdk_comch/data/comch_symbols.txt"};
	ASSERT_TRUE(list.is_open());
	std::set<std::string> listed;
	for (std::string name; std::getline(list, name);) {
		if (!name.empty() && name[0] != '#')
			listed.insert(name);
	}
	EXPECT_EQ(listed.size(), 97U);
	EXPECT_EQ(exported, listed);

	kova_comch_server *server = nullptr;
	EXPECT_EQ(kova_comch_server_create(nullptr, nullptr, "s", &server), KOVA_ERROR_NOT_SUPPORTED);
	kova_comch_consumer_completion *completion = nullptr;
	EXPECT_EQ(kova_comch_consumer_completion_create(&completion), KOVA_ERROR_NOT_SUPPORTED);
	EXPECT_EQ(kova_comch_producer_dpa_completion_attach(nullptr, nullptr), KOVA_ERROR_NOT_SUPPORTED);
}

TEST(comch_library, the_channel_is_offered_on_devices_with_representors_only)
{
	char const *reps[] = {"03:00.2"};
	kova_test_device const table[] = {{"03:00.0", "kq_host", "lo", 1, reps, 1}, {"04:00.0", "kq_plain", "lo", 0, nullptr, 0}};
	ASSERT_EQ(kova_test_set_device_table(table, 2), KOVA_SUCCESS);
	kova_devinfo **list = nullptr;
	uint32_t count = 0;
	ASSERT_EQ(kova_devinfo_create_list(&list, &count), KOVA_SUCCESS);
	ASSERT_EQ(count, 2U);
	for (auto query : {kova_comch_cap_client_is_supported, kova_comch_consumer_cap_is_supported,
			   kova_comch_producer_cap_is_supported}) {
		EXPECT_EQ(query(list[0]), KOVA_SUCCESS);
		EXPECT_EQ(query(list[1]), KOVA_ERROR_NOT_SUPPORTED);
	}
	uint32_t value = 0;
	EXPECT_EQ(kova_comch_consumer_cap_get_max_buf_size(list[0], &value), KOVA_SUCCESS);
	EXPECT_EQ(value, 1U << 20);
	kova_dev *plain = nullptr;
	ASSERT_EQ(kova_dev_open(list[1], &plain), KOVA_SUCCESS);
	kova_comch_client *client = nullptr;
	EXPECT_EQ(kova_comch_client_create(plain, "kq_plain", &client), KOVA_ERROR_NOT_SUPPORTED);
	kova_dev_close(plain);
	kova_devinfo_destroy_list(list);
	kova_test_reset();
	ASSERT_EQ(kova_devinfo_create_list(&list, &count), KOVA_SUCCESS);
	for (uint32_t i = 0; i < count; ++i)
		EXPECT_EQ(kova_comch_cap_client_is_supported(list[i]), KOVA_SUCCESS) << "built-in device " << i;
	kova_devinfo_destroy_list(list);
}

} // namespace
