// The program side of the fixture libraries' notes (exported, found with dlsym).
#include "dl/support/library_events.hpp"

#include <algorithm>
#include <mutex>

namespace {

std::mutex events_mutex;
std::vector<std::string> events;

} // namespace

extern "C" void kova_test_library_event(const char *event)
{
	std::lock_guard<std::mutex> const lock{events_mutex};
	events.emplace_back(event);
}

namespace kova::bench::test {

std::vector<std::string> library_events()
{
	std::lock_guard<std::mutex> const lock{events_mutex};
	return events;
}

void clear_library_events()
{
	std::lock_guard<std::mutex> const lock{events_mutex};
	events.clear();
}

long count_library_events(const std::string &event)
{
	std::lock_guard<std::mutex> const lock{events_mutex};
	return std::count(events.begin(), events.end(), event);
}

} // namespace kova::bench::test
