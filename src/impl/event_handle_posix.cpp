#include "impl/event_handle_posix.hpp"

#include "kova_exception.hpp"

#include <kova/pe.h>

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

namespace kova::bench::impl {
namespace {

// The epoll descriptor watching the engine's notification handle.
int make_epoll_fd(kova_pe *pe)
{
	int const fd = ::epoll_create1(0);
	if (fd < 0)
		KOVA_THROW(KOVA_ERROR_OPERATING_SYSTEM, "Failed to create epoll_fd. errno=" + std::to_string(errno));

	int handle = -1;
	kova_error const status = kova_pe_get_notification_handle(pe, &handle);
	if (status != KOVA_SUCCESS) {
		::close(fd);
		KOVA_THROW(status, "kova_pe_get_notification_handle failed");
	}

	epoll_event event{};
	event.events = EPOLLIN;
	event.data.u64 = 0;
	if (::epoll_ctl(fd, EPOLL_CTL_ADD, handle, &event) != 0) {
		int const error = errno;
		::close(fd);
		KOVA_THROW(KOVA_ERROR_OPERATING_SYSTEM, "Failed to register epoll_fd. errno=" + std::to_string(error));
	}
	return fd;
}

} // namespace

std::unique_ptr<event_handle> make_event_handle(kova_pe *pe)
{
	return std::make_unique<event_handle_posix>(pe);
}

event_handle_posix::event_handle_posix(kova_pe *pe) : m_pe{pe}, m_epoll_fd{make_epoll_fd(pe)}
{
}

event_handle_posix::~event_handle_posix()
{
	::close(m_epoll_fd);
}

bool event_handle_posix::arm_and_wait(uint32_t timeout_ms)
{
	kova_error const status = kova_pe_request_notification(m_pe);
	if (status != KOVA_SUCCESS)
		KOVA_THROW(status, "kova_pe_request_notification failed");

	epoll_event event{};
	int const timeout = timeout_ms > INT_MAX ? INT_MAX : static_cast<int>(timeout_ms);
	int const ready = ::epoll_wait(m_epoll_fd, &event, 1, timeout);
	if (ready < 0) {
		// A signal ends the wait early: nothing was signalled.
		if (errno == EINTR)
			return false;
		KOVA_THROW(KOVA_ERROR_OPERATING_SYSTEM, "epoll_wait failed. errno=" + std::to_string(errno));
	}
	if (ready == 0)
		return false;

	kova_error const cleared = kova_pe_clear_notification(m_pe, 0);
	if (cleared != KOVA_SUCCESS)
		KOVA_THROW(cleared, "kova_pe_clear_notification failed");
	return true;
}

} // namespace kova::bench::impl
