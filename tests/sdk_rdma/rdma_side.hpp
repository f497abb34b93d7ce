// One end of an RDMA connection for the stand-in's tests: device, engine, memory cut into
// buffers, an RDMA instance with send and receive tasks, and the completions it saw.
#pragma once

#include <kova/buf.h>
#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/error.h>
#include <kova/mmap.h>
#include <kova/pe.h>
#include <kova/rdma.h>
#include <kova/task.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace kova::rdma_test {

struct completion {
	bool is_send;
	uint32_t index;   // of the buffer
	kova_error status;
	uint32_t len;     // received bytes
};

class rdma_side {
public:
	// num_buffers of buffer_size bytes; the first half for receives, the rest for sends.
	rdma_side(uint32_t num_buffers, std::size_t buffer_size);
	~rdma_side();
	rdma_side(const rdma_side &) = delete;
	rdma_side &operator=(const rdma_side &) = delete;

	// First error of set-up, empty when it went well.
	[[nodiscard]] const std::string &error() const { return m_error; }

	std::vector<uint8_t> export_details();
	kova_error connect(const std::vector<uint8_t> &details);
	// Progresses until the context runs; false at the limit.
	bool wait_running(std::chrono::milliseconds limit);

	kova_error post_receive(uint32_t index);
	// Sends len bytes of buffer index (its contents as they stand).
	kova_error send(uint32_t index, std::size_t len);

	uint8_t *data(uint32_t index) { return m_memory.data() + index * m_buffer_size; }
	kova_task *receive_task(uint32_t index) { return kova_rdma_task_receive_as_task(m_receives[index]); }
	kova_task *send_task(uint32_t index) { return kova_rdma_task_send_as_task(m_sends[index]); }
	[[nodiscard]] uint32_t num_receive_buffers() const { return m_num_buffers / 2; }

	// Progresses until `until` holds or the limit passes; false at the limit.
	bool progress_until(const std::function<bool()> &until, std::chrono::milliseconds limit);
	void progress() { kova_pe_progress(m_pe); }

	kova_ctx *ctx() { return kova_rdma_as_ctx(m_rdma); }
	kova_ctx_states state();
	std::vector<completion> completions;

private:
	static void on_done(kova_task *task, kova_data user_data, kova_data ctx_user_data);
	void fail(const std::string &what, kova_error err);

	uint32_t m_num_buffers;
	std::size_t m_buffer_size;
	std::string m_error;
	kova_devinfo **m_devinfos = nullptr;
	kova_dev *m_dev = nullptr;
	kova_pe *m_pe = nullptr;
	std::vector<uint8_t> m_memory;
	kova_mmap *m_mmap = nullptr;
	kova_buf_inventory *m_inventory = nullptr;
	std::vector<kova_buf *> m_bufs;
	kova_rdma *m_rdma = nullptr;
	kova_rdma_connection *m_connection = nullptr;
	std::vector<kova_rdma_task_receive *> m_receives;
	std::vector<kova_rdma_task_send *> m_sends;
};

} // namespace kova::rdma_test
