// Lets a worker in blocking mode sleep until its progress engine has work.
#pragma once

#include <kova/types.h>

#include <cstdint>
#include <memory>

namespace kova::bench::impl {

class event_handle {
public:
	virtual ~event_handle() = default;
	// Arms the engine and waits for its signal: true when it came within the
	// time-out, false when the time-out passed.
	virtual bool arm_and_wait(uint32_t timeout_ms) = 0;
};

// An event handle over the engine's notification handle; throws KOVA_ERROR_OPERATING_SYSTEM when
// the wait cannot be set up, or the SDK's code.
std::unique_ptr<event_handle> make_event_handle(kova_pe *pe);

} // namespace kova::bench::impl
