// The process totals of the comch consumers and producers, live and destroyed, since the last reset.
#include <kova_internal/comch_counters.hpp>

#include <kova/test_control.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace kova::sdk::comch {
namespace {

struct registry {
	std::mutex mutex;
	std::vector<channel_counters *> consumers;
	std::vector<channel_counters *> producers;
	kova_test_comch_counters retired{};
};

registry &the_registry()
{
	static registry r;
	return r;
}

std::vector<channel_counters *> &live(registry &r, channel_role role)
{
	return role == channel_role::consumer ? r.consumers : r.producers;
}

void add_received(kova_test_comch_counters &sum, const channel_counters &c) noexcept
{
	sum.received_messages += c.messages.get();
	sum.received_bytes += c.bytes.get();
	sum.receives_failed += c.failed.get();
}

void add_sent(kova_test_comch_counters &sum, const channel_counters &c) noexcept
{
	sum.sent_messages += c.messages.get();
	sum.sent_bytes += c.bytes.get();
	sum.sends_failed += c.failed.get();
}

} // namespace

void attach_counters(channel_counters *counters, channel_role role) noexcept
{
	registry &r = the_registry();
	std::lock_guard const lock{r.mutex};
	try {
		live(r, role).push_back(counters);
	} catch (...) {
		return; // out of memory: this context goes uncounted
	}
	if (role == channel_role::consumer)
		++r.retired.consumers;
	else
		++r.retired.producers;
}

void detach_counters(channel_counters *counters, channel_role role) noexcept
{
	registry &r = the_registry();
	std::lock_guard const lock{r.mutex};
	auto &list = live(r, role);
	auto const found = std::find(list.begin(), list.end(), counters);
	if (found == list.end())
		return;
	list.erase(found);
	if (role == channel_role::consumer)
		add_received(r.retired, *counters);
	else
		add_sent(r.retired, *counters);
}

void reset_counters() noexcept
{
	registry &r = the_registry();
	std::lock_guard const lock{r.mutex};
	r.retired = {};
	for (auto *list : {&r.consumers, &r.producers}) {
		for (channel_counters *c : *list) {
			c->messages.reset();
			c->bytes.reset();
			c->failed.reset();
		}
	}
	r.retired.consumers = r.consumers.size();
	r.retired.producers = r.producers.size();
}

} // namespace kova::sdk::comch

KOVA_EXPORT void kova_test_comch_get_counters(struct kova_test_comch_counters *counters)
{
	if (counters == nullptr)
		return;
	auto &r = kova::sdk::comch::the_registry();
	std::lock_guard const lock{r.mutex};
	kova_test_comch_counters sum = r.retired;
	for (auto *c : r.consumers)
		kova::sdk::comch::add_received(sum, *c);
	for (auto *c : r.producers)
		kova::sdk::comch::add_sent(sum, *c);
	*counters = sum;
}
