// A message link to the peer: sends and receives whole frames.
#pragma once

#include "companion/api/message_buffer.hpp"
#include "companion/api/version.hpp"

#include <cstdint>
#include <vector>

namespace kova::bench::companion::api {

// Seconds each side gives the other: the companion to accept the benchmark's
// connection, the benchmark to connect and to have a request answered.
inline constexpr int64_t companion_timeout_s = 300;

class connection {
public:
	virtual ~connection() = default;

	// The versions the peer announced in its hello.
	virtual void set_supported_api_versions(std::vector<version> versions) = 0;
	[[nodiscard]] virtual const std::vector<version> &get_supported_api_versions() const = 0;

	// Closes the link, after a bye when asked. Never throws.
	virtual void disconnect(bool say_bye) = 0;

	// Writes the whole message (its total length filled in); true when done.
	virtual bool send(message_buffer &message) = 0;

	// One whole message into the buffer, or false when none is available now.
	virtual bool receive(message_buffer &message) = 0;
};

} // namespace kova::bench::companion::api
