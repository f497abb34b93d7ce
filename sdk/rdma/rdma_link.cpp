// The queue pair's transport. Control path: listener and connection set-up. Data path (poll and
// the take_* calls, inside kova_pe_progress): no lock, no allocation; at most one recv(), one
// send() and one process_vm_readv() per progress call.
#include "rdma_link.hpp"

#include <kova_internal/buf_data.hpp>
#include <kova_internal/capability.hpp>
#include <kova_internal/sdk_log.hpp>

#include <kova/ctx.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace kova::sdk::rdma {
namespace {

enum record_type : uint32_t {
	hello = 1,        // a: hello_* bits of the sender; b: sender token
	hello_target = 2, // b: the token the sender connects to
	credit = 3,       // a: room of a posted receive
	place = 4,        // a: length; b: address of the bytes in the sender's memory
	inline_data = 5,  // a: length; the bytes follow
	drop = 6,         // a: length of a message too large for the credit
	done = 7,         // a: number of messages taken, oldest first
};

constexpr std::size_t record_size = 16;
// Bits of a hello's a.
constexpr uint32_t hello_pulls = 1; // the sender reads the receiver's announced buffers
constexpr uint32_t hello_gpu = 2;   // the sender's data path is on a GPU: its kernels frame the messages
// A message to or from GPU kernels: this length (native byte order), then the bytes.
constexpr std::size_t frame_header_size = sizeof(uint32_t);
constexpr const char *direct_placement_query = "kova_rdma_direct_placement";

void close_fd(int &fd) noexcept
{
	if (fd >= 0)
		::close(fd);
	fd = -1;
}

// A peer that stops answering (a wire down, a host gone) fails the connection after this long
// instead of leaving its tasks in flight: unacknowledged data is given up after it, and an idle
// connection is probed every second once idle for a second.
constexpr unsigned dead_peer_ms = 4000;

// Options of the queue pair's socket, set once when it is made: no Nagle delay, and the bound on an
// unanswered peer.
void set_stream_options(int fd) noexcept
{
	int const one = 1;
	int const idle_s = 1;
	int const interval_s = 1;
	int const probes = static_cast<int>(dead_peer_ms / 1000);
	unsigned const user_timeout = dead_peer_ms;
	::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
	::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one));
	::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof(idle_s));
	::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof(interval_s));
	::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
	::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof(user_timeout));
}

bool would_block(int error) noexcept
{
	return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == EINPROGRESS;
}

// Whether the peer's memory can be read from here: one word with the peer's token.
bool can_read_peer(const details &local, const details &remote) noexcept
{
	if (!same_host(local, remote) || capability_answer(direct_placement_query, KOVA_SUCCESS) != KOVA_SUCCESS)
		return false;
	uint64_t word = 0;
	iovec mine{&word, sizeof(word)};
	iovec theirs{reinterpret_cast<void *>(remote.probe_addr), sizeof(word)};
	return ::process_vm_readv(static_cast<pid_t>(remote.pid), &mine, 1, &theirs, 1, 0) ==
		       static_cast<ssize_t>(sizeof(word)) &&
	       word == remote.token;
}

std::size_t next_power_of_two(std::size_t n) noexcept
{
	std::size_t value = 1;
	while (value < n)
		value <<= 1;
	return value;
}

// Adds len bytes to a destination list by the output rule (the bytes are already there).
void add_data_len(kova_buf *list, uint64_t len) noexcept
{
	for (; list != nullptr && len != 0; list = list->next) {
		std::size_t const n = std::min<uint64_t>(buf_room(list), len);
		list->data_len += n;
		len -= n;
	}
}

} // namespace

void link::task_queue::push(kova_task *task) noexcept
{
	task->next = nullptr;
	if (tail != nullptr)
		tail->next = task;
	else
		head = task;
	tail = task;
}

kova_task *link::task_queue::pop() noexcept
{
	kova_task *task = head;
	if (task != nullptr) {
		head = task->next;
		if (head == nullptr)
			tail = nullptr;
		task->next = nullptr;
	}
	return task;
}

link::link(kova_rdma *owner) noexcept : m_owner{owner} {}

link::~link()
{
	close();
}

kova_error link::export_details(const kova_devinfo *devinfo)
{
	if (m_state != state::idle)
		return KOVA_ERROR_BAD_STATE;
	close_fd(m_listener);
	int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return KOVA_ERROR_OPERATING_SYSTEM;
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = listen_address(devinfo);
	socklen_t length = sizeof(address);
	if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 || ::listen(fd, 4) != 0 ||
	    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
		log(KOVA_LOG_LEVEL_ERROR, "kova_rdma: cannot listen on %s: %s", inet_ntoa(address.sin_addr),
		    std::strerror(errno));
		::close(fd);
		return KOVA_ERROR_OPERATING_SYSTEM;
	}
	m_listener = fd;
	m_local = details{};
	m_local.token = make_token();
	m_local.ipv4 = address.sin_addr.s_addr;
	m_local.port = address.sin_port;
	m_local.recv_pool = m_owner->receive.num_tasks;
	m_probe = m_local.token;
	m_local.probe_addr = reinterpret_cast<uintptr_t>(&m_probe);
	fill_process_identity(m_local);
	m_local_bytes = encode_details(m_local);
	return KOVA_SUCCESS;
}

kova_error link::connect(const details &remote)
{
	if (m_state != state::idle || m_listener < 0)
		return KOVA_ERROR_BAD_STATE;
	if (remote.token == m_local.token)
		return KOVA_ERROR_INVALID_VALUE;
	auto *in = new (std::nothrow) uint8_t[buffer_capacity];
	auto *out = new (std::nothrow) uint8_t[buffer_capacity];
	if (in == nullptr || out == nullptr) {
		delete[] in;
		delete[] out;
		return KOVA_ERROR_NO_MEMORY;
	}
	m_in.reset(in);
	m_out.reset(out);
	try {
		m_credits.assign(next_power_of_two(std::max<uint32_t>(remote.recv_pool, 1)), 0);
	} catch (...) {
		return KOVA_ERROR_NO_MEMORY;
	}
	m_in_start = m_in_end = m_out_start = m_out_end = 0;
	m_credit_head = m_credit_count = 0;
	m_remote = remote;
	m_hello_checked = false;
	m_peer_on_gpu = false;
	m_i_pull = can_read_peer(m_local, remote);
	m_connector = m_local.token < remote.token;
	if (m_connector) {
		int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
		if (fd < 0)
			return KOVA_ERROR_OPERATING_SYSTEM;
		sockaddr_in address{};
		address.sin_family = AF_INET;
		address.sin_addr.s_addr = remote.ipv4;
		address.sin_port = remote.port;
		if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 && errno != EINPROGRESS) {
			log(KOVA_LOG_LEVEL_ERROR, "kova_rdma: cannot connect to %s:%u: %s", inet_ntoa(address.sin_addr),
			    ntohs(address.sin_port), std::strerror(errno));
			::close(fd);
			return KOVA_ERROR_NOT_CONNECTED;
		}
		m_fd = fd;
		close_fd(m_listener);
	}
	if (m_fd >= 0)
		set_stream_options(m_fd);
	put_hello();
	m_state = state::handshake;
	return KOVA_SUCCESS;
}

void link::close() noexcept
{
	m_owner->gpu_handle.fd.store(-1, std::memory_order_release);
	close_fd(m_listener);
	close_fd(m_fd);
	// Tasks still held (an engine destroyed under them) leave flight without a callback.
	auto release = [](kova_task *task) {
		task->in_flight = 0;
		task->status = KOVA_ERROR_BAD_STATE;
	};
	for (task_queue *queue : {&m_receives, &m_sends, &m_announced}) {
		while (kova_task *task = queue->pop())
			release(task);
	}
	for (std::size_t i = 0; i < m_num_pulls; ++i)
		release(m_pull_tasks[i]);
	if (m_filling != nullptr)
		release(m_filling);
	// A framed send is held only while it streams.
	if (m_peer_on_gpu && m_streaming != nullptr)
		release(m_streaming);
	m_num_pulls = m_num_pull_local = 0;
	m_pull_total = 0;
	m_filling = nullptr;
	m_uncredited = nullptr;
	m_streaming = nullptr;
	m_pending_done = 0;
	m_state = state::idle;
}

kova_error link::take_receive(kova_rdma_task_receive *task) noexcept
{
	if (m_owner->ctx.state == KOVA_CTX_STATE_STOPPING)
		return KOVA_ERROR_SHUTDOWN;
	if (m_state == state::broken)
		return KOVA_ERROR_CONNECTION_RESET;
	task->result_len = 0;
	m_receives.push(&task->task);
	if (m_uncredited == nullptr)
		m_uncredited = &task->task;
	return KOVA_ERROR_IN_PROGRESS;
}

kova_error link::take_send(kova_rdma_task_send *task) noexcept
{
	if (m_owner->ctx.state == KOVA_CTX_STATE_STOPPING)
		return KOVA_ERROR_SHUTDOWN;
	if (m_state == state::broken)
		return KOVA_ERROR_CONNECTION_RESET;
	m_sends.push(&task->task);
	return KOVA_ERROR_IN_PROGRESS;
}

uint8_t link::poll()
{
	kova_ctx &ctx = m_owner->ctx;
	if (ctx.state == KOVA_CTX_STATE_STOPPING)
		return complete_all(KOVA_ERROR_SHUTDOWN);
	if (m_state == state::broken)
		return complete_all(KOVA_ERROR_CONNECTION_RESET);
	if (m_state == state::handshake)
		return handshake();
	if (m_state == state::on_gpu)
		return watch_gpu_stream();
	if (m_state != state::established)
		return 0;
	uint8_t did = read_input();
	if (live())
		did |= m_peer_on_gpu ? pump_framed_sends() : pump_sends();
	if (live())
		did |= write_control();
	if (live())
		did |= flush_output();
	return did;
}

uint8_t link::handshake()
{
	if (m_fd < 0) {
		if (m_listener < 0)
			return 0;
		int const fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
		if (fd < 0) {
			if (!would_block(errno) && errno != ECONNABORTED)
				fail(KOVA_ERROR_CONNECTION_ABORTED);
			return 0;
		}
		set_stream_options(fd);
		m_fd = fd;
	}
	flush_output();
	if (m_state != state::handshake)
		return 1;
	if (m_in_end < 2 * record_size) {
		// A GPU side reads the hello only: what follows it belongs to the kernels.
		std::size_t const want =
			m_owner->ctx.gpu_datapath != nullptr ? 2 * record_size - m_in_end : buffer_capacity - m_in_end;
		ssize_t const n = ::recv(m_fd, m_in.get() + m_in_end, want, MSG_DONTWAIT);
		if (n == 0 || (n < 0 && !would_block(errno))) {
			if (m_connector)
				fail(KOVA_ERROR_CONNECTION_RESET, n == 0 ? 0 : errno);
			else
				restart_accept();
			return 1;
		}
		if (n > 0)
			m_in_end += static_cast<std::size_t>(n);
	}
	if (m_in_end < 2 * record_size)
		return 0;
	if (!read_hello()) {
		if (m_connector) {
			log(KOVA_LOG_LEVEL_ERROR, "kova_rdma: the peer answered with foreign details");
			fail(KOVA_ERROR_CONNECTION_ABORTED);
		} else {
			log(KOVA_LOG_LEVEL_WARNING, "kova_rdma: refused a connection with foreign details");
			restart_accept();
		}
		return 1;
	}
	close_fd(m_listener);
	if (m_owner->ctx.gpu_datapath != nullptr) {
		// The kernels take the stream over; the peer's kernels send nothing before this side runs.
		if (m_in_end != m_in_start || m_out_end != m_out_start)
			log(KOVA_LOG_LEVEL_ERROR, "kova_rdma: the hello exchange of a GPU queue pair left %zu bytes unread "
			    "and %zu unsent", m_in_end - m_in_start, m_out_end - m_out_start);
		m_state = state::on_gpu;
		m_owner->gpu_handle.lost.store(0, std::memory_order_relaxed);
		m_owner->gpu_handle.fd.store(m_fd, std::memory_order_release);
		if (m_owner->ctx.state == KOVA_CTX_STATE_STARTING)
			m_owner->ctx.state = KOVA_CTX_STATE_RUNNING;
		return 1;
	}
	m_state = state::established;
	if (m_owner->ctx.state == KOVA_CTX_STATE_STARTING)
		m_owner->ctx.state = KOVA_CTX_STATE_RUNNING;
	// Records that followed the hello, and what was posted while starting.
	parse();
	if (live())
		write_control();
	if (live())
		flush_output();
	return 1;
}

void link::restart_accept() noexcept
{
	close_fd(m_fd);
	m_in_start = m_in_end = 0;
	m_out_start = m_out_end = 0;
	put_hello();
}

void link::put_hello() noexcept
{
	uint32_t const bits = (m_i_pull ? hello_pulls : 0) | (m_owner->ctx.gpu_datapath != nullptr ? hello_gpu : 0);
	put_record(hello, bits, m_local.token);
	put_record(hello_target, 0, m_remote.token);
}

bool link::read_hello() noexcept
{
	record first{};
	record second{};
	std::memcpy(&first, m_in.get() + m_in_start, record_size);
	std::memcpy(&second, m_in.get() + m_in_start + record_size, record_size);
	if (first.type != hello || first.b != m_remote.token || second.type != hello_target ||
	    second.b != m_local.token)
		return false;
	m_in_start += 2 * record_size;
	m_peer_pulls = (first.a & hello_pulls) != 0;
	m_peer_on_gpu = (first.a & hello_gpu) != 0;
	return true;
}

uint8_t link::read_input()
{
	if (m_in_start == m_in_end) {
		m_in_start = m_in_end = 0;
	} else if (buffer_capacity - m_in_end < buffer_capacity / 4) {
		std::memmove(m_in.get(), m_in.get() + m_in_start, m_in_end - m_in_start);
		m_in_end -= m_in_start;
		m_in_start = 0;
	}
	// Full of frames that wait for a posted receive.
	if (m_in_end == buffer_capacity)
		return 0;
	ssize_t const n = ::recv(m_fd, m_in.get() + m_in_end, buffer_capacity - m_in_end, MSG_DONTWAIT);
	if (n == 0 || (n < 0 && !would_block(errno))) {
		fail(KOVA_ERROR_CONNECTION_RESET, n == 0 ? 0 : errno);
		return 1;
	}
	if (n < 0)
		return 0;
	m_in_end += static_cast<std::size_t>(n);
	parse();
	return 1;
}

void link::parse()
{
	while (live()) {
		std::size_t const available = m_in_end - m_in_start;
		if (m_filling != nullptr) {
			if (available == 0)
				break;
			fill();
			continue;
		}
		if (m_peer_on_gpu) {
			if (!take_frame())
				break;
			continue;
		}
		if (available < record_size)
			break;
		record rec{};
		std::memcpy(&rec, m_in.get() + m_in_start, record_size);
		m_in_start += record_size;
		switch (rec.type) {
		case credit:
			if (m_credit_count == m_credits.size()) {
				fail(KOVA_ERROR_UNEXPECTED);
				return;
			}
			m_credits[(m_credit_head + m_credit_count) & (m_credits.size() - 1)] = rec.a;
			++m_credit_count;
			break;
		case place: {
			kova_task *task = m_receives.pop();
			if (task == nullptr || rec.a > list_room(task->dst)) {
				fail(KOVA_ERROR_UNEXPECTED);
				return;
			}
			add_pull(task, rec.a, rec.b);
			break;
		}
		case inline_data: {
			run_pulls();
			kova_task *task = m_receives.pop();
			if (task == nullptr || rec.a > list_room(task->dst)) {
				fail(KOVA_ERROR_UNEXPECTED);
				return;
			}
			start_fill(task, rec.a);
			break;
		}
		case drop: {
			run_pulls();
			kova_task *task = m_receives.pop();
			if (task == nullptr) {
				fail(KOVA_ERROR_UNEXPECTED);
				return;
			}
			task_complete(task, KOVA_ERROR_TOO_BIG);
			break;
		}
		case done:
			run_pulls();
			for (uint32_t i = 0; i < rec.a && live(); ++i) {
				kova_task *task = m_announced.pop();
				if (task == nullptr) {
					fail(KOVA_ERROR_UNEXPECTED);
					return;
				}
				task_complete(task, KOVA_SUCCESS);
			}
			break;
		default:
			fail(KOVA_ERROR_UNEXPECTED);
			return;
		}
	}
	if (live())
		run_pulls();
}

void link::fill()
{
	std::size_t n = std::min<std::size_t>(m_in_end - m_in_start, m_fill_remaining);
	std::size_t const taken = n;
	uint8_t const *from = m_in.get() + m_in_start;
	while (n != 0 && m_fill_elem != nullptr) {
		std::size_t const room = buf_room(m_fill_elem);
		std::size_t const part = std::min(room, n);
		std::memcpy(m_fill_elem->data + m_fill_elem->data_len, from, part);
		m_fill_elem->data_len += part;
		from += part;
		n -= part;
		if (n != 0)
			m_fill_elem = m_fill_elem->next;
	}
	m_in_start += taken;
	m_fill_remaining -= static_cast<uint32_t>(taken);
	if (m_fill_remaining == 0)
		finish_fill();
}

void link::finish_fill()
{
	kova_task *task = m_filling;
	m_filling = nullptr;
	task_cast<kova_rdma_task_receive>(task)->result_len = m_fill_len;
	// Records tell the peer what was taken; GPU kernels want no such record.
	if (!m_peer_on_gpu)
		++m_pending_done;
	task_complete(task, KOVA_SUCCESS);
}

bool link::take_frame()
{
	// A frame waits in the input until a receive is posted for it.
	if (m_in_end - m_in_start < frame_header_size || m_receives.empty())
		return false;
	uint32_t len = 0;
	std::memcpy(&len, m_in.get() + m_in_start, frame_header_size);
	m_in_start += frame_header_size;
	kova_task *task = m_receives.pop();
	if (len > list_room(task->dst)) {
		// The kernels cannot be told to drop it: the stream is given up.
		task_complete(task, KOVA_ERROR_TOO_BIG);
		fail(KOVA_ERROR_TOO_BIG);
		return false;
	}
	start_fill(task, len);
	return true;
}

void link::start_fill(kova_task *task, uint32_t len)
{
	m_filling = task;
	m_fill_elem = task->dst;
	m_fill_len = len;
	m_fill_remaining = len;
	if (len == 0)
		finish_fill();
}

uint8_t link::pump_framed_sends()
{
	uint8_t did = 0;
	// A send completes once its bytes are in the output; GPU kernels take messages in order, without credits.
	if (m_streaming != nullptr) {
		kova_task *task = m_streaming;
		if (!stream_inline())
			return 1;
		task_complete(task, KOVA_SUCCESS);
		did = 1;
	}
	while (live() && !m_sends.empty() && out_room() >= frame_header_size) {
		kova_task *task = m_sends.pop();
		uint64_t const len = list_data_len(task->src);
		auto const header = static_cast<uint32_t>(len);
		std::memcpy(m_out.get() + m_out_end, &header, frame_header_size);
		m_out_end += frame_header_size;
		m_streaming = task;
		m_stream_elem = task->src;
		m_stream_elem_off = 0;
		m_stream_remaining = len;
		did = 1;
		if (!stream_inline())
			break;
		task_complete(task, KOVA_SUCCESS);
	}
	return did;
}

uint8_t link::watch_gpu_stream()
{
	int const lost = m_owner->gpu_handle.lost.load(std::memory_order_acquire);
	if (lost == 0)
		return 0;
	if (lost == EMSGSIZE)
		log(KOVA_LOG_LEVEL_ERROR, "kova_rdma: a GPU kernel received a message larger than its buffer");
	fail(KOVA_ERROR_CONNECTION_RESET, lost > 0 && lost != EMSGSIZE ? lost : 0);
	// Nothing is in flight on the CPU: the context itself reports the loss.
	ctx_set_state(&m_owner->ctx, KOVA_CTX_STATE_STOPPING);
	return 1;
}

void link::add_pull(kova_task *task, uint32_t len, uint64_t addr)
{
	std::size_t pieces = 0;
	for (const kova_buf *e = task->dst; e != nullptr; e = e->next)
		++pieces;
	if (m_num_pulls == max_pulls || m_num_pull_local + pieces > max_pulls)
		run_pulls();
	if (!live()) {
		task_complete(task, KOVA_ERROR_CONNECTION_RESET);
		return;
	}
	uint64_t left = len;
	for (kova_buf *e = task->dst; e != nullptr && left != 0; e = e->next) {
		std::size_t const n = std::min<uint64_t>(buf_room(e), left);
		if (n == 0)
			continue;
		m_pull_local[m_num_pull_local++] = iovec{e->data + e->data_len, n};
		left -= n;
	}
	m_pull_remote[m_num_pulls] = iovec{reinterpret_cast<void *>(addr), len};
	m_pull_tasks[m_num_pulls] = task;
	m_pull_lens[m_num_pulls] = len;
	++m_num_pulls;
	m_pull_total += len;
}

void link::run_pulls()
{
	if (m_num_pulls == 0)
		return;
	std::size_t const count = m_num_pulls;
	ssize_t const n = m_pull_total == 0 ? 0
					    : ::process_vm_readv(static_cast<pid_t>(m_remote.pid), m_pull_local,
								 m_num_pull_local, m_pull_remote, count, 0);
	bool const whole = n >= 0 && static_cast<uint64_t>(n) == m_pull_total;
	int const error = errno;
	m_num_pulls = m_num_pull_local = 0;
	m_pull_total = 0;
	if (!whole) {
		kova_error const status = error == ESRCH ? KOVA_ERROR_CONNECTION_RESET : KOVA_ERROR_IO_FAILED;
		for (std::size_t i = 0; i < count; ++i)
			task_complete(m_pull_tasks[i], status);
		fail(status);
		return;
	}
	for (std::size_t i = 0; i < count; ++i) {
		kova_task *task = m_pull_tasks[i];
		add_data_len(task->dst, m_pull_lens[i]);
		task_cast<kova_rdma_task_receive>(task)->result_len = m_pull_lens[i];
		++m_pending_done;
		task_complete(task, KOVA_SUCCESS);
	}
}

uint8_t link::pump_sends()
{
	uint8_t did = 0;
	if (m_streaming != nullptr && !stream_inline())
		return 1;
	while (live() && !m_sends.empty() && m_credit_count != 0) {
		if (out_room() < record_size)
			break;
		kova_task *task = m_sends.head;
		uint64_t const len = list_data_len(task->src);
		uint32_t const room = m_credits[m_credit_head];
		m_credit_head = (m_credit_head + 1) & (m_credits.size() - 1);
		--m_credit_count;
		m_sends.pop();
		did = 1;
		if (len > room) {
			put_record(drop, static_cast<uint32_t>(std::min<uint64_t>(len, UINT32_MAX)), 0);
			task_complete(task, KOVA_ERROR_TOO_BIG);
			continue;
		}
		m_announced.push(task);
		if (m_peer_pulls && len > inline_limit && task->src->next == nullptr) {
			put_record(place, static_cast<uint32_t>(len), reinterpret_cast<uintptr_t>(task->src->data));
			continue;
		}
		put_record(inline_data, static_cast<uint32_t>(len), 0);
		m_streaming = task;
		m_stream_elem = task->src;
		m_stream_elem_off = 0;
		m_stream_remaining = len;
		if (!stream_inline())
			break;
	}
	return did;
}

bool link::stream_inline() noexcept
{
	while (m_stream_remaining != 0) {
		std::size_t const room = out_room();
		if (room == 0)
			return false;
		while (m_stream_elem != nullptr && m_stream_elem_off == m_stream_elem->data_len) {
			m_stream_elem = m_stream_elem->next;
			m_stream_elem_off = 0;
		}
		if (m_stream_elem == nullptr)
			break;
		std::size_t const n = std::min(room, m_stream_elem->data_len - m_stream_elem_off);
		std::memcpy(m_out.get() + m_out_end, m_stream_elem->data + m_stream_elem_off, n);
		m_out_end += n;
		m_stream_elem_off += n;
		m_stream_remaining -= n;
	}
	m_streaming = nullptr;
	return true;
}

uint8_t link::write_control() noexcept
{
	// GPU kernels take no credits and no done records.
	if (m_peer_on_gpu)
		return 0;
	uint8_t did = 0;
	if (m_pending_done != 0 && out_room() >= record_size) {
		uint32_t const count = static_cast<uint32_t>(std::min<uint64_t>(m_pending_done, UINT32_MAX));
		put_record(done, count, 0);
		m_pending_done -= count;
		did = 1;
	}
	while (m_uncredited != nullptr && out_room() >= record_size) {
		uint64_t const room = list_room(m_uncredited->dst);
		put_record(credit, static_cast<uint32_t>(std::min<uint64_t>(room, UINT32_MAX)), 0);
		m_uncredited = m_uncredited->next;
		did = 1;
	}
	return did;
}

uint8_t link::flush_output() noexcept
{
	if (m_out_start == m_out_end || m_fd < 0)
		return 0;
	ssize_t const n =
		::send(m_fd, m_out.get() + m_out_start, m_out_end - m_out_start, MSG_DONTWAIT | MSG_NOSIGNAL);
	if (n < 0) {
		if (!would_block(errno) && errno != ENOTCONN)
			fail(KOVA_ERROR_CONNECTION_RESET, errno);
		return 0;
	}
	m_out_start += static_cast<std::size_t>(n);
	if (m_out_start == m_out_end)
		m_out_start = m_out_end = 0;
	return 1;
}

std::size_t link::out_room() noexcept
{
	if (buffer_capacity - m_out_end < buffer_capacity / 4 && m_out_start != 0) {
		std::memmove(m_out.get(), m_out.get() + m_out_start, m_out_end - m_out_start);
		m_out_end -= m_out_start;
		m_out_start = 0;
	}
	return buffer_capacity - m_out_end;
}

bool link::put_record(uint32_t type, uint32_t a, uint64_t b) noexcept
{
	if (out_room() < record_size)
		return false;
	record const rec{type, a, b};
	std::memcpy(m_out.get() + m_out_end, &rec, record_size);
	m_out_end += record_size;
	return true;
}

void link::fail(kova_error status, int os_error) noexcept
{
	if (m_state == state::established || m_state == state::handshake || m_state == state::on_gpu) {
		// The kernel gave up on an unanswered peer; it names the last routing error it met, if any.
		if (os_error == ETIMEDOUT || os_error == EHOSTUNREACH || os_error == ENETUNREACH ||
		    os_error == EHOSTDOWN || os_error == ENETDOWN)
			log(KOVA_LOG_LEVEL_ERROR, "kova_rdma: connection lost (%s): the peer did not answer for %u ms (%s)",
			    kova_error_get_name(status), dead_peer_ms, std::strerror(os_error));
		else if (os_error != 0)
			log(KOVA_LOG_LEVEL_WARNING, "kova_rdma: connection lost (%s): %s", kova_error_get_name(status),
			    std::strerror(os_error));
		else
			log(KOVA_LOG_LEVEL_WARNING, "kova_rdma: connection lost (%s)", kova_error_get_name(status));
		m_state = state::broken;
		m_owner->gpu_handle.fd.store(-1, std::memory_order_release);
		close_fd(m_fd);
		close_fd(m_listener);
	}
}

uint8_t link::complete_all(kova_error status)
{
	// Taken out of the link first: a callback may stop the context, which closes the link.
	task_queue receives = m_receives;
	task_queue sends = m_sends;
	task_queue announced = m_announced;
	kova_task *filling = m_filling;
	kova_task *framed = m_peer_on_gpu ? m_streaming : nullptr;
	m_receives = {};
	m_sends = {};
	m_announced = {};
	m_filling = nullptr;
	m_uncredited = nullptr;
	m_streaming = nullptr;
	uint8_t did = 0;
	for (kova_task *task : {filling, framed}) {
		if (task != nullptr) {
			task_complete(task, status);
			did = 1;
		}
	}
	for (task_queue *queue : {&receives, &announced, &sends}) {
		while (kova_task *task = queue->pop()) {
			task_complete(task, status);
			did = 1;
		}
	}
	return did;
}

kova_error execute_receive(kova_task *task) noexcept
{
	auto *rdma = reinterpret_cast<kova_rdma *>(reinterpret_cast<std::byte *>(task->kind) -
						   offsetof(kova_rdma, receive));
	if (rdma->link == nullptr)
		return KOVA_ERROR_NOT_CONNECTED;
	return rdma->link->take_receive(task_cast<kova_rdma_task_receive>(task));
}

kova_error execute_send(kova_task *task) noexcept
{
	auto *rdma =
		reinterpret_cast<kova_rdma *>(reinterpret_cast<std::byte *>(task->kind) - offsetof(kova_rdma, send));
	if (rdma->link == nullptr)
		return KOVA_ERROR_NOT_CONNECTED;
	return rdma->link->take_send(task_cast<kova_rdma_task_send>(task));
}

} // namespace kova::sdk::rdma
