// The state of one run that every part of a benchmark reads.
//
// Only the opened devices so far: the rest of the state (representor, GPU, DPDK context, companion
// connection, remote memory definitions) replaces this file when it is built.
#pragma once

#include "kova_optional.hpp"
#include "utility/span.hpp"

#include <kova/types.h>

#include <string>
#include <vector>

namespace kova::bench {

class runtime_state {
public:
	runtime_state() = default;
	runtime_state(const runtime_state &) = delete;
	runtime_state &operator=(const runtime_state &) = delete;
	// Closes the devices.
	virtual ~runtime_state();

	// The opened devices; entry 0 is the one steps, task pools and queries use.
	[[nodiscard]] utility::span<kova_dev *> get_devices() const;

	// Opens the first device whose PCI address, InfiniBand name or interface name is the address.
	// Throws code 6 when no device matches, the SDK's code when opening fails, and code 4 when a
	// representor is asked for (not available yet).
	void open_device_and_representor(const std::string &address, const kova::optional<std::string> &representor);

private:
	std::vector<kova_dev *> m_devices;
};

} // namespace kova::bench
