// The RDMA stand-in between two processes: on loopback, and across two network namespaces joined
// by a veth pair.
#include "rdma_side.hpp"
#include "two_process.hpp"

#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace kova::rdma_test {
namespace {

using namespace std::chrono_literals;

#define CHILD_CHECK(condition, ...)                                                                     \
	do {                                                                                            \
		if (!(condition)) {                                                                     \
			std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #condition); \
			std::fprintf(stderr, __VA_ARGS__);                                              \
			std::fprintf(stderr, "\n");                                                     \
			return 1;                                                                       \
		}                                                                                       \
	} while (0)

bool in_ci()
{
	const char *ci = std::getenv("CI");
	return ci != nullptr && std::strcmp(ci, "true") == 0;
}

// Pattern of message seq: pseudo-random words, the first one the sequence number.
void fill_pattern(uint8_t *at, std::size_t len, uint64_t seq)
{
	uint64_t x = seq * 0x9E3779B97F4A7C15ULL + 1;
	for (std::size_t i = 0; i < len; i += 8) {
		x ^= x << 13;
		x ^= x >> 7;
		x ^= x << 17;
		uint64_t const word = i == 0 ? seq : x;
		std::memcpy(at + i, &word, std::min<std::size_t>(8, len - i));
	}
}

bool matches_pattern(const uint8_t *at, std::size_t len, uint64_t seq, std::vector<uint8_t> &scratch)
{
	scratch.resize(len);
	fill_pattern(scratch.data(), len, seq);
	return std::memcmp(scratch.data(), at, len) == 0;
}

// Exchanges details through the test and connects, the side asked to wait first progressing
// for a while so that its peer's connection waits for it.
int exchange_and_connect(rdma_side &side, const control_line &line, bool late)
{
	CHILD_CHECK(side.error().empty(), "%s", side.error().c_str());
	auto const local = side.export_details();
	CHILD_CHECK(!local.empty(), "%s", side.error().c_str());
	line.send_bytes(local);
	auto const remote = line.receive_bytes();
	if (late)
		side.progress_until([] { return false; }, 300ms);
	CHILD_CHECK(side.connect(remote) == KOVA_SUCCESS, "connect");
	CHILD_CHECK(side.wait_running(10s), "not running after 10 s");
	return 0;
}

struct transfer_case {
	const char *name;
	std::size_t size;
	uint32_t count;
	bool direct; // false: the bytes travel on the socket
};

int run_receiver(const control_line &line, const transfer_case &c)
{
	if (!c.direct)
		kova_test_override_capability("kova_rdma_direct_placement", KOVA_ERROR_NOT_SUPPORTED, 0);
	rdma_side side{64, c.size};
	uint32_t const receives = side.num_receive_buffers();
	for (uint32_t i = 0; i < receives; ++i)
		CHILD_CHECK(side.post_receive(i) == KOVA_SUCCESS, "post %u", i);
	if (int const rc = exchange_and_connect(side, line, false))
		return rc;
	uint64_t next = 0;
	std::vector<uint8_t> scratch;
	std::size_t seen = 0;
	bool const done = side.progress_until(
		[&] {
			for (; seen < side.completions.size() && next < c.count; ++seen) {
				const completion &got = side.completions[seen];
				if (got.status != KOVA_SUCCESS || got.is_send || got.len != c.size ||
				    !matches_pattern(side.data(got.index), c.size, next, scratch)) {
					std::fprintf(stderr, "message %llu: status %u len %u\n",
						     static_cast<unsigned long long>(next), got.status, got.len);
					return true;
				}
				++next;
				side.post_receive(got.index);
			}
			if (side.completions.size() > 4096) {
				side.completions.erase(side.completions.begin(),
						       side.completions.begin() + static_cast<long>(seen));
				seen = 0;
			}
			return next == c.count;
		},
		120s);
	CHILD_CHECK(done && next == c.count, "received %llu of %u in order", static_cast<unsigned long long>(next),
		    c.count);
	line.send_byte('r');
	line.receive_byte(30000);
	return 0;
}

int run_sender(const control_line &line, const transfer_case &c)
{
	if (!c.direct)
		kova_test_override_capability("kova_rdma_direct_placement", KOVA_ERROR_NOT_SUPPORTED, 0);
	rdma_side side{32, c.size};
	if (int const rc = exchange_and_connect(side, line, false))
		return rc;
	uint32_t const first = side.num_receive_buffers();
	uint64_t sent = 0;
	uint64_t acknowledged = 0;
	for (uint32_t i = first; i < 32 && sent < c.count; ++i, ++sent) {
		fill_pattern(side.data(i), c.size, sent);
		CHILD_CHECK(side.send(i, c.size) == KOVA_SUCCESS, "send");
	}
	std::size_t seen = 0;
	bool const done = side.progress_until(
		[&] {
			for (; seen < side.completions.size(); ++seen) {
				const completion &got = side.completions[seen];
				if (got.status != KOVA_SUCCESS || !got.is_send)
					return true;
				++acknowledged;
				if (sent < c.count) {
					fill_pattern(side.data(got.index), c.size, sent++);
					side.send(got.index, c.size);
				}
			}
			if (side.completions.size() > 4096) {
				side.completions.clear();
				seen = 0;
			}
			return acknowledged == c.count;
		},
		120s);
	CHILD_CHECK(done && acknowledged == c.count, "%llu of %u sends completed",
		    static_cast<unsigned long long>(acknowledged), c.count);
	line.send_byte('s');
	line.receive_byte(30000);
	return 0;
}

// Where the two processes run.
enum class placement { loopback, namespaces };

class two_process_test : public ::testing::TestWithParam<placement> {
protected:
	void SetUp() override
	{
		if (GetParam() != placement::namespaces)
			return;
		std::string reason;
		if (!m_pair.create(reason)) {
			if (in_ci())
				FAIL() << "two network namespaces are needed: " << reason;
			GTEST_SKIP() << reason;
		}
	}

	child start(int side, const child_body &body)
	{
		if (GetParam() == placement::namespaces)
			return spawn(m_pair.netns[side], m_pair.iface[side], body);
		return spawn("", "", body);
	}

	// Hands each child the other's details.
	static void exchange(const control_line &a, const control_line &b)
	{
		auto const details_a = a.receive_bytes();
		auto const details_b = b.receive_bytes();
		a.send_bytes(details_b);
		b.send_bytes(details_a);
	}

	// Runs both bodies; hands each the other's details first.
	void run_pair(const child_body &a, const child_body &b, int limit_ms = 180000)
	{
		child first = start(0, a);
		child second = start(1, b);
		control_line const line_a{first.fd};
		control_line const line_b{second.fd};
		exchange(line_a, line_b);
		// Each side reports its end with one byte; both are let go together.
		line_a.receive_byte(limit_ms);
		line_b.receive_byte(limit_ms);
		line_a.send_byte('q');
		line_b.send_byte('q');
		EXPECT_EQ(wait_child(first, limit_ms), 0);
		EXPECT_EQ(wait_child(second, limit_ms), 0);
	}

	veth_pair m_pair;
};

// Either side may connect long after the other; messages then flow both ways.
TEST_P(two_process_test, connects_in_either_order_and_carries_both_ways)
{
	for (int late_side = 0; late_side < 2; ++late_side) {
		SCOPED_TRACE(late_side);
		auto body = [](bool late) {
			return [late](const control_line &line) {
				rdma_side side{4, 4096};
				CHILD_CHECK(side.post_receive(0) == KOVA_SUCCESS, "post while starting");
				CHILD_CHECK(side.state() == KOVA_CTX_STATE_STARTING, "starting before connect");
				if (int const rc = exchange_and_connect(side, line, late))
					return rc;
				std::memcpy(side.data(2), late ? "late\0" : "early", 6); // both 6 bytes with the terminator
				CHILD_CHECK(side.send(2, 6) == KOVA_SUCCESS, "send");
				CHILD_CHECK(side.progress_until([&] { return side.completions.size() == 2; }, 10s),
					    "%zu completions", side.completions.size());
				for (const auto &got : side.completions)
					CHILD_CHECK(got.status == KOVA_SUCCESS, "status %u", got.status);
				char const *expected = late ? "early" : "late";
				CHILD_CHECK(std::strcmp(reinterpret_cast<char *>(side.data(0)), expected) == 0,
					    "received %s", reinterpret_cast<char *>(side.data(0)));
				line.send_byte('d');
				line.receive_byte(30000);
				return 0;
			};
		};
		run_pair(body(late_side == 0), body(late_side == 1));
	}
}

// Every message arrives whole, in order, with its own bytes.
TEST_P(two_process_test, transfers_messages_in_order_with_their_bytes)
{
	static const transfer_case cases[] = {
		{"64 KiB placed directly", 65536, 10000, true},
		{"64 KiB on the socket", 65536, 2000, false},
		{"64-byte messages, batched", 64, 10000, true},
		{"odd size placed directly", 3 * 4096 + 5, 1000, true},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		run_pair([&c](const control_line &line) { return run_receiver(line, c); },
			 [&c](const control_line &line) { return run_sender(line, c); });
	}
}

// A message larger than the posted buffer fails the send and the receive; the next one passes.
TEST_P(two_process_test, oversized_message_fails_both_tasks)
{
	auto receiver = [](const control_line &line) {
		rdma_side side{4, 4096};
		CHILD_CHECK(side.post_receive(0) == KOVA_SUCCESS && side.post_receive(1) == KOVA_SUCCESS, "post");
		if (int const rc = exchange_and_connect(side, line, false))
			return rc;
		CHILD_CHECK(side.progress_until([&] { return side.completions.size() == 2; }, 10s), "completions");
		CHILD_CHECK(side.completions[0].index == 0 && side.completions[0].status == KOVA_ERROR_TOO_BIG,
			    "first receive: %u", side.completions[0].status);
		CHILD_CHECK(side.completions[1].index == 1 && side.completions[1].status == KOVA_SUCCESS &&
				    side.completions[1].len == 100,
			    "second receive: %u, %u bytes", side.completions[1].status, side.completions[1].len);
		line.send_byte('d');
		line.receive_byte(30000);
		return 0;
	};
	auto sender = [](const control_line &line) {
		rdma_side side{4, 65536};
		if (int const rc = exchange_and_connect(side, line, false))
			return rc;
		CHILD_CHECK(side.send(2, 8192) == KOVA_SUCCESS, "send");
		CHILD_CHECK(side.progress_until([&] { return side.completions.size() == 1; }, 10s), "first");
		CHILD_CHECK(side.completions[0].status == KOVA_ERROR_TOO_BIG, "oversized send: %u",
			    side.completions[0].status);
		CHILD_CHECK(side.send(3, 100) == KOVA_SUCCESS, "send");
		CHILD_CHECK(side.progress_until([&] { return side.completions.size() == 2; }, 10s), "second");
		CHILD_CHECK(side.completions[1].status == KOVA_SUCCESS, "small send: %u", side.completions[1].status);
		line.send_byte('d');
		line.receive_byte(30000);
		return 0;
	};
	run_pair(receiver, sender);
}

// When the peer is killed, every task in flight completes with an error.
TEST_P(two_process_test, killing_the_peer_fails_every_task_in_flight)
{
	child survivor = start(0, [](const control_line &line) {
		rdma_side side{16, 65536};
		for (uint32_t i = 0; i < 8; ++i)
			CHILD_CHECK(side.post_receive(i) == KOVA_SUCCESS, "post");
		if (int const rc = exchange_and_connect(side, line, false))
			return rc;
		for (uint32_t i = 8; i < 16; ++i)
			CHILD_CHECK(side.send(i, 65536) == KOVA_SUCCESS, "send");
		side.progress_until([] { return false; }, 100ms);
		CHILD_CHECK(side.completions.empty(), "nothing completes while the peer posts nothing");
		line.send_byte('r');
		CHILD_CHECK(side.progress_until([&] { return side.completions.size() == 16; }, 10s),
			    "%zu of 16 tasks completed", side.completions.size());
		for (const auto &got : side.completions)
			CHILD_CHECK(got.status != KOVA_SUCCESS, "a task succeeded");
		return 0;
	});
	child victim = start(1, [](const control_line &line) {
		rdma_side side{2, 4096};
		if (int const rc = exchange_and_connect(side, line, false))
			return rc;
		line.send_byte('r');
		side.progress_until([] { return false; }, 60s);
		return 0;
	});
	control_line const line_s{survivor.fd};
	control_line const line_v{victim.fd};
	exchange(line_s, line_v);
	ASSERT_EQ(line_v.receive_byte(20000), 'r');
	ASSERT_EQ(line_s.receive_byte(20000), 'r');
	::kill(victim.pid, SIGKILL);
	EXPECT_EQ(wait_child(victim, 10000), 128 + SIGKILL);
	EXPECT_EQ(wait_child(survivor, 20000), 0);
}

// Stopping with tasks in flight answers KOVA_ERROR_IN_PROGRESS, flushes them through the error callbacks and ends idle;
// a task in flight cannot be freed.
TEST_P(two_process_test, stop_with_tasks_in_flight_flushes_them)
{
	auto stopper = [](const control_line &line) {
		rdma_side side{16, 4096};
		for (uint32_t i = 0; i < 8; ++i)
			CHILD_CHECK(side.post_receive(i) == KOVA_SUCCESS, "post");
		if (int const rc = exchange_and_connect(side, line, false))
			return rc;
		for (uint32_t i = 8; i < 16; ++i)
			CHILD_CHECK(side.send(i, 4096) == KOVA_SUCCESS, "send");
		CHILD_CHECK(kova_task_free(side.receive_task(0)) == KOVA_ERROR_BAD_STATE, "freed a receive in flight");
		CHILD_CHECK(kova_task_free(side.send_task(0)) == KOVA_ERROR_BAD_STATE, "freed a send in flight");
		CHILD_CHECK(kova_ctx_stop(side.ctx()) == KOVA_ERROR_IN_PROGRESS, "stop answers 26");
		CHILD_CHECK(side.progress_until([&] { return side.state() == KOVA_CTX_STATE_IDLE; }, 5s), "idle");
		CHILD_CHECK(side.completions.size() == 16, "%zu flushed", side.completions.size());
		for (const auto &got : side.completions)
			CHILD_CHECK(got.status != KOVA_SUCCESS, "flushed with success");
		CHILD_CHECK(kova_task_free(side.receive_task(0)) == KOVA_SUCCESS, "free after the flush");
		CHILD_CHECK(kova_task_free(side.send_task(0)) == KOVA_SUCCESS, "free after the flush");
		line.send_byte('d');
		line.receive_byte(30000);
		return 0;
	};
	auto idle_peer = [](const control_line &line) {
		rdma_side side{2, 4096};
		if (int const rc = exchange_and_connect(side, line, false))
			return rc;
		// Waits for the test's word while progressing.
		while (line.receive_byte(0) == 0)
			side.progress_until([] { return false; }, 10ms);
		line.send_byte('d');
		return 0;
	};
	child a = start(0, stopper);
	child b = start(1, idle_peer);
	control_line const line_a{a.fd};
	control_line const line_b{b.fd};
	exchange(line_a, line_b);
	EXPECT_EQ(line_a.receive_byte(30000), 'd');
	line_a.send_byte('q');
	line_b.send_byte('q');
	EXPECT_EQ(wait_child(a, 30000), 0);
	EXPECT_EQ(wait_child(b, 30000), 0);
}

INSTANTIATE_TEST_SUITE_P(placements, two_process_test, ::testing::Values(placement::loopback, placement::namespaces),
			 [](const ::testing::TestParamInfo<placement> &info) {
				 return info.param == placement::loopback ? "loopback" : "namespaces";
			 });

// A wire taken down mid-run (one end of the veth pair set down) leaves both peers unanswered: each
// fails every task it holds with KOVA_ERROR_CONNECTION_RESET within seconds instead of keeping them.
TEST(rdma_wire, taken_down_fails_the_tasks_in_flight_on_both_sides_within_seconds)
{
	veth_pair pair;
	std::string reason;
	if (!pair.create(reason)) {
		if (in_ci())
			FAIL() << "two network namespaces are needed: " << reason;
		GTEST_SKIP() << reason;
	}
	auto const body = [](const control_line &line) {
		rdma_side side{8, 4096};
		for (uint32_t i = 0; i < 4; ++i)
			CHILD_CHECK(side.post_receive(i) == KOVA_SUCCESS, "post");
		if (int const rc = exchange_and_connect(side, line, false))
			return rc;
		line.send_byte('r');
		CHILD_CHECK(line.receive_byte(20000) == 'w', "the wire was not taken down");
		CHILD_CHECK(side.progress_until([&] { return side.completions.size() == 4; }, 12s),
			    "%zu of 4 receives completed 12 s after the wire went down", side.completions.size());
		for (const auto &got : side.completions)
			CHILD_CHECK(got.status == KOVA_ERROR_CONNECTION_RESET, "status %u", got.status);
		line.send_byte('d');
		line.receive_byte(30000);
		return 0;
	};
	child a = spawn(pair.netns[0], pair.iface[0], body);
	child b = spawn(pair.netns[1], pair.iface[1], body);
	control_line const line_a{a.fd};
	control_line const line_b{b.fd};
	auto const details_a = line_a.receive_bytes();
	auto const details_b = line_b.receive_bytes();
	line_a.send_bytes(details_b);
	line_b.send_bytes(details_a);
	ASSERT_EQ(line_a.receive_byte(20000), 'r');
	ASSERT_EQ(line_b.receive_byte(20000), 'r');
	ASSERT_TRUE(pair.set_link(0, false));
	line_a.send_byte('w');
	line_b.send_byte('w');
	EXPECT_EQ(line_a.receive_byte(20000), 'd');
	EXPECT_EQ(line_b.receive_byte(20000), 'd');
	line_a.send_byte('q');
	line_b.send_byte('q');
	EXPECT_EQ(wait_child(a, 10000), 0);
	EXPECT_EQ(wait_child(b, 10000), 0);
}

// Details that are not a peer's fail connect with KOVA_ERROR_INVALID_VALUE and leave the instance able to connect.
TEST(rdma_details, malformed_details_fail_connect_with_6)
{
	kova_test_reset();
	rdma_side a{4, 4096};
	rdma_side b{4, 4096};
	ASSERT_TRUE(a.error().empty()) << a.error();
	auto const mine = a.export_details();
	auto const theirs = b.export_details();
	ASSERT_FALSE(mine.empty());
	auto flipped = theirs;
	flipped[20] ^= 0x40;
	std::vector<uint8_t> random(theirs.size());
	for (std::size_t i = 0; i < random.size(); ++i)
		random[i] = static_cast<uint8_t>(i * 37 + 11);
	struct malformed {
		const char *name;
		std::vector<uint8_t> bytes;
	};
	std::vector<malformed> const cases = {
		{"empty", {}},
		{"cut short", std::vector<uint8_t>(theirs.begin(), theirs.end() - 1)},
		{"one byte longer", [&] { auto v = theirs; v.push_back(0); return v; }()},
		{"a flipped bit", flipped},
		{"foreign bytes", random},
		{"its own details", mine},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(a.connect(c.bytes), KOVA_ERROR_INVALID_VALUE);
		EXPECT_EQ(a.state(), KOVA_CTX_STATE_STARTING);
	}
	EXPECT_EQ(a.connect(theirs), KOVA_SUCCESS);
	EXPECT_EQ(b.connect(mine), KOVA_SUCCESS);
	EXPECT_TRUE(a.progress_until(
		[&] {
			b.progress();
			return a.state() == KOVA_CTX_STATE_RUNNING && b.state() == KOVA_CTX_STATE_RUNNING;
		},
		10s));
	EXPECT_EQ(a.connect(theirs), KOVA_ERROR_BAD_STATE);
}

} // namespace
} // namespace kova::rdma_test
