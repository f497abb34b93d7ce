// Test control: injected faults, held completions, forced results, capability overrides, the
// call trace and the counters. Everything sits behind one mutex; the data path only reads the
// g_active flag unless a test has set something.
#include "engine.hpp"
#include "device_table.hpp"
#include "test_state.hpp"

#include <kova_internal/capability.hpp>
#include <kova_internal/ctx_kernel.hpp>
#include <kova_internal/comch_counters.hpp>
#include <kova_internal/eth_port.hpp>

#include <kova/error.h>
#include <kova/test_control.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace kova::sdk::test {

std::atomic<uint32_t> g_active{0};

namespace {

struct submit_injection {
	const kova_ctx *ctx;
	uint32_t calls;
	kova_error result;
	uint32_t remaining;
};

struct completion_injection {
	const kova_ctx *ctx;
	kova_error status;
	uint32_t remaining;
};

struct forced_result {
	std::string function;
	kova_error result;
	uint32_t remaining;
};

struct capability_override {
	std::string query;
	kova_error result;
	uint64_t value;
};

struct control_state {
	std::mutex mutex;
	std::vector<submit_injection> submits;
	std::vector<completion_injection> completions;
	std::vector<forced_result> forced;
	std::vector<capability_override> overrides;
	bool trace_enabled = false;
	std::string trace;
	std::atomic<bool> hold{false};
	std::atomic<uint64_t> completion_delay_ns{0};
	std::atomic<uint32_t> last_num_tasks{0};
	std::atomic<uint64_t> refused_releases{0};
	std::vector<kova_pe *> live_engines;
	kova_test_counters retired{};
	kova_test_counters baseline{};
};

control_state &state()
{
	static control_state instance;
	return instance;
}

// Call with the mutex held.
void update_active(control_state &s)
{
	bool const active = !s.submits.empty() || !s.completions.empty() || !s.forced.empty() || !s.overrides.empty() ||
			    s.trace_enabled || s.hold.load(std::memory_order_relaxed) ||
			    s.completion_delay_ns.load(std::memory_order_relaxed) != 0;
	g_active.store(active ? 1 : 0, std::memory_order_relaxed);
}

kova_test_counters engine_counters(const kova_pe *pe) noexcept
{
	return kova_test_counters{pe->counters.submissions.get(),       pe->counters.flushes.get(),
				  pe->counters.completions.get(),       pe->counters.error_completions.get(),
				  pe->progress_calls.get(),             pe->productive_calls.get()};
}

void add(kova_test_counters &total, const kova_test_counters &part) noexcept
{
	total.submissions += part.submissions;
	total.flushes += part.flushes;
	total.completions += part.completions;
	total.error_completions += part.error_completions;
	total.progress_calls += part.progress_calls;
	total.productive_progress_calls += part.productive_progress_calls;
}

// Call with the mutex held.
kova_test_counters process_totals(control_state &s) noexcept
{
	kova_test_counters total = s.retired;
	for (const kova_pe *pe : s.live_engines)
		add(total, engine_counters(pe));
	return total;
}

template <typename Entry, typename Match>
bool take_one(std::vector<Entry> &entries, Match match, Entry *taken)
{
	for (auto it = entries.begin(); it != entries.end(); ++it) {
		if (!match(*it))
			continue;
		*taken = *it;
		if (--it->remaining == 0)
			entries.erase(it);
		return true;
	}
	return false;
}

} // namespace

kova_error submit_fault(const kova_ctx *ctx, uint32_t call) noexcept
{
	control_state &s = state();
	std::lock_guard const lock{s.mutex};
	submit_injection taken{};
	bool const found = take_one(
		s.submits,
		[&](const submit_injection &i) { return (i.ctx == nullptr || i.ctx == ctx) && (i.calls & call) != 0; },
		&taken);
	update_active(s);
	return found ? taken.result : kova_error{KOVA_SUCCESS};
}

namespace {

void wait_completion_delay(uint64_t delay_ns) noexcept
{
	auto const until = std::chrono::steady_clock::now() + std::chrono::nanoseconds{delay_ns};
	while (std::chrono::steady_clock::now() < until) {
	}
}

} // namespace

kova_error completion_fault(const kova_ctx *ctx) noexcept
{
	control_state &s = state();
	uint64_t const delay_ns = s.completion_delay_ns.load(std::memory_order_relaxed);
	if (delay_ns != 0)
		wait_completion_delay(delay_ns);
	std::lock_guard const lock{s.mutex};
	completion_injection taken{};
	bool const found = take_one(
		s.completions, [&](const completion_injection &i) { return i.ctx == nullptr || i.ctx == ctx; }, &taken);
	update_active(s);
	return found ? taken.status : kova_error{KOVA_SUCCESS};
}

bool completions_held() noexcept
{
	return state().hold.load(std::memory_order_relaxed);
}

void register_pe(kova_pe *pe)
{
	control_state &s = state();
	std::lock_guard const lock{s.mutex};
	s.live_engines.push_back(pe);
}

void retire_pe(kova_pe *pe) noexcept
{
	control_state &s = state();
	std::lock_guard const lock{s.mutex};
	auto const it = std::find(s.live_engines.begin(), s.live_engines.end(), pe);
	if (it != s.live_engines.end())
		s.live_engines.erase(it);
	add(s.retired, engine_counters(pe));
}

void note_num_tasks(uint32_t num_tasks) noexcept
{
	state().last_num_tasks.store(num_tasks, std::memory_order_relaxed);
}

void note_refused_release() noexcept
{
	state().refused_releases.fetch_add(1, std::memory_order_relaxed);
}

} // namespace kova::sdk::test

namespace kova::sdk {

kova_error control_call(const char *function, bool has_argument, uint64_t argument) noexcept
{
	if (!test::active())
		return KOVA_SUCCESS;
	test::control_state &s = test::state();
	std::lock_guard const lock{s.mutex};
	try {
		if (s.trace_enabled) {
			s.trace += function;
			if (has_argument) {
				s.trace += '(';
				s.trace += std::to_string(argument);
				s.trace += ')';
			}
			s.trace += "\n";
		}
	} catch (...) {
		// A trace that cannot grow loses the line; the call itself goes on.
	}
	test::forced_result taken{};
	bool const found =
		test::take_one(s.forced, [&](const test::forced_result &f) { return f.function == function; }, &taken);
	test::update_active(s);
	return found ? taken.result : kova_error{KOVA_SUCCESS};
}

kova_error capability_answer(const char *query, kova_error answer) noexcept
{
	if (!test::active())
		return answer;
	test::control_state &s = test::state();
	std::lock_guard const lock{s.mutex};
	for (const auto &o : s.overrides) {
		if (o.query == query)
			return o.result;
	}
	return answer;
}

kova_error capability_value(const char *query, uint64_t value, uint64_t *out) noexcept
{
	if (test::active()) {
		test::control_state &s = test::state();
		std::lock_guard const lock{s.mutex};
		for (const auto &o : s.overrides) {
			if (o.query != query)
				continue;
			if (o.result != KOVA_SUCCESS)
				return o.result;
			value = o.value;
			break;
		}
	}
	*out = value;
	return KOVA_SUCCESS;
}

} // namespace kova::sdk

using kova::sdk::test::control_state;
using kova::sdk::test::state;
using kova::sdk::test::update_active;

KOVA_EXPORT void kova_test_reset(void)
{
	kova::sdk::device_table_replace(kova::sdk::default_device_table());
	control_state &s = state();
	std::lock_guard const lock{s.mutex};
	s.submits.clear();
	s.completions.clear();
	s.forced.clear();
	s.overrides.clear();
	s.trace_enabled = false;
	s.trace.clear();
	s.hold.store(false, std::memory_order_relaxed);
	s.completion_delay_ns.store(0, std::memory_order_relaxed);
	s.last_num_tasks.store(0, std::memory_order_relaxed);
	s.refused_releases.store(0, std::memory_order_relaxed);
	s.baseline = kova::sdk::test::process_totals(s);
	update_active(s);
	kova::sdk::eth::reset_counters();
	kova::sdk::comch::reset_counters();
}

KOVA_EXPORT kova_error kova_test_set_device_table(const struct kova_test_device *devices, uint32_t count)
{
	if (devices == nullptr && count != 0)
		return KOVA_ERROR_INVALID_VALUE;
	std::vector<kova_devinfo> table;
	for (uint32_t i = 0; i < count; ++i) {
		const kova_test_device &d = devices[i];
		kova_devinfo info{};
		if (!kova::sdk::parse_pci_address(d.pci_addr, &info.address) || d.ibdev_name == nullptr ||
		    d.iface_name == nullptr || std::strlen(d.ibdev_name) >= sizeof(info.ibdev_name) ||
		    std::strlen(d.iface_name) >= sizeof(info.iface_name) || d.num_reps > kova::sdk::max_reps_per_device ||
		    (d.num_reps != 0 && d.rep_pci_addrs == nullptr))
			return KOVA_ERROR_INVALID_VALUE;
		std::strcpy(info.ibdev_name, d.ibdev_name);
		std::strcpy(info.iface_name, d.iface_name);
		info.rep_filter_net_supported = d.rep_filter_net_supported != 0 ? 1 : 0;
		info.num_reps = d.num_reps;
		for (uint32_t r = 0; r < d.num_reps; ++r) {
			if (!kova::sdk::parse_pci_address(d.rep_pci_addrs[r], &info.reps[r]))
				return KOVA_ERROR_INVALID_VALUE;
		}
		table.push_back(info);
	}
	kova::sdk::device_table_replace(std::move(table));
	return KOVA_SUCCESS;
}

KOVA_EXPORT void kova_test_inject_completion_status(const kova_ctx *ctx, kova_error status, uint32_t count)
{
	if (status == KOVA_SUCCESS || count == 0)
		return;
	control_state &s = state();
	std::lock_guard const lock{s.mutex};
	s.completions.push_back({ctx, status, count});
	update_active(s);
}

KOVA_EXPORT void kova_test_inject_submit_result(const kova_ctx *ctx, uint32_t calls, kova_error result, uint32_t count)
{
	if (result == KOVA_SUCCESS || count == 0 || calls == 0)
		return;
	control_state &s = state();
	std::lock_guard const lock{s.mutex};
	s.submits.push_back({ctx, calls, result, count});
	update_active(s);
}

KOVA_EXPORT void kova_test_hold_completions(uint8_t hold)
{
	control_state &s = state();
	std::lock_guard const lock{s.mutex};
	s.hold.store(hold != 0, std::memory_order_relaxed);
	update_active(s);
}

KOVA_EXPORT void kova_test_delay_completions(uint64_t delay_ns)
{
	control_state &s = state();
	std::lock_guard const lock{s.mutex};
	s.completion_delay_ns.store(delay_ns, std::memory_order_relaxed);
	update_active(s);
}

KOVA_EXPORT void kova_test_force_result(const char *function, kova_error result, uint32_t count)
{
	if (function == nullptr || count == 0)
		return;
	control_state &s = state();
	std::lock_guard const lock{s.mutex};
	s.forced.push_back({function, result, count});
	update_active(s);
}

KOVA_EXPORT void kova_test_override_capability(const char *query, kova_error result, uint64_t value)
{
	if (query == nullptr)
		return;
	control_state &s = state();
	std::lock_guard const lock{s.mutex};
	auto const it = std::find_if(s.overrides.begin(), s.overrides.end(),
				     [&](const kova::sdk::test::capability_override &o) { return o.query == query; });
	if (it != s.overrides.end())
		*it = {query, result, value};
	else
		s.overrides.push_back({query, result, value});
	update_active(s);
}

KOVA_EXPORT void kova_test_trace_enable(uint8_t enable)
{
	control_state &s = state();
	std::lock_guard const lock{s.mutex};
	if (enable != 0)
		s.trace.clear();
	s.trace_enabled = enable != 0;
	update_active(s);
}

KOVA_EXPORT size_t kova_test_trace_read(char *buffer, size_t len)
{
	control_state &s = state();
	std::lock_guard const lock{s.mutex};
	if (buffer != nullptr && len != 0) {
		std::size_t const n = std::min(len - 1, s.trace.size());
		std::memcpy(buffer, s.trace.data(), n);
		buffer[n] = '\0';
	}
	return s.trace.size();
}

KOVA_EXPORT kova_error kova_test_pe_get_counters(const kova_pe *pe, struct kova_test_counters *counters)
{
	if (pe == nullptr || counters == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*counters = kova::sdk::test::engine_counters(pe);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_test_ctx_get_counters(const kova_ctx *ctx, struct kova_test_counters *counters)
{
	if (ctx == nullptr || counters == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*counters = kova_test_counters{ctx->counters.submissions.get(), ctx->counters.flushes.get(),
				       ctx->counters.completions.get(), ctx->counters.error_completions.get(), 0, 0};
	return KOVA_SUCCESS;
}

KOVA_EXPORT void kova_test_get_counters(struct kova_test_counters *counters)
{
	if (counters == nullptr)
		return;
	control_state &s = state();
	std::lock_guard const lock{s.mutex};
	kova_test_counters const total = kova::sdk::test::process_totals(s);
	*counters = kova_test_counters{total.submissions - s.baseline.submissions,
				       total.flushes - s.baseline.flushes,
				       total.completions - s.baseline.completions,
				       total.error_completions - s.baseline.error_completions,
				       total.progress_calls - s.baseline.progress_calls,
				       total.productive_progress_calls - s.baseline.productive_progress_calls};
}

KOVA_EXPORT kova_error kova_test_ctx_get_num_tasks(const kova_ctx *ctx, uint32_t *configured, uint32_t *allocated)
{
	if (ctx == nullptr || configured == nullptr || allocated == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*configured = 0;
	*allocated = 0;
	for (uint32_t i = 0; i < ctx->num_kinds; ++i) {
		*configured += ctx->kinds[i]->num_tasks;
		*allocated += ctx->kinds[i]->num_allocated;
	}
	return KOVA_SUCCESS;
}

KOVA_EXPORT uint64_t kova_test_get_refused_releases(void)
{
	return state().refused_releases.load(std::memory_order_relaxed);
}

KOVA_EXPORT uint32_t kova_test_get_last_num_tasks(void)
{
	return state().last_num_tasks.load(std::memory_order_relaxed);
}
