// Connection details: encoding, checks and the local facts they carry.
#include "rdma_details.hpp"

#include <kova/dev.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace kova::sdk::rdma {
namespace {

constexpr uint8_t marker[4] = {'K', 'R', 'D', 'M'};
constexpr uint16_t version = 1;
constexpr std::size_t checked_size = details_size - 8;

uint64_t fnv1a(const uint8_t *bytes, std::size_t size) noexcept
{
	uint64_t hash = 14695981039346656037ULL;
	for (std::size_t i = 0; i < size; ++i) {
		hash ^= bytes[i];
		hash *= 1099511628211ULL;
	}
	return hash;
}

template <typename T>
void put(uint8_t *at, T value) noexcept
{
	std::memcpy(at, &value, sizeof(value));
}

template <typename T>
T get(const uint8_t *at) noexcept
{
	T value;
	std::memcpy(&value, at, sizeof(value));
	return value;
}

} // namespace

details_bytes encode_details(const details &value) noexcept
{
	details_bytes out{};
	uint8_t *p = out.data();
	std::memcpy(p, marker, sizeof(marker));
	put<uint16_t>(p + 4, version);
	put<uint64_t>(p + 8, value.token);
	put<uint32_t>(p + 16, value.ipv4);
	put<uint16_t>(p + 20, value.port);
	put<uint32_t>(p + 24, value.pid);
	put<uint32_t>(p + 28, value.recv_pool);
	put<uint64_t>(p + 32, value.pid_ns);
	put<uint64_t>(p + 40, value.probe_addr);
	std::memcpy(p + 48, value.boot_id.data(), value.boot_id.size());
	put<uint64_t>(p + checked_size, fnv1a(p, checked_size));
	return out;
}

bool decode_details(const void *bytes, std::size_t size, details &value) noexcept
{
	if (bytes == nullptr || size != details_size)
		return false;
	auto const *p = static_cast<const uint8_t *>(bytes);
	if (std::memcmp(p, marker, sizeof(marker)) != 0 || get<uint16_t>(p + 4) != version ||
	    get<uint64_t>(p + checked_size) != fnv1a(p, checked_size))
		return false;
	details decoded{};
	decoded.token = get<uint64_t>(p + 8);
	decoded.ipv4 = get<uint32_t>(p + 16);
	decoded.port = get<uint16_t>(p + 20);
	decoded.pid = get<uint32_t>(p + 24);
	decoded.recv_pool = get<uint32_t>(p + 28);
	decoded.pid_ns = get<uint64_t>(p + 32);
	decoded.probe_addr = get<uint64_t>(p + 40);
	std::memcpy(decoded.boot_id.data(), p + 48, decoded.boot_id.size());
	if (decoded.token == 0 || decoded.port == 0 || decoded.ipv4 == 0)
		return false;
	value = decoded;
	return true;
}

void fill_process_identity(details &value) noexcept
{
	value.pid = static_cast<uint32_t>(::getpid());
	struct stat ns{};
	value.pid_ns = ::stat("/proc/self/ns/pid", &ns) == 0 ? static_cast<uint64_t>(ns.st_ino) : 0;
	value.boot_id.fill(0);
	if (FILE *file = std::fopen("/proc/sys/kernel/random/boot_id", "re")) {
		char text[64] = {};
		if (std::fgets(text, sizeof(text), file) != nullptr) {
			std::size_t n = 0;
			for (std::size_t i = 0; text[i] != '\0' && i + 1 < sizeof(text) && n < 2 * value.boot_id.size(); ++i) {
				char const c = text[i];
				if (!std::isxdigit(static_cast<unsigned char>(c)))
					continue;
				int const digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
				value.boot_id[n / 2] = static_cast<uint8_t>(value.boot_id[n / 2] << 4 | digit);
				++n;
			}
		}
		std::fclose(file);
	}
}

bool same_host(const details &a, const details &b) noexcept
{
	bool const known = a.pid_ns != 0 && a.boot_id != std::array<uint8_t, 16>{};
	return known && a.pid_ns == b.pid_ns && a.boot_id == b.boot_id;
}

uint32_t listen_address(const kova_devinfo *devinfo) noexcept
{
	uint32_t const loopback = htonl(INADDR_LOOPBACK);
	char name[IF_NAMESIZE + 1] = {};
	if (devinfo == nullptr || kova_devinfo_get_iface_name(devinfo, name, sizeof(name)) != 0 || name[0] == '\0')
		return loopback;
	ifaddrs *list = nullptr;
	if (::getifaddrs(&list) != 0)
		return loopback;
	uint32_t found = loopback;
	for (ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
		if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
		    std::strcmp(entry->ifa_name, name) != 0)
			continue;
		sockaddr_in address{};
		std::memcpy(&address, entry->ifa_addr, sizeof(address));
		found = address.sin_addr.s_addr;
		break;
	}
	::freeifaddrs(list);
	return found;
}

uint64_t make_token() noexcept
{
	uint64_t token = 0;
	while (token == 0) {
		if (::getrandom(&token, sizeof(token), 0) != static_cast<ssize_t>(sizeof(token)))
			token = static_cast<uint64_t>(::getpid()) << 32 ^ reinterpret_cast<uintptr_t>(&token);
	}
	return token;
}

} // namespace kova::sdk::rdma
