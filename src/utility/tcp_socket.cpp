// Non-blocking IPv4 TCP socket over the POSIX socket calls.
#include "utility/tcp_socket.hpp"

#include "kova_exception.hpp"

#include <kova/error.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

namespace kova::bench::utility {

std::string err_to_string(int error_number)
{
	char text[64];
	const char *result = priv_kova_strerror(error_number, text, sizeof(text));
	if (result == nullptr)
		throw std::logic_error{"No text for error number " + std::to_string(error_number)};
	return result;
}

tcp_socket::tcp_socket()
{
	m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (m_fd == -1)
		KOVA_THROW(KOVA_ERROR_INITIALIZATION, "Failed to create socket. Error: " + err_to_string(errno));
	try {
		set_socket_options();
	} catch (...) {
		close();
		throw;
	}
}

tcp_socket::tcp_socket(uint32_t descriptor) : m_fd{static_cast<int>(descriptor)}
{
	if (m_fd != -1)
		set_socket_options();
}

tcp_socket::tcp_socket(tcp_socket &&other) noexcept : m_fd{std::exchange(other.m_fd, -1)} {}

tcp_socket &tcp_socket::operator=(tcp_socket &&other) noexcept
{
	if (this != &other) {
		close();
		m_fd = std::exchange(other.m_fd, -1);
	}
	return *this;
}

tcp_socket::~tcp_socket()
{
	close();
}

void tcp_socket::set_socket_options()
{
	linger const no_linger{0, 0};
	if (::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &no_linger, sizeof(no_linger)) != 0)
		KOVA_THROW(KOVA_ERROR_IO_FAILED,
			   "Failed to set socket option SO_LINGER. Error: \"" + err_to_string(errno) + "\"");
	int const reuse = 1;
	if (::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) != 0)
		KOVA_THROW(KOVA_ERROR_IO_FAILED,
			   "Failed to set socket option SO_REUSEADDR. Error: \"" + err_to_string(errno) + "\"");
}

void tcp_socket::listen(uint16_t port)
{
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_ANY);
	address.sin_port = htons(port);
	if (::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0)
		KOVA_THROW(KOVA_ERROR_IO_FAILED,
			   "Failed to bind to port: " + std::to_string(port) + ". Error: " + err_to_string(errno));
	if (::listen(m_fd, 1) != 0)
		KOVA_THROW(KOVA_ERROR_IO_FAILED,
			   "Failed to listen on port: " + std::to_string(port) + ". Error: " + err_to_string(errno));
}

tcp_socket tcp_socket::accept()
{
	int const client = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
	if (client == -1) {
		if (errno == EAGAIN || errno == EWOULDBLOCK)
			return tcp_socket{static_cast<uint32_t>(-1)};
		KOVA_THROW(KOVA_ERROR_IO_FAILED, "Failed to accept new connection. Error: " + err_to_string(errno));
	}
	tcp_socket result{static_cast<uint32_t>(-1)};
	result.m_fd = client;
	result.set_socket_options();
	return result;
}

void tcp_socket::connect(const std::string &address, uint16_t port)
{
	sockaddr_in target{};
	target.sin_family = AF_INET;
	target.sin_port = htons(port);
	int const parsed = ::inet_pton(AF_INET, address.c_str(), &target.sin_addr);
	if (parsed != 1) {
		// inet_pton sets no error number for text that is not an address.
		int const error = parsed == 0 ? EINVAL : errno;
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
			   "Failed to parse address:\"" + address + "\". Error: " + err_to_string(error));
	}
	if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&target), sizeof(target)) != 0 && errno != EINPROGRESS)
		KOVA_THROW(KOVA_ERROR_IO_FAILED, "Failed to connect to:\"" + address + "\":" + std::to_string(port) +
							 ". Error: " + err_to_string(errno));
}

connect_state tcp_socket::poll_is_connected(int *pending_error)
{
	pollfd entry{m_fd, POLLOUT, 0};
	int const ready = ::poll(&entry, 1, 0);
	if (ready < 0)
		return connect_state::error;
	if (ready == 0 || (entry.revents & (POLLOUT | POLLERR | POLLHUP)) == 0)
		return connect_state::in_progress;

	int error = 0;
	socklen_t length = sizeof(error);
	if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
		return connect_state::error;
	// Reading SO_ERROR clears it, so a failed attempt is final: it must never
	// be asked again and then look connected.
	if (error == 0 && (entry.revents & (POLLERR | POLLHUP)) != 0)
		error = ENOTCONN;
	if (pending_error != nullptr)
		*pending_error = error;
	return error == 0 ? connect_state::connected : connect_state::refused;
}

size_t tcp_socket::write(span<char const> bytes)
{
	ssize_t const written = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
	if (written >= 0)
		return static_cast<size_t>(written);
	if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
		return 0;
	KOVA_THROW(KOVA_ERROR_IO_FAILED, "Failed to write data. Error: " + err_to_string(errno));
}

span<char> tcp_socket::read(span<char> bytes)
{
	if (bytes.empty())
		return {};
	ssize_t const count = ::read(m_fd, bytes.data(), bytes.size());
	if (count > 0)
		return bytes.first(static_cast<size_t>(count));
	if (count == 0)
		KOVA_THROW(KOVA_ERROR_IO_FAILED, "Connection closed by peer");
	if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
		return {};
	KOVA_THROW(KOVA_ERROR_IO_FAILED, "Failed to read data. Error: " + err_to_string(errno));
}

void tcp_socket::close() noexcept
{
	if (m_fd != -1) {
		::close(m_fd);
		m_fd = -1;
	}
}

} // namespace kova::bench::utility
