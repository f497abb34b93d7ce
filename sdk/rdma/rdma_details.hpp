// Connection details of a queue pair: what one side hands the other out of band.
#pragma once

#include <kova/types.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace kova::sdk::rdma {

inline constexpr std::size_t details_size = 72;

struct details {
	uint64_t token;            // random, never 0
	uint32_t ipv4;             // listener address, network byte order
	uint16_t port;             // listener port, network byte order
	uint32_t pid;
	uint32_t recv_pool;        // receive tasks of the side, the most credits it can give
	uint64_t pid_ns;           // inode of the pid namespace
	uint64_t probe_addr;       // a word holding the token, for the peer's read check
	std::array<uint8_t, 16> boot_id;
};

using details_bytes = std::array<uint8_t, details_size>;

details_bytes encode_details(const details &value) noexcept;

// False for bytes that are not details of this library (size, marker, version, check, zero token
// or port).
bool decode_details(const void *bytes, std::size_t size, details &value) noexcept;

// Fills pid, pid namespace and boot id of this process.
void fill_process_identity(details &value) noexcept;

// Whether two sides run on one host in one pid namespace.
bool same_host(const details &a, const details &b) noexcept;

// The first IPv4 address (network byte order) of the device's interface, or 127.0.0.1.
uint32_t listen_address(const kova_devinfo *devinfo) noexcept;

// A random token that is not 0.
uint64_t make_token() noexcept;

} // namespace kova::sdk::rdma
