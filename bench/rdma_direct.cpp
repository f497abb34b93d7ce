// The direct loops bench/rdma compares kova_bench with, each between two processes of this host:
//   rdma_direct transport <seconds> <size> <sends>: the RDMA stand-in's send and receive, no
//       framework: <sends> sends kept in flight against twice as many posted receives;
//   rdma_direct vm_writev <seconds> <size> <sends>: process_vm_writev from <sends> buffers into
//       twice as many of the other process, in turn: the same bytes as the transport moves.
// Prints "bytes_per_second: <n>".
#include "sdk_rdma/rdma_side.hpp"

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using kova::rdma_test::rdma_side;
using clock_type = std::chrono::steady_clock;

void write_all(int fd, const void *data, std::size_t len)
{
	auto const *p = static_cast<const char *>(data);
	while (len != 0) {
		ssize_t const n = ::write(fd, p, len);
		if (n <= 0)
			std::exit(2);
		p += n;
		len -= static_cast<std::size_t>(n);
	}
}

void read_all(int fd, void *data, std::size_t len)
{
	auto *p = static_cast<char *>(data);
	while (len != 0) {
		ssize_t const n = ::read(fd, p, len);
		if (n <= 0)
			std::exit(2);
		p += n;
		len -= static_cast<std::size_t>(n);
	}
}

// Connects the side through the socket to the other process's side.
void connect_side(rdma_side &side, int fd)
{
	auto const local = side.export_details();
	uint32_t size = static_cast<uint32_t>(local.size());
	write_all(fd, &size, sizeof(size));
	write_all(fd, local.data(), local.size());
	read_all(fd, &size, sizeof(size));
	std::vector<uint8_t> remote(size);
	read_all(fd, remote.data(), size);
	if (!side.error().empty() || side.connect(remote) != KOVA_SUCCESS || !side.wait_running(std::chrono::seconds{10})) {
		std::fprintf(stderr, "connect failed: %s\n", side.error().c_str());
		std::exit(1);
	}
}

int transport(int seconds, std::size_t size, uint32_t sends)
{
	int fds[2];
	if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
		return 1;
	pid_t const pid = ::fork();
	if (pid == 0) {
		// The receiver: every buffer posted, each reposted as it completes, until the sender says stop.
		rdma_side side{4 * sends, size};
		for (uint32_t i = 0; i < side.num_receive_buffers(); ++i)
			side.post_receive(i);
		connect_side(side, fds[1]);
		std::size_t seen = 0;
		uint64_t turns = 0;
		side.progress_until(
			[&] {
				for (; seen < side.completions.size(); ++seen)
					side.post_receive(side.completions[seen].index);
				if (seen > 4096) {
					side.completions.clear();
					seen = 0;
				}
				char byte = 0;
				return (++turns % 1024) == 0 && ::recv(fds[1], &byte, 1, MSG_DONTWAIT) == 1;
			},
			std::chrono::seconds{seconds + 30});
		::_exit(0);
	}
	rdma_side side{2 * sends, size};
	connect_side(side, fds[0]);
	uint32_t const first = side.num_receive_buffers();
	for (uint32_t i = first; i < 2 * sends; ++i) {
		std::memset(side.data(i), 0x5a, size);
		side.send(i, size);
	}
	uint64_t done = 0;
	std::size_t seen = 0;
	auto const start = clock_type::now();
	auto const end = start + std::chrono::seconds{seconds};
	for (uint32_t turn = 1; turn % 64 != 0 || clock_type::now() < end; ++turn) {
		side.progress();
		for (; seen < side.completions.size(); ++seen) {
			++done;
			side.send(side.completions[seen].index, size);
		}
		if (seen > 4096) {
			side.completions.clear();
			seen = 0;
		}
	}
	double const elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
	write_all(fds[0], "q", 1);
	std::printf("bytes_per_second: %.0f\n", static_cast<double>(done) * static_cast<double>(size) / elapsed);
	::waitpid(pid, nullptr, 0);
	return 0;
}

int vm_writev(int seconds, std::size_t size, uint32_t sends)
{
	int fds[2];
	if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
		return 1;
	std::size_t const targets = 2 * std::size_t{sends};
	pid_t const pid = ::fork();
	if (pid == 0) {
		std::vector<char> target(targets * size);
		void *address = target.data();
		write_all(fds[1], &address, sizeof(address));
		char byte = 0;
		read_all(fds[1], &byte, 1);
		::_exit(0);
	}
	char *address = nullptr;
	read_all(fds[0], &address, sizeof(address));
	std::vector<char> source(sends * size, 0x5a);
	uint64_t done = 0;
	auto const start = clock_type::now();
	auto const end = start + std::chrono::seconds{seconds};
	while (clock_type::now() < end) {
		for (int i = 0; i < 64; ++i, ++done) {
			iovec local{source.data() + (done % sends) * size, size};
			iovec remote{address + (done % targets) * size, size};
			if (::process_vm_writev(pid, &local, 1, &remote, 1, 0) != static_cast<ssize_t>(size))
				return 1;
		}
	}
	double const elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
	write_all(fds[0], "q", 1);
	std::printf("bytes_per_second: %.0f\n", static_cast<double>(done) * static_cast<double>(size) / elapsed);
	::waitpid(pid, nullptr, 0);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 4) {
		std::fprintf(stderr, "usage: rdma_direct transport|vm_writev <seconds> <size> [<sends>]\n");
		return 1;
	}
	std::string const mode = argv[1];
	uint32_t const sends = argc > 4 ? static_cast<uint32_t>(std::atoi(argv[4])) : 8;
	int const seconds = std::atoi(argv[2]);
	std::size_t const size = std::strtoul(argv[3], nullptr, 10);
	if (mode == "transport")
		return transport(seconds, size, sends);
	if (mode == "vm_writev")
		return vm_writev(seconds, size, sends);
	std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
	return 1;
}
