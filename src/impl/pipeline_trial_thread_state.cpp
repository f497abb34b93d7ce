// One trial thread: its buffer, map, engine and steps, and the measurement of its pipeline's jobs.
#include "impl/pipeline_trial_impl.hpp"

#include "companion/api/request_or_throw.hpp"
#include "impl/async_poll_loop.hpp"
#include "impl/run_timing.hpp"
#include "runtime_state.hpp"
#include "step/factory.hpp"
#include "utility/async/sequence.hpp"
#include "utility/kova_utils.hpp"

#include <kova/buf.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string_view>

namespace kova::bench::impl {
namespace {

using clock_type = std::chrono::steady_clock;

constexpr uint64_t page_size = 4096;
constexpr auto stall_limit = default_stall_limit;

// The steps that transform their data and therefore run in the trial; every other step passes
// the job on unchanged.
constexpr std::array<std::string_view, 8> executed_steps{
	"kova_aes_gcm::encrypt", "kova_aes_gcm::decrypt", "kova_compress::compress", "kova_compress::decompress",
	"kova_ec::create",       "kova_ec::update",       "kova_ec::recover",        "kova_sha",
};

bool is_executed_step(const std::string &name)
{
	return std::find(executed_steps.begin(), executed_steps.end(), name) != executed_steps.end();
}

// Room for the largest job in each window, and never less than the minimum.
uint64_t window_size_for(const utility::pipeline_info &pipeline)
{
	uint64_t largest = 0;
	for (auto const &job : pipeline.jobs)
		largest = std::max(largest, job.size);
	uint64_t const rounded = (largest + page_size - 1) / page_size * page_size;
	return std::max(pipeline_trial::impl::thread_state::min_window_size, rounded);
}

// Returns a buffer to the inventory when it goes out of scope.
class buffer_hold {
public:
	explicit buffer_hold(kova_buf *&buf) noexcept : m_buf{buf} {}
	buffer_hold(const buffer_hold &) = delete;
	buffer_hold &operator=(const buffer_hold &) = delete;
	~buffer_hold()
	{
		if (m_buf != nullptr)
			static_cast<void>(kova_buf_dec_refcount(m_buf, nullptr));
		m_buf = nullptr;
	}

private:
	kova_buf *&m_buf;
};

uint32_t data_length(const kova_buf *buf)
{
	size_t length = 0;
	if (kova_error const err = kova_buf_get_data_len(buf, &length))
		KOVA_THROW(err, "Unable to read the data length of a trial buffer");
	return static_cast<uint32_t>(length);
}

} // namespace

pipeline_trial::impl::thread_state::thread_state(runtime_state &state, utility::pipeline_info &pipeline,
						  const std::atomic<bool> &stop, std::atomic<bool> &setup_failed,
						  std::atomic<unsigned> &running)
	: m_state{state},
	  m_pipeline{pipeline},
	  m_stop{stop},
	  m_setup_failed{setup_failed},
	  m_running{running},
	  m_window_size{window_size_for(pipeline)},
	  m_buffer{3 * m_window_size},
	  m_mmap{utility::make_mmap(m_buffer, state.get_devices(), 7)},
	  m_inventory{utility::make_inventory(3)},
	  m_pe{utility::make_pe()}
{
	m_steps.reserve(pipeline.steps.size());
	for (auto const &definition : pipeline.steps) {
		step_record record;
		record.step = step::factory::create_step(definition.name, definition.attributes, state, m_pe.get(),
							 &process_result, &process_error, kova_data{nullptr});
		record.pe = m_pe.get();
		record.ranges = record.step->get_io_buffer_ranges();
		record.executed = is_executed_step(definition.name);
		record.step->set_mmaps(m_mmap.get(), m_mmap.get());
		m_steps.push_back(std::move(record));
	}
}

pipeline_trial::impl::thread_state::~thread_state()
{
	join();
	m_steps.clear();
}

void pipeline_trial::impl::thread_state::start()
{
	m_running.fetch_add(1);
	try {
		m_thread = std::thread{[this] { thread_proc(); }};
	} catch (const std::exception &error) {
		m_running.fetch_sub(1);
		KOVA_THROW(KOVA_ERROR_OPERATING_SYSTEM, std::string{"Unable to start pipeline trial thread: "} + error.what());
	}
}

void pipeline_trial::impl::thread_state::join() noexcept
{
	if (m_thread.joinable())
		m_thread.join();
}

void pipeline_trial::impl::thread_state::process_result(kova_task * /*task*/, kova_data /*task_user_data*/,
							 kova_data /*ctx_user_data*/)
{
}

void pipeline_trial::impl::thread_state::process_error(kova_task *task, kova_data task_user_data,
							kova_data /*ctx_user_data*/)
{
	kova_error const status = kova_task_get_status(task);
	std::fprintf(stderr, "Unrecoverable error(%s) when retrieving kova_task result\n", kova_error_get_name(status));
	std::fflush(stdout);
	std::fflush(stderr);
	auto *record = static_cast<step_record *>(task_user_data.ptr);
	record->failure = status != 0 ? status : kova_error{KOVA_ERROR_UNEXPECTED};
}

// The first error is kept: later phases often fail only because an earlier one did.
void pipeline_trial::impl::thread_state::keep_error(const kova::exception &error) noexcept
{
	if (!m_error.has_value())
		m_error.assign(error);
}

void pipeline_trial::impl::thread_state::thread_proc() noexcept
{
	auto const guarded = [this](void (thread_state::*phase)()) {
		try {
			(this->*phase)();
			return true;
		} catch (const kova::exception &error) {
			keep_error(error);
		} catch (...) {
			keep_error(kova::exception{KOVA_ERROR_UNEXPECTED,
						   "Unexpected exception thrown from pipeline_trial thread_proc", __FILE__,
						   "thread_proc", __LINE__});
		}
		return false;
	};

	if (guarded(&thread_state::async_init_steps)) {
		guarded(&thread_state::calculate_buffer_sizes_and_verify);
		guarded(&thread_state::async_cleanup_steps);
	}
	m_running.fetch_sub(1);
}

void pipeline_trial::impl::thread_state::async_init_steps()
{
	async_batch batch;
	batch.purpose = async_batch::kind::setup;
	batch.companion = m_state.get_companion_connection_async();
	batch.should_abort = [this] { return m_stop.load() || m_setup_failed.load(); };
	batch.on_failure = [this] { m_setup_failed.store(true); };
	run_async_batch(batch, [this](async_poller &poller) { add_step_sequences(poller, &step::object::start_async_setup); });

	bool const has_remote_workers = std::any_of(m_steps.begin(), m_steps.end(), [](const step_record &record) {
		return record.step->get_companion_worker_id() != 0;
	});
	if (!has_remote_workers)
		return;
	auto *context = m_state.get_companion_connection_async();
	if (context == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_CONNECTED, "Unable to start remote processes without a companion connection");
	companion::api::request_or_throw(companion::api::v1::start_workers_request{m_state.get_next_api_message_seq_num()},
					 *context, companion::api::companion_timeout_s, "Failed to start remote processes: ");
}

void pipeline_trial::impl::thread_state::async_cleanup_steps()
{
	async_batch batch;
	batch.purpose = async_batch::kind::teardown;
	batch.companion = m_state.get_companion_connection_async();
	batch.should_abort = [this] { return m_stop.load(); };
	run_async_batch(batch,
			[this](async_poller &poller) { add_step_sequences(poller, &step::object::start_async_teardown); });
}

// Only the steps that ran their set-up take part in the batches.
void pipeline_trial::impl::thread_state::add_step_sequences(async_poller &poller,
							     step_sequence_starter start)
{
	for (auto &record : m_steps) {
		if (!record.executed)
			continue;
		if (auto sequence = (*record.step.*start)())
			poller.add(std::move(sequence));
	}
}

kova_buf *pipeline_trial::impl::thread_state::prepare_output_buffer(kova_buf *output, const kova_buf *input,
								    kova_buf *&spare, const step_record &record)
{
	kova_buf **window = output == m_window_a ? &m_window_a : output == m_window_b ? &m_window_b : nullptr;
	if (window == nullptr || output == input) {
		// Not one of the windows this trial owns: only its data can be reset.
		if (kova_error const err = kova_buf_reset_data_len(output))
			KOVA_THROW(err, "Unable to reset a trial buffer");
		return output;
	}

	uint32_t const maximum = record.ranges.output.second;
	uint64_t const length = maximum == 0 ? m_window_size : std::min<uint64_t>(maximum, m_window_size);
	char *const start = reinterpret_cast<char *>(m_buffer.data()) + (window == &m_window_a ? 1 : 2) * m_window_size;

	// The SDK fixes a buffer's length when it hands it out, so the window is taken anew.
	static_cast<void>(kova_buf_dec_refcount(*window, nullptr));
	*window = nullptr;
	*window = utility::get_buffer(m_inventory.get(), m_mmap.get(), start, length);
	if (kova_error const err = kova_buf_reset_data_len(*window))
		KOVA_THROW(err, "Unable to reset a trial buffer");
	if (spare == output)
		spare = *window;
	return *window;
}

void pipeline_trial::impl::thread_state::run_task(step_record &record, kova_task *task)
{
	record.failure = 0;
	kova_error err = KOVA_ERROR_AGAIN;
	while (err == KOVA_ERROR_AGAIN)
		err = kova_task_try_submit(task);
	if (err != 0)
		KOVA_THROW(err, "Unable to submit trial task");

	auto const deadline = clock_type::now() + stall_limit;
	while (kova_pe_progress(record.pe) == 0) {
		if (m_stop.load())
			KOVA_THROW(KOVA_ERROR_SHUTDOWN, "Pipeline trial stopped while a task was in flight");
		if (clock_type::now() > deadline)
			KOVA_THROW(KOVA_ERROR_TIME_OUT, std::string{"Pipeline trial task of "} + record.step->get_name() +
								" did not complete within " + stall_limit_text());
		std::this_thread::sleep_for(std::chrono::microseconds{1});
	}
}

void pipeline_trial::impl::thread_state::calculate_buffer_sizes_and_verify()
{
	char *const base = reinterpret_cast<char *>(m_buffer.data());
	buffer_hold const hold_a{m_window_a};
	buffer_hold const hold_b{m_window_b};
	m_window_a = utility::get_buffer(m_inventory.get(), m_mmap.get(), base + m_window_size, m_window_size);
	m_window_b = utility::get_buffer(m_inventory.get(), m_mmap.get(), base + 2 * m_window_size, m_window_size);

	for (auto &job : m_pipeline.jobs) {
		kova_buf *input = utility::get_buffer(m_inventory.get(), m_mmap.get(), base, job.size);
		buffer_hold const hold_input{input};
		static_cast<void>(kova_buf_reset_data_len(m_window_a));
		static_cast<void>(kova_buf_reset_data_len(m_window_b));
		if (job.size != 0)
			std::memcpy(base, job.data, job.size);

		const kova_buf *current_input = input;
		kova_buf *current_output = m_window_a;
		kova_buf *current_spare = m_window_b;
		for (auto &record : m_steps) {
			if (!record.executed) {
				job.output_size = std::max(job.output_size, data_length(current_input));
				continue;
			}
			current_output = prepare_output_buffer(current_output, current_input, current_spare, record);
			auto const set = record.step->create_task_set(current_input, current_output, current_spare,
								      kova_data{&record});
			// On a failure a task still in flight is drained by the step's destructor.
			run_task(record, set.task);
			record.step->destroy_all_tasks();
			if (record.failure != 0)
				KOVA_THROW(record.failure, std::string{"Pipeline trial task of "} + record.step->get_name() +
								   " failed");
			job.output_size = std::max({job.output_size, record.ranges.output.first, data_length(current_output)});
			current_input = set.next_input;
			current_output = set.next_output;
			current_spare = set.next_spare;
		}
	}
}

} // namespace kova::bench::impl
