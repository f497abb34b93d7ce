// One side of a comch channel for the stand-in's tests: device 0, an engine, a client of a server
// name with its events recorded, and helpers for a consumer or a producer on its own engine.
#pragma once

#include <kova/buf.h>
#include <kova/comch.h>
#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/error.h>
#include <kova/mmap.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kova::comch_test {

// A server name no other test or run uses.
std::string unique_name(const char *what);

struct events {
	std::vector<uint32_t> announced;
	std::vector<uint32_t> expired;
	std::vector<std::pair<kova_ctx_states, kova_ctx_states>> client_states;
	std::vector<std::string> messages;
};

// Calls step until it returns true or the limit passes; false at the limit.
bool pump_until(const std::function<bool()> &step, int limit_ms);

class side {
public:
	explicit side(const std::string &server_name, uint32_t send_tasks = 4);
	~side();
	side(const side &) = delete;
	side &operator=(const side &) = delete;

	// kova_ctx_start of the client.
	kova_error start();
	// Progress of the client's engine until it runs; false at the limit.
	bool run(int limit_ms = 5000);
	bool progress() { return kova_pe_progress(m_pe) != 0; }
	[[nodiscard]] kova_ctx_states state() const;
	[[nodiscard]] kova_comch_connection *connection() const;
	[[nodiscard]] kova_comch_client *client() const { return m_client; }
	[[nodiscard]] kova_pe *pe() const { return m_pe; }
	[[nodiscard]] kova_dev *dev() const { return m_dev; }
	events recorded;

private:
	kova_dev *m_dev = nullptr;
	kova_pe *m_pe = nullptr;
	kova_comch_client *m_client = nullptr;
};

// Buffers of a fixed size in one memory map.
class buffers {
public:
	// filled: each buffer's data covers it whole (to send); else it is empty (to receive into).
	buffers(kova_dev *dev, uint32_t count, uint32_t size, bool filled);
	~buffers();
	buffers(const buffers &) = delete;
	buffers &operator=(const buffers &) = delete;
	kova_buf *at(uint32_t i) const { return m_bufs[i]; }
	uint8_t *bytes(uint32_t i) { return m_region.data() + std::size_t{i} * m_size; }
	[[nodiscard]] kova_mmap *mmap() const { return m_mmap; }

private:
	uint32_t m_size;
	std::vector<uint8_t> m_region;
	kova_mmap *m_mmap = nullptr;
	kova_buf_inventory *m_inventory = nullptr;
	std::vector<kova_buf *> m_bufs;
};

// Completions of one context's tasks, counted through the context's user data.
struct completions {
	uint64_t ok = 0;
	uint64_t failed = 0;
	std::vector<kova_error> statuses;  // of the failures
	std::vector<kova_task *> done;     // every completed task, in order
};
void on_success(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);
void on_error(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);

// A consumer of the side's connection on its own engine, started, with its completions counted.
struct consumer_side {
	consumer_side(side &owner, buffers &bufs, uint32_t num_tasks);
	~consumer_side();
	consumer_side(const consumer_side &) = delete;
	consumer_side &operator=(const consumer_side &) = delete;
	kova_ctx *ctx() { return kova_comch_consumer_as_ctx(consumer); }
	kova_ctx_states state();
	// Progress of both engines until the consumer runs; false at the limit.
	bool run();
	uint32_t id();
	// A post-receive task into buf, submitted; null when either step was refused.
	kova_comch_consumer_task_post_recv *post(kova_buf *buf);

	side &owner;
	kova_pe *pe = nullptr;
	kova_comch_consumer *consumer = nullptr;
	completions done;
	kova_error start_result = KOVA_SUCCESS;
};

// A producer of the side's connection on its own engine, started, with its completions counted.
struct producer_side {
	producer_side(side &owner, uint32_t num_tasks);
	~producer_side();
	producer_side(const producer_side &) = delete;
	producer_side &operator=(const producer_side &) = delete;
	kova_ctx *ctx() { return kova_comch_producer_as_ctx(producer); }
	// A send task of buf to the consumer id, not submitted; null when refused.
	kova_task *task(const kova_buf *buf, uint32_t consumer_id);

	kova_pe *pe = nullptr;
	kova_comch_producer *producer = nullptr;
	completions done;
	kova_error start_result = KOVA_SUCCESS;
	kova_ctx_states last = KOVA_CTX_STATE_IDLE;
};

// The content of message `seq` of `size` bytes.
void fill_message(uint8_t *bytes, uint32_t size, uint64_t seq);
// The sequence number of a message whose bytes all match it, or UINT64_MAX.
uint64_t check_message(const uint8_t *bytes, uint32_t size);

} // namespace kova::comch_test
