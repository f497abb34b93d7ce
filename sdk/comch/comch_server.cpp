// The comch server of one name: a detached process, started by the first client that finds none,
// that carries the control traffic of the name's clients and ends when the last one has left.
//
// The server welcomes each client with its id, announces every running consumer once to each of
// the other clients (those that join later included), retires a consumer (announcement of its
// expiry, its ring marked dead) when it stops or its owner leaves, and forwards messages. When one
// client of two leaves, the other is disconnected as well. It never touches message data.
#include "comch_shared.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace kova::sdk::comch {
namespace {

struct server_client {
	int fd;
	uint32_t id;
};

struct server_consumer {
	uint32_t id;
	uint32_t owner;
	int ring_fd;
	ring_header *header;
};

bool send_packet(int fd, op kind, uint32_t id, const void *payload, uint32_t len, int pass_fd) noexcept
{
	packet_header header{kind, id, len, 0};
	iovec iov[2] = {{&header, sizeof(header)}, {const_cast<void *>(payload), len}};
	msghdr msg{};
	msg.msg_iov = iov;
	msg.msg_iovlen = len != 0 ? 2 : 1;
	alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
	if (pass_fd >= 0) {
		std::memset(control, 0, sizeof(control));
		msg.msg_control = control;
		msg.msg_controllen = sizeof(control);
		cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
		cmsg->cmsg_level = SOL_SOCKET;
		cmsg->cmsg_type = SCM_RIGHTS;
		cmsg->cmsg_len = CMSG_LEN(sizeof(int));
		std::memcpy(CMSG_DATA(cmsg), &pass_fd, sizeof(int));
	}
	ssize_t sent;
	do
		sent = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
	while (sent < 0 && errno == EINTR);
	return sent >= 0;
}

class server {
public:
	server(int listen_fd, const char *path) : m_listen{listen_fd}, m_path{path} {}

	void run()
	{
		auto idle_since = std::chrono::steady_clock::now();
		for (;;) {
			std::vector<pollfd> fds;
			fds.push_back({m_listen, POLLIN, 0});
			for (const server_client &c : m_clients)
				fds.push_back({c.fd, POLLIN, 0});
			int const ready = ::poll(fds.data(), fds.size(), 1000);
			if (ready < 0 && errno != EINTR)
				return;
			std::vector<int> leaving;
			for (std::size_t i = 1; i < fds.size(); ++i) {
				if (fds[i].revents != 0 && !serve(fds[i].fd))
					leaving.push_back(fds[i].fd);
			}
			for (int fd : leaving)
				leave(fd);
			if (m_had_client && m_clients.empty())
				return;
			if ((fds[0].revents & POLLIN) != 0)
				accept_client();
			if (m_clients.empty() && std::chrono::steady_clock::now() - idle_since > std::chrono::seconds(10))
				return; // started, but nobody came
			if (!m_clients.empty())
				idle_since = std::chrono::steady_clock::now();
		}
	}

	~server()
	{
		// New clients find no socket and start a server of their own.
		::unlink(m_path);
		for (const server_client &c : m_clients)
			::close(c.fd);
		for (const server_consumer &c : m_consumers)
			release(c);
		::close(m_listen);
	}

private:
	void accept_client()
	{
		int const fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
		if (fd < 0)
			return;
		uint32_t const id = m_next_client_id++;
		if (!send_packet(fd, op::welcome, id, nullptr, 0, -1)) {
			::close(fd);
			return;
		}
		// Replay: the consumers that run already.
		for (const server_consumer &c : m_consumers)
			send_packet(fd, op::consumer_announce, c.id, nullptr, 0, c.ring_fd);
		m_clients.push_back({fd, id});
		m_had_client = true;
	}

	// False when the client has left.
	bool serve(int fd)
	{
		server_client *client = find_client(fd);
		if (client == nullptr)
			return false;
		alignas(packet_header) std::byte buffer[max_packet];
		iovec iov{buffer, sizeof(buffer)};
		alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
		msghdr msg{};
		msg.msg_iov = &iov;
		msg.msg_iovlen = 1;
		msg.msg_control = control;
		msg.msg_controllen = sizeof(control);
		ssize_t const n = ::recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
		if (n < 0)
			return errno == EAGAIN || errno == EINTR;
		if (n < static_cast<ssize_t>(sizeof(packet_header)))
			return false;
		int passed = -1;
		for (cmsghdr *cmsg = CMSG_FIRSTHDR(&msg); cmsg != nullptr; cmsg = CMSG_NXTHDR(&msg, cmsg)) {
			if (cmsg->cmsg_level == SOL_SOCKET && cmsg->cmsg_type == SCM_RIGHTS)
				std::memcpy(&passed, CMSG_DATA(cmsg), sizeof(int));
		}
		packet_header header{};
		std::memcpy(&header, buffer, sizeof(header));
		uint32_t const client_id = client->id;
		switch (header.kind) {
		case op::consumer_new:
			if (passed < 0)
				return false;
			add_consumer(client_id, passed);
			return true;
		case op::consumer_gone:
			retire(header.id, client_id);
			return true;
		case op::message:
			if (header.len > max_msg_size || n != static_cast<ssize_t>(sizeof(header) + header.len))
				return false;
			for (const server_client &other : m_clients) {
				if (other.id != client_id)
					send_packet(other.fd, op::message, client_id, buffer + sizeof(header), header.len, -1);
			}
			return true;
		default:
			if (passed >= 0)
				::close(passed);
			return false;
		}
	}

	void add_consumer(uint32_t owner, int ring_fd)
	{
		void *mapped = ::mmap(nullptr, ring_header_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, ring_fd, 0);
		if (mapped == MAP_FAILED) {
			::close(ring_fd);
			return;
		}
		server_consumer consumer{m_next_consumer_id++, owner, ring_fd, static_cast<ring_header *>(mapped)};
		m_consumers.push_back(consumer);
		for (const server_client &other : m_clients) {
			if (other.id != owner)
				send_packet(other.fd, op::consumer_announce, consumer.id, nullptr, 0, ring_fd);
		}
		// The consumer runs from here on; its peers already have the announcement waiting.
		consumer.header->id.store(consumer.id, std::memory_order_release);
	}

	void retire(uint32_t id, uint32_t owner)
	{
		for (auto it = m_consumers.begin(); it != m_consumers.end(); ++it) {
			if (it->id != id || it->owner != owner)
				continue;
			it->header->alive.store(0, std::memory_order_release);
			for (const server_client &other : m_clients) {
				if (other.id != owner)
					send_packet(other.fd, op::consumer_expired, id, nullptr, 0, -1);
			}
			release(*it);
			m_consumers.erase(it);
			return;
		}
	}

	void leave(int fd)
	{
		server_client *client = find_client(fd);
		if (client == nullptr)
			return;
		uint32_t const id = client->id;
		std::size_t const group = m_clients.size();
		std::vector<uint32_t> owned;
		for (const server_consumer &c : m_consumers) {
			if (c.owner == id)
				owned.push_back(c.id);
		}
		// Its peers hear the consumers expire before anything else happens to them.
		for (uint32_t consumer : owned)
			retire(consumer, id);
		remove_client(fd);
		if (group == 2 && m_clients.size() == 1)
			remove_client(m_clients.front().fd); // the channel of a pair ends with either side
	}

	void remove_client(int fd)
	{
		for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
			if (it->fd == fd) {
				::close(fd);
				m_clients.erase(it);
				return;
			}
		}
	}

	server_client *find_client(int fd)
	{
		for (server_client &c : m_clients) {
			if (c.fd == fd)
				return &c;
		}
		return nullptr;
	}

	static void release(const server_consumer &c)
	{
		c.header->alive.store(0, std::memory_order_release);
		::munmap(c.header, ring_header_bytes);
		::close(c.ring_fd);
	}

	int m_listen;
	const char *m_path;
	std::vector<server_client> m_clients;
	std::vector<server_consumer> m_consumers;
	uint32_t m_next_client_id = 1;
	uint32_t m_next_consumer_id = 1;
	bool m_had_client = false;
};

// Reports one byte to the client that started the server: 'R' ready, 'L' another server holds
// the name, 'F' failed.
void report(int fd, char byte) noexcept
{
	ssize_t const ignored = ::write(fd, &byte, 1);
	(void)ignored;
	::close(fd);
}

[[noreturn]] void serve_name(const char *name, int report_fd)
{
	char path[sizeof(sockaddr_un::sun_path)];
	char lock_path[sizeof(sockaddr_un::sun_path) + 8];
	if (!socket_path(name, path, sizeof(path)) || !socket_path(name, lock_path, sizeof(lock_path), ".lock")) {
		report(report_fd, 'F');
		::_exit(1);
	}
	int const lock = ::open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
	if (lock < 0) {
		report(report_fd, 'F');
		::_exit(1);
	}
	if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
		report(report_fd, 'L');
		::_exit(0);
	}
	struct stat found {};
	if (::lstat(path, &found) == 0) {
		if (!S_ISSOCK(found.st_mode)) {
			report(report_fd, 'F');
			::_exit(1);
		}
		::unlink(path); // left by a server that was killed
	}
	int const listen_fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	sockaddr_un address{};
	address.sun_family = AF_UNIX;
	std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path);
	if (listen_fd < 0 || ::bind(listen_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
	    ::chmod(path, 0666) != 0 || ::listen(listen_fd, 64) != 0) {
		report(report_fd, 'F');
		::_exit(1);
	}
	report(report_fd, 'R');
	{
		server s{listen_fd, path};
		s.run();
	}
	::_exit(0);
}

// Starts a detached server for the name; the byte it reported, or 'F'.
char spawn_server(const char *name) noexcept
{
	int report_pipe[2];
	if (::pipe2(report_pipe, O_CLOEXEC) != 0)
		return 'F';
	pid_t const child = ::fork();
	if (child < 0) {
		::close(report_pipe[0]);
		::close(report_pipe[1]);
		return 'F';
	}
	if (child == 0) {
		// Detach: the grandchild serves, owned by nobody that waits for it.
		if (::fork() != 0)
			::_exit(0);
		::setsid();
		sigset_t all;
		sigemptyset(&all);
		::sigprocmask(SIG_SETMASK, &all, nullptr);
		::signal(SIGPIPE, SIG_IGN);
		::signal(SIGINT, SIG_IGN);
		::dup2(report_pipe[1], 3);
		::close_range(4, ~0U, 0);
		int const null_fd = ::open("/dev/null", O_RDWR);
		::dup2(null_fd, 0);
		::dup2(null_fd, 1);
		::dup2(null_fd, 2);
		if (null_fd > 3)
			::close(null_fd);
		serve_name(name, 3);
	}
	::close(report_pipe[1]);
	int status = 0;
	while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
	}
	char byte = 'F';
	pollfd p{report_pipe[0], POLLIN, 0};
	if (::poll(&p, 1, 5000) == 1 && ::read(report_pipe[0], &byte, 1) != 1)
		byte = 'F';
	::close(report_pipe[0]);
	return byte;
}

int try_connect(const char *path, int &error) noexcept
{
	int const fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	if (fd < 0) {
		error = errno;
		return -1;
	}
	sockaddr_un address{};
	address.sun_family = AF_UNIX;
	std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path);
	if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
		error = errno;
		::close(fd);
		return -1;
	}
	return fd;
}

} // namespace

bool socket_path(const char *name, char *path, std::size_t len, const char *suffix) noexcept
{
	if (name == nullptr || name[0] == '\0' || std::strlen(name) > max_name_len || std::strchr(name, '/') != nullptr)
		return false;
	int const written = std::snprintf(path, len, "%s/%s%s", socket_dir, name, suffix);
	return written > 0 && static_cast<std::size_t>(written) < len;
}

int connect_to_server(const char *name) noexcept
{
	char path[sizeof(sockaddr_un::sun_path)];
	if (!socket_path(name, path, sizeof(path)))
		return -1;
	if (::mkdir(socket_dir, 0777) == 0)
		::chmod(socket_dir, 01777);
	for (int attempt = 0; attempt < 200; ++attempt) {
		int error = 0;
		int const fd = try_connect(path, error);
		if (fd >= 0)
			return fd;
		if (error != ENOENT && error != ECONNREFUSED)
			return -1; // no access, ...
		struct stat found {};
		if (::lstat(path, &found) == 0 && !S_ISSOCK(found.st_mode))
			return -1; // something else lies at the socket's place
		char const started = attempt % 20 == 0 ? spawn_server(name) : 'L';
		if (started == 'F')
			return -1;
		if (started == 'L')
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	return -1;
}

} // namespace kova::sdk::comch
