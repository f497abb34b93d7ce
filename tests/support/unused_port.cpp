#include "support/unused_port.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>

namespace kova::test {

uint16_t unused_port()
{
	constexpr uint32_t first = 20000;
	constexpr uint32_t count = 12000;
	static std::atomic<uint32_t> next{static_cast<uint32_t>(::getpid()) * 7919U};
	for (uint32_t attempt = 0; attempt != count; ++attempt) {
		auto const port = static_cast<uint16_t>(first + next.fetch_add(1) % count);
		int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		if (fd < 0)
			break;
		sockaddr_in address{};
		address.sin_family = AF_INET;
		address.sin_addr.s_addr = htonl(INADDR_ANY);
		address.sin_port = htons(port);
		bool const free = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
		::close(fd);
		if (free)
			return port;
	}
	throw std::runtime_error{"no unused TCP port"};
}

} // namespace kova::test
