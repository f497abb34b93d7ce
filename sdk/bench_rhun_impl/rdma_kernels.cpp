// The RDMA kernels: messages over a queue pair whose data path is on the GPU, paced by the flags
// (the protocol is described in kova/bench_rhun_impl.h).
#include "kernel_params.hpp"

#include <kova_internal/rhun_runtime.hpp>

#include <kova/error.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace kova::sdk::kernels {
namespace {

enum class io_result { done, stopped, closed };

constexpr int wait_ms = 1;

void pause_briefly() noexcept
{
	timespec const delay{0, 100000};
	::nanosleep(&delay, nullptr);
}

// Waits until the socket is ready for `events` or a millisecond has passed.
void wait_for(int fd, short events) noexcept
{
	pollfd entry{fd, events, 0};
	static_cast<void>(::poll(&entry, 1, wait_ms));
}

// A closed stream sets *error: the errno of the failed call, or -1 when the peer closed it.
io_result read_exact(int fd, void *to, std::size_t len, const uint8_t *stop, int *error) noexcept
{
	auto *at = static_cast<std::byte *>(to);
	while (len != 0) {
		if (stop_raised(stop))
			return io_result::stopped;
		ssize_t const n = ::recv(fd, at, len, MSG_DONTWAIT);
		if (n > 0) {
			at += n;
			len -= static_cast<std::size_t>(n);
		} else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
			*error = n == 0 ? -1 : errno;
			return io_result::closed;
		} else {
			wait_for(fd, POLLIN);
		}
	}
	return io_result::done;
}

io_result write_message(int fd, const void *from, uint32_t len, const uint8_t *stop, int *error) noexcept
{
	uint32_t header = len;
	iovec parts[2] = {{&header, sizeof(header)}, {const_cast<void *>(from), len}};
	iovec *part = parts;
	int remaining = 2;
	while (remaining != 0) {
		if (stop_raised(stop))
			return io_result::stopped;
		msghdr message{};
		message.msg_iov = part;
		message.msg_iovlen = static_cast<std::size_t>(remaining);
		ssize_t n = ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
		if (n < 0) {
			if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
				*error = errno;
				return io_result::closed;
			}
			wait_for(fd, POLLOUT);
			continue;
		}
		while (remaining != 0 && static_cast<std::size_t>(n) >= part->iov_len) {
			n -= static_cast<ssize_t>(part->iov_len);
			++part;
			--remaining;
		}
		if (remaining != 0) {
			part->iov_base = static_cast<std::byte *>(part->iov_base) + n;
			part->iov_len -= static_cast<std::size_t>(n);
		}
	}
	return io_result::done;
}

// Receives one message into [to, to + room); its length goes to *len.
io_result read_message(int fd, std::byte *to, std::size_t room, uint32_t *len, const uint8_t *stop,
		       int *error) noexcept
{
	uint32_t header = 0;
	if (io_result const got = read_exact(fd, &header, sizeof(header), stop, error); got != io_result::done)
		return got;
	// A message larger than the buffer breaks the pairing of the two kernels: the stream is given up.
	if (header > room) {
		*error = EMSGSIZE;
		return io_result::closed;
	}
	*len = header;
	return read_exact(fd, to, header, stop, error);
}

std::byte *buffer_of(const rdma_params &params, uint32_t t) noexcept
{
	kova_gpu_buf_arr const &buffers = *params.buffers;
	return buffers.base + (t % buffers.num_elems) * buffers.elem_size;
}

// Writes the round into the peer's flag (in the peer's memory when the array lies there).
bool write_flag(const kova_gpu_buf_arr &flag, uint64_t round) noexcept
{
	if (flag.pid == 0) {
		std::atomic_ref<uint64_t>{*reinterpret_cast<uint64_t *>(flag.base)}.store(round, std::memory_order_release);
		return true;
	}
	iovec local{&round, sizeof(round)};
	iovec remote{flag.base, sizeof(round)};
	return ::process_vm_writev(flag.pid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(sizeof(round));
}

uint64_t read_flag(const kova_gpu_buf_arr &flag) noexcept
{
	return std::atomic_ref<uint64_t>{*reinterpret_cast<uint64_t *>(flag.base)}.load(std::memory_order_acquire);
}

// The stream once the connection is up; -1 while the stop byte is not raised and it is not.
int wait_for_stream(const rdma_params &params) noexcept
{
	for (;;) {
		int const fd = params.rdma->fd.load(std::memory_order_acquire);
		if (fd >= 0 || stop_raised(params.stop_flag))
			return fd;
		pause_briefly();
	}
}

void wait_for_stop(const uint8_t *stop) noexcept
{
	while (!stop_raised(stop))
		pause_briefly();
}

// Hands a broken stream back to the RDMA library and waits for the stop byte.
void give_up_stream(const rdma_params &params, int error) noexcept
{
	params.rdma->lost.store(error != 0 ? error : -1, std::memory_order_release);
	wait_for_stop(params.stop_flag);
}

void run_recv(const void *raw, uint32_t /*first_block*/, uint32_t /*num_blocks*/)
{
	auto const &params = *static_cast<const rdma_params *>(raw);
	uint32_t const threads = params.blocks * params.threads_per_block;
	int const fd = wait_for_stream(params);
	int error = 0;
	for (uint64_t round = 1; fd >= 0; ++round) {
		if (params.remote_flag != nullptr && !write_flag(*params.remote_flag, round)) {
			give_up_stream(params, errno);
			return;
		}
		for (uint32_t t = 0; t != threads; ++t) {
			uint32_t len = 0;
			io_result const got = read_message(fd, buffer_of(params, t), params.buffers->elem_size, &len,
							   params.stop_flag, &error);
			if (got == io_result::stopped)
				return;
			if (got == io_result::closed) {
				give_up_stream(params, error);
				return;
			}
			count(params.counters, t, len);
		}
	}
	wait_for_stop(params.stop_flag);
}

void run_send(const void *raw, uint32_t /*first_block*/, uint32_t /*num_blocks*/)
{
	auto const &params = *static_cast<const rdma_params *>(raw);
	uint32_t const threads = params.blocks * params.threads_per_block;
	int const fd = wait_for_stream(params);
	int error = 0;
	for (uint64_t round = 1; fd >= 0; ++round) {
		if (params.local_flag != nullptr) {
			while (read_flag(*params.local_flag) < round) {
				if (stop_raised(params.stop_flag))
					return;
				pause_briefly();
			}
		}
		for (uint32_t t = 0; t != threads; ++t) {
			io_result const sent =
				write_message(fd, buffer_of(params, t), params.buffer_size, params.stop_flag, &error);
			if (sent == io_result::stopped)
				return;
			if (sent == io_result::closed) {
				give_up_stream(params, error);
				return;
			}
			count(params.counters, t, params.buffer_size);
		}
	}
	wait_for_stop(params.stop_flag);
}

void rdma_ended(const void *raw)
{
	mark_ended(static_cast<const rdma_params *>(raw)->stop_flag);
}

kova_error start_rdma(const char *name, const rdma_params &params, rhun::block_range_fn run) noexcept
{
	uint32_t const threads = gpu_threads(params.blocks, params.threads_per_block);
	if (threads == 0 || params.stop_flag == nullptr || params.counters == nullptr || params.rdma == nullptr ||
	    params.buffers == nullptr || params.buffers->num_elems == 0 || params.buffer_size == 0 ||
	    params.buffer_size > params.buffers->elem_size || params.buffers->pid != 0 ||
	    !rhun::mem_contains(params.counters, std::size_t{threads} * 16) ||
	    !rhun::mem_contains(params.buffers->base, params.buffers->elem_size * params.buffers->num_elems))
		return KOVA_ERROR_INVALID_VALUE;
	if (params.local_flag != nullptr && (params.local_flag->pid != 0 || params.local_flag->elem_size < 8))
		return KOVA_ERROR_INVALID_VALUE;
	if (params.remote_flag != nullptr && params.remote_flag->elem_size < 8)
		return KOVA_ERROR_INVALID_VALUE;
	const void *uses[] = {params.stop_flag, params.counters, params.buffers->base,
			      params.local_flag != nullptr ? params.local_flag->base : nullptr};
	uint32_t const num_uses = params.local_flag != nullptr ? 4 : 3;
	// One emulator thread: the queue pair is one ordered stream.
	rhun::launch_request const request{name, run, &params, sizeof(params), params.blocks, 1, uses, num_uses,
					   rdma_ended};
	return rhun::launch(request);
}

} // namespace

kova_error start_rdma_send(const rdma_params &params) noexcept
{
	return start_rdma("rdma_send", params, run_send);
}

kova_error start_rdma_recv(const rdma_params &params) noexcept
{
	return start_rdma("rdma_recv", params, run_recv);
}

} // namespace kova::sdk::kernels
