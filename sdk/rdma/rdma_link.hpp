// The transport of one queue pair: listener, handshake, credits and messages over one TCP
// connection, with bytes pulled straight from the peer's memory on one host (rdma_internal.hpp).
#pragma once

#include "rdma_details.hpp"
#include "rdma_internal.hpp"

#include <kova/error.h>

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kova::sdk::rdma {

class link {
public:
	explicit link(kova_rdma *owner) noexcept;
	~link();
	link(const link &) = delete;
	link &operator=(const link &) = delete;

	// Opens a new listener on the device's address with a new token. 20 when no socket.
	kova_error export_details(const kova_devinfo *devinfo);
	[[nodiscard]] const details_bytes &local_bytes() const noexcept { return m_local_bytes; }
	[[nodiscard]] bool exported() const noexcept { return m_listener >= 0 || m_fd >= 0; }

	// Starts the handshake with the peer; KOVA_ERROR_BAD_STATE when already connecting or not
	// exported, KOVA_ERROR_INVALID_VALUE for the peer's own details, KOVA_ERROR_NO_MEMORY or
	// KOVA_ERROR_OPERATING_SYSTEM when resources run out.
	kova_error connect(const details &remote);

	// Forgets the connection: sockets closed, held tasks out of flight without a callback.
	void close() noexcept;

	// Data path.
	kova_error take_receive(kova_rdma_task_receive *task) noexcept;
	kova_error take_send(kova_rdma_task_send *task) noexcept;
	uint8_t poll();

private:
	enum class state : uint8_t { idle, handshake, established, broken, on_gpu };

	struct record {
		uint32_t type;
		uint32_t a;
		uint64_t b;
	};

	struct task_queue {
		kova_task *head = nullptr;
		kova_task *tail = nullptr;
		void push(kova_task *task) noexcept;
		kova_task *pop() noexcept;
		[[nodiscard]] bool empty() const noexcept { return head == nullptr; }
	};

	static constexpr std::size_t buffer_capacity = 1 << 20;
	static constexpr std::size_t max_pulls = 1024;

	uint8_t handshake();
	void restart_accept() noexcept;
	void put_hello() noexcept;
	bool read_hello() noexcept;
	uint8_t read_input();
	void parse();
	// The receive that the next len bytes of input fill; copies input into it; completes it once whole.
	void start_fill(kova_task *task, uint32_t len);
	void fill();
	void finish_fill();
	// A peer whose data path is on a GPU: its next length-framed message starts filling a posted
	// receive (false while it cannot), and the sends go to it framed alike.
	bool take_frame();
	uint8_t pump_framed_sends();
	// While the kernels own the stream: whether they found it broken.
	uint8_t watch_gpu_stream();
	void add_pull(kova_task *task, uint32_t len, uint64_t addr);
	void run_pulls();
	uint8_t pump_sends();
	bool stream_inline() noexcept;
	uint8_t write_control() noexcept;
	uint8_t flush_output() noexcept;
	bool put_record(uint32_t type, uint32_t a, uint64_t b) noexcept;
	[[nodiscard]] std::size_t out_room() noexcept;
	// Breaks the connection; os_error, when not 0, is the socket's error, named in the log.
	void fail(kova_error status, int os_error = 0) noexcept;
	uint8_t complete_all(kova_error status);
	[[nodiscard]] bool live() const noexcept { return m_state == state::established; }

	kova_rdma *m_owner;
	state m_state = state::idle;
	int m_listener = -1;
	int m_fd = -1;
	bool m_connector = false;
	bool m_hello_checked = false;
	bool m_peer_pulls = false;    // the peer reads announced buffers from this process
	bool m_peer_on_gpu = false;   // the peer's kernels frame the messages
	bool m_i_pull = false;        // this process reads the peer's announced buffers
	details m_local{};
	details_bytes m_local_bytes{};
	details m_remote{};
	uint64_t m_probe = 0;         // holds the local token for the peer's read check

	std::unique_ptr<uint8_t[]> m_in;
	std::size_t m_in_start = 0;
	std::size_t m_in_end = 0;
	std::unique_ptr<uint8_t[]> m_out;
	std::size_t m_out_start = 0;
	std::size_t m_out_end = 0;

	// Receives: posted (credited up to m_uncredited), the one an inline message fills.
	task_queue m_receives;
	kova_task *m_uncredited = nullptr;
	kova_task *m_filling = nullptr;
	kova_buf *m_fill_elem = nullptr;
	uint32_t m_fill_len = 0;
	uint32_t m_fill_remaining = 0;
	uint64_t m_pending_done = 0;

	// Sends: waiting for a credit, announced and waiting for the peer's done, the one streaming.
	task_queue m_sends;
	task_queue m_announced;
	kova_task *m_streaming = nullptr;
	const kova_buf *m_stream_elem = nullptr;
	std::size_t m_stream_elem_off = 0;
	uint64_t m_stream_remaining = 0;

	// The peer's credits (rooms of its posted receives), a ring.
	std::vector<uint32_t> m_credits;
	std::size_t m_credit_head = 0;
	std::size_t m_credit_count = 0;

	// One process_vm_readv for every announced message of one progress call.
	iovec m_pull_local[max_pulls];
	iovec m_pull_remote[max_pulls];
	kova_task *m_pull_tasks[max_pulls];
	uint32_t m_pull_lens[max_pulls];
	std::size_t m_num_pull_local = 0;
	std::size_t m_num_pulls = 0;
	uint64_t m_pull_total = 0;
};

} // namespace kova::sdk::rdma
