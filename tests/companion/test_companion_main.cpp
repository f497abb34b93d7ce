// kova_bench_companion as the tests run it: the shipped worker types plus types that exist only
// for tests, and short waits so that time-outs and keep-alives show within a test.
#include "companion/companion_program.hpp"
#include "companion/worker/worker_command_map.hpp"
#include "kova_exception.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace wk = kova::bench::companion::worker;

// Runs until terminated; echoes its command map into its reply fields. With "fail" = "thread" its
// thread fails at once, with "fail" = "async-init" its set-up does.
class test_worker : public wk::worker {
public:
	test_worker(uint32_t id, const wk::attribute_map &attributes) : m_id{id}, m_attributes{attributes} {}

	void populate_create_worker_response_fields(wk::attribute_map &fields) override
	{
		for (auto const &[key, value] : m_attributes)
			fields[key] = value;
		wk::write_number(fields, "worker-id", m_id);
	}

	void thread_proc() override
	{
		if (fails_in("thread"))
			KOVA_THROW(KOVA_ERROR_IO_FAILED, "test worker lost its peer");
		while (!m_terminate.load())
			std::this_thread::sleep_for(std::chrono::milliseconds{1});
	}

	void terminate() override { m_terminate.exchange(true); }

	void start_async_init() override
	{
		if (fails_in("async-init"))
			KOVA_THROW(KOVA_ERROR_NO_MEMORY, "test worker set-up failed");
	}

	[[nodiscard]] uint32_t get_id() const override { return m_id; }
	[[nodiscard]] const char *get_type() const override { return "test_worker"; }

private:
	bool fails_in(const char *where) const
	{
		auto const found = m_attributes.find("fail");
		return found != m_attributes.end() && found->second == where;
	}

	uint32_t m_id;
	wk::attribute_map m_attributes;
	std::atomic<bool> m_terminate{false};
};

std::unique_ptr<wk::worker> make_test_worker(uint32_t id, const wk::attribute_map &attributes,
						 kova::bench::companion::runtime_state &)
{
	// A number the way a family parser reads it: refused with KOVA_ERROR_INVALID_VALUE unless it fits 32 bits.
	if (auto const found = attributes.find("count"); found != attributes.end())
		wk::number_or_throw(found->second, "create_test_worker_command", "count");
	return std::make_unique<test_worker>(id, attributes);
}

std::unique_ptr<wk::worker> make_nothing(uint32_t, const wk::attribute_map &,
					     kova::bench::companion::runtime_state &)
{
	return nullptr;
}

std::unique_ptr<wk::worker> throw_bad_alloc(uint32_t, const wk::attribute_map &,
						kova::bench::companion::runtime_state &)
{
	throw std::bad_alloc{};
}

std::unique_ptr<wk::worker> throw_std_exception(uint32_t, const wk::attribute_map &,
						    kova::bench::companion::runtime_state &)
{
	throw std::invalid_argument{"stoul"};
}

} // namespace

int main(int argc, char **argv)
{
	using namespace kova::bench::companion;
	namespace wk = kova::bench::companion::worker;
	std::vector<wk::worker_type> types(wk::shipped_worker_types().begin(), wk::shipped_worker_types().end());
	types.push_back({"test_worker", &make_test_worker});
	types.push_back({"test_nothing", &make_nothing});
	types.push_back({"test_bad_alloc", &throw_bad_alloc});
	types.push_back({"test_std_exception", &throw_std_exception});
	companion_timing timing;
	timing.accept = std::chrono::seconds{30};
	timing.hello = std::chrono::seconds{5};
	timing.loop.first_keep_alive = std::chrono::seconds{1};
	timing.loop.keep_alive = std::chrono::seconds{1};
	return run_companion(argc, argv, types, timing);
}
