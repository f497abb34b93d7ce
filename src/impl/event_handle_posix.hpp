// The event handle on Linux: an epoll descriptor watching the progress
// engine's notification handle.
#pragma once

#include "impl/event_handle.hpp"

namespace kova::bench::impl {

class event_handle_posix : public event_handle {
public:
	explicit event_handle_posix(kova_pe *pe);
	event_handle_posix(const event_handle_posix &) = delete;
	event_handle_posix &operator=(const event_handle_posix &) = delete;
	~event_handle_posix() override;

	bool arm_and_wait(uint32_t timeout_ms) override;

private:
	kova_pe *m_pe;
	int m_epoll_fd;
};

} // namespace kova::bench::impl
