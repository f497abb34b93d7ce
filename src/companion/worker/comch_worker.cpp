#include "companion/worker/comch_worker.hpp"

#include "companion/worker/worker_command_map.hpp"
#include "kova_exception.hpp"
#include "utility/async/error_text.hpp"
#include "utility/kova_utils.hpp"

#include <kova/buf.h>
#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <utility>

namespace kova::bench::companion::worker {
namespace {

constexpr const char *command_record = "create_comch_worker_command";
constexpr const char *key_buffer_size = "buffer_size";
constexpr const char *key_buffer_count = "buffer_count";
constexpr const char *key_server_name = "server_name";
constexpr const char *key_recv_queue_size = "recv_queue_size";
constexpr const char *key_max_msg_size = "max_msg_size";
constexpr uint8_t send_pattern = 0xa5;

void sleep_for(std::chrono::nanoseconds pause) noexcept
{
	timespec wanted{static_cast<time_t>(pause.count() / 1'000'000'000), static_cast<long>(pause.count() % 1'000'000'000)};
	timespec left{};
	while (::nanosleep(&wanted, &left) != 0 && errno == EINTR)
		wanted = left;
}

const dl::kova_comch_api *api_or_throw()
{
	const dl::kova_comch_api *api = dl::kova_comch_api::singleton();
	if (api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_comch library is not installed");
	return api;
}

// Buffer size x count in 64 bits, against 32 bits and the device's limits of the role.
void check_sizes(const dl::kova_comch_api &api, kova_dev *device, const create_comch_worker_command &command,
		 bool is_producer)
{
	if (command.buffer_count == 0)
		return;
	if (command.buffer_size == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "comch worker buffer size must not be 0");
	uint64_t const region = uint64_t{command.buffer_size} * command.buffer_count;
	if (region > UINT32_MAX)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "comch worker buffers of " + std::to_string(command.buffer_size) +
							     " x " + std::to_string(command.buffer_count) +
							     " bytes do not fit 4294967295 bytes");
	const kova_devinfo *devinfo = kova_dev_as_devinfo(device);
	uint32_t max_size = 0;
	uint32_t max_tasks = 0;
	kova_error size_err = is_producer ? api.kova_comch_producer_cap_get_max_buf_size(devinfo, &max_size)
					  : api.kova_comch_consumer_cap_get_max_buf_size(devinfo, &max_size);
	kova_error tasks_err = is_producer ? api.kova_comch_producer_cap_get_max_num_tasks(devinfo, &max_tasks)
					   : api.kova_comch_consumer_cap_get_max_num_tasks(devinfo, &max_tasks);
	if (size_err == KOVA_SUCCESS && command.buffer_size > max_size)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "comch worker buffer size " + std::to_string(command.buffer_size) +
							     " is above the device's limit of " + std::to_string(max_size));
	if (tasks_err == KOVA_SUCCESS && command.buffer_count > max_tasks)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "comch worker buffer count " + std::to_string(command.buffer_count) +
							     " is above the device's limit of " + std::to_string(max_tasks));
}

// The SDK objects want at least one task; a worker without buffers makes none of them.
uint32_t sdk_task_count(const create_comch_worker_command &command) noexcept
{
	return command.buffer_count != 0 ? command.buffer_count : 1;
}

} // namespace

attribute_map create_comch_worker_command_to_map(const create_comch_worker_command &command)
{
	attribute_map map;
	write_number(map, key_buffer_size, command.buffer_size);
	write_number(map, key_buffer_count, command.buffer_count);
	map[key_server_name] = command.server_name;
	write_number(map, key_recv_queue_size, command.recv_queue_size);
	write_number(map, key_max_msg_size, command.max_msg_size);
	return map;
}

create_comch_worker_command create_comch_worker_command_from_map(const attribute_map &map)
{
	create_comch_worker_command command;
	command.buffer_size = number_or_throw(map, key_buffer_size, command_record);
	command.buffer_count = number_or_throw(map, key_buffer_count, command_record);
	command.server_name = find_or_throw(map, key_server_name, command_record);
	command.recv_queue_size = number_or_throw(map, key_recv_queue_size, command_record);
	command.max_msg_size = number_or_throw(map, key_max_msg_size, command_record);
	return command;
}

// Hands the endpoint, consumer and producer of a finished set-up to the worker.
class comch_worker_base::finalize_async_activity final : public utility::commch_async_activity {
public:
	finalize_async_activity(utility::comch_async_context *context, comch_worker_base *worker)
		: commch_async_activity{context}, m_worker{worker}
	{
	}

	void start() override
	{
		cold_data &cold = *m_worker->m_cold;
		cold.consumer_ctx = m_context->consumer_ctx;
		cold.endpoint = std::move(m_context->endpoint);
		cold.consumer = std::move(m_context->consumer);
		cold.producer = std::move(m_context->producer);
		cold.context.reset();
	}

	void abort() override {}

	bool progress(utility::async::sequence_callbacks &callbacks) override
	{
		callbacks.notify_sequence_success();
		return true;
	}

	void on_api_error(const api::v1::error_response &error) override { fail("finalize_async_activity", error); }
	void on_api_message(const api::message_buffer &message) override { fail("finalize_async_activity", message); }

private:
	comch_worker_base *m_worker;
};

comch_worker_base::comch_worker_base(uint32_t id, const attribute_map &attributes, kova_dev *device,
				     kova_dev_rep *representor, const comch_worker_timing &timing, bool is_producer)
	: m_cold{std::make_unique<cold_data>()}
{
	cold_data &cold = *m_cold;
	cold.api = api_or_throw();
	cold.timing = timing;
	if (cold.timing.submit == nullptr)
		cold.timing.submit = kova_task_submit;
	cold.id = id;
	if (device == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "dev must not be null");
	cold.command = create_comch_worker_command_from_map(attributes);
	const create_comch_worker_command &command = cold.command;
	check_sizes(*cold.api, device, command, is_producer);
	cold.device = device;
	cold.representor = representor;

	// A worker without buffers still maps a small region: the consumer needs a map to exist.
	uint64_t const region = uint64_t{command.buffer_size} * command.buffer_count;
	cold.region.resize(region != 0 ? region : 64);
	if (is_producer)
		std::memset(cold.region.data(), send_pattern, cold.region.size());
	cold.mmap = utility::make_mmap(cold.region, utility::span<kova_dev *>{&cold.device, 1},
				       kova::optional<uint32_t>{32U});
	cold.inventory = utility::make_inventory(command.buffer_count != 0 ? command.buffer_count : 1);
	cold.pe = utility::make_pe();
	m_pe = cold.pe.get();

	cold.context = std::make_unique<utility::comch_async_context>();
	utility::comch_endpoint::configuration const cfg{command.server_name, command.buffer_size,
							  sdk_task_count(command), command.recv_queue_size,
							  command.max_msg_size};
	uint32_t *remote_consumer_id = &cold.remote_consumer_id;
	utility::comch_endpoint::callbacks cbs{
		[remote_consumer_id](utility::comch_endpoint *, uint32_t consumer_id) {
			*remote_consumer_id = consumer_id;
		},
		[remote_consumer_id](utility::comch_endpoint *, uint32_t consumer_id) {
			if (*remote_consumer_id == consumer_id)
				*remote_consumer_id = 0;
		}};
	cold.context->endpoint = std::make_unique<utility::comch_endpoint>(cfg, std::move(cbs), device, representor);
	cold.context->pe = m_pe;
	cold.context->remote_consumer_id = remote_consumer_id;
}

comch_worker_base::~comch_worker_base()
{
	cold_data &cold = *m_cold;
	// The set-up thread sees the flag and ends its sequence first.
	m_terminate.store(true);
	release_setup_thread();
	if (cold.producer != nullptr) {
		// Let the remote consumer expire before the producer goes; a peer that never releases it is
		// given the same bound as a teardown.
		auto const deadline = std::chrono::steady_clock::now() + utility::peer_release_timeout;
		try {
			while (cold.endpoint != nullptr && cold.endpoint->get_connected_consumer_count() != 0 &&
			       std::chrono::steady_clock::now() < deadline)
				cold.endpoint->poll();
		} catch (const kova::exception &e) {
			std::cerr << "comch worker " << cold.id << ": " << e.what() << '\n';
		}
	}
	cold.task_count = 0;
	// The consumer and producer stop their contexts and free their tasks before the buffers the
	// tasks point into go.
	cold.consumer.reset();
	cold.producer.reset();
	for (kova_buf *buf : cold.buffers)
		static_cast<void>(kova_buf_dec_refcount(buf, nullptr));
	cold.buffers.clear();
	cold.sequence.reset();
	cold.context.reset();
	cold.pe.reset();
	cold.mmap.reset();
	cold.inventory.reset();
	cold.endpoint.reset();
}

void comch_worker_base::populate_create_worker_response_fields(attribute_map & /*fields*/) {}

void comch_worker_base::terminate()
{
	m_terminate.exchange(true);
}

uint32_t comch_worker_base::get_id() const
{
	return m_cold->id;
}

void comch_worker_base::start_async_init()
{
	m_cold->setup_thread = std::make_unique<std::thread>([this] { async_init(); });
}

void comch_worker_base::release_setup_thread() noexcept
{
	if (m_cold->setup_thread != nullptr && m_cold->setup_thread->joinable())
		m_cold->setup_thread->join();
	m_cold->setup_thread.reset();
}

void comch_worker_base::async_init() noexcept
{
	cold_data &cold = *m_cold;
	try {
		run_setup();
	} catch (const kova::exception &e) {
		cold.setup_error = {true, e.code(), e.what()};
		std::cerr << "Async init failed: " << e.what() << std::endl;
	} catch (const std::exception &e) {
		cold.setup_error = {true, KOVA_ERROR_UNEXPECTED, e.what()};
		std::cerr << "Async init failed: " << e.what() << std::endl;
	}
}

void comch_worker_base::run_setup()
{
	cold_data &cold = *m_cold;
	cold.sequence = std::make_unique<utility::async::sequence>(
		static_cast<uint32_t>(std::chrono::ceil<std::chrono::seconds>(cold.timing.setup_limit).count()));
	if (cold.context == nullptr)
		KOVA_THROW(KOVA_ERROR_BAD_STATE, "comch worker set-up did not complete");
	cold.context->sequence = cold.sequence.get();
	cold.context->pe = m_pe;
	cold.context->remote_consumer_id = &cold.remote_consumer_id;
	create_async_activities(cold.sequence.get(), cold.context.get());
	cold.sequence->start("wait_for_endpoint_context_running");

	auto const deadline = std::chrono::steady_clock::now() + cold.timing.setup_limit;
	kova_error stop_code = KOVA_SUCCESS;
	const char *stop_text = nullptr;
	for (;;) {
		auto const result = cold.sequence->poll();
		if (result == utility::async::poll_result::has_result) {
			std::printf("[%s worker %u] connected on %s\n", get_type(), cold.id, cold.command.server_name.c_str());
			std::fflush(stdout);
			return;
		}
		if (result == utility::async::poll_result::has_failed)
			break;
		if (stop_code == KOVA_SUCCESS) {
			if (m_terminate.load()) {
				stop_code = KOVA_ERROR_SHUTDOWN;
				stop_text = "Aborted";
			} else if (std::chrono::steady_clock::now() >= deadline) {
				stop_code = KOVA_ERROR_TIME_OUT;
				stop_text = "Timed out";
			}
			if (stop_code != KOVA_SUCCESS) {
				cold.sequence->abort();
				continue;
			}
		}
		sleep_for(std::chrono::milliseconds{10});
	}
	auto const &errors = cold.sequence->get_errors();
	std::cerr << "Async init failed: " << utility::format_errors(errors) << std::endl;
	if (stop_code != KOVA_SUCCESS)
		cold.setup_error = {true, stop_code, stop_text};
	else if (errors.empty())
		cold.setup_error = {true, KOVA_ERROR_UNEXPECTED, "comch worker set-up did not complete"};
	else
		cold.setup_error = {true, errors.front().code, errors.front().message};
}

void comch_worker_base::carve_buffers()
{
	cold_data &cold = *m_cold;
	uint32_t const size = cold.command.buffer_size;
	cold.buffers.reserve(cold.command.buffer_count);
	cold.tasks.assign(cold.command.buffer_count, nullptr);
	for (uint32_t i = 0; i < cold.command.buffer_count; ++i) {
		auto *at = reinterpret_cast<char *>(cold.region.data()) + uint64_t{i} * size;
		kova_buf *buf = nullptr;
		if (kova_error const err = kova_buf_inventory_buf_get_by_args(cold.inventory.get(), cold.mmap.get(), at,
									      size, at, size, &buf))
			KOVA_THROW(err, "Unable to allocate KOVA buf");
		cold.buffers.push_back(buf);
		cold.tasks[i] = create_task(buf);
		cold.task_count = i + 1;
	}
}

void comch_worker_base::submit_initial_tasks()
{
	cold_data &cold = *m_cold;
	for (uint32_t i = 0; i < cold.task_count; ++i) {
		uint32_t attempts = 0;
		for (;;) {
			kova_error const err = cold.timing.submit(cold.tasks[i]);
			if (err == KOVA_SUCCESS)
				break;
			std::string const text = "Unable to submit initial task[" + std::to_string(i) + "]";
			if (err != KOVA_ERROR_AGAIN)
				KOVA_THROW(err, text);
			if (++attempts >= cold.timing.submit_attempts) {
				std::fputs("Failed to submit initial task after 3 seconds\n", stderr);
				KOVA_THROW(KOVA_ERROR_IO_FAILED, text);
			}
			sleep_for(cold.timing.submit_retry_pause);
		}
	}
}

void comch_worker_base::thread_proc()
{
	release_setup_thread();
	cold_data &cold = *m_cold;
	if (cold.setup_error.failed)
		KOVA_THROW(cold.setup_error.code, cold.setup_error.text);
	if (cold.consumer == nullptr && cold.producer == nullptr)
		KOVA_THROW(KOVA_ERROR_BAD_STATE, "comch worker set-up did not complete");
	carve_buffers();
	submit_initial_tasks();
	for (;;) {
		if (kova_pe_progress(m_pe) != 0)
			continue;
		if (m_terminate.load(std::memory_order_relaxed))
			break;
	}
	if (cold.first_task_error != KOVA_SUCCESS)
		KOVA_THROW(cold.first_task_error, std::string{"Unable to resubmit "} + get_type() + " task");
}

void comch_worker_base::note_resubmit_failure(kova_error code) noexcept
{
	if (m_terminate.exchange(true))
		return;
	m_cold->first_task_error = code;
}

comch_consumer_worker::comch_consumer_worker(uint32_t id, const attribute_map &attributes, kova_dev *device,
					     kova_dev_rep *representor, const comch_worker_timing &timing)
	: comch_worker_base{id, attributes, device, representor, timing, false},
	  m_as_task{m_cold->api->kova_comch_consumer_task_post_recv_as_task}
{
}

const char *comch_consumer_worker::get_type() const
{
	return "comch_consumer";
}

kova_task *comch_consumer_worker::create_task(kova_buf *buffer)
{
	// The buffer rides as task user data, so that a completion can reset it.
	kova_buf_reset_data_len(buffer);
	return m_as_task(m_cold->consumer->create_task(buffer, kova_data{.ptr = buffer}));
}

void comch_consumer_worker::create_async_activities(utility::async::sequence *sequence,
						     utility::comch_async_context *context)
{
	cold_data &cold = *m_cold;
	sequence->register_activity("wait_for_endpoint_context_running",
				    std::make_unique<utility::wait_for_endpoint_context_running>(context));
	sequence->register_activity("wait_for_endpoint_connection",
				    std::make_unique<utility::wait_for_endpoint_connection>(context, "create_consumer_activity"));
	sequence->register_activity(
		"create_consumer_activity",
		std::make_unique<utility::create_consumer_activity>(
			context, "finalize_async_activity",
			utility::comch_consumer::configuration{sdk_task_count(cold.command), cold.command.recv_queue_size,
							       cold.command.buffer_size},
			utility::comch_consumer::callbacks{on_task_complete, on_task_error}, kova_data{.ptr = this},
			cold.mmap.get()));
	sequence->register_activity("finalize_async_activity", std::make_unique<finalize_async_activity>(context, this));
}

void comch_consumer_worker::on_task_complete(kova_task *task, kova_data task_user_data, kova_data ctx_user_data)
{
	kova_buf_reset_data_len(static_cast<kova_buf *>(task_user_data.ptr));
	static_cast<comch_consumer_worker *>(ctx_user_data.ptr)->resubmit(task);
}

void comch_consumer_worker::on_task_error(kova_task *task, kova_data /*task_user_data*/, kova_data ctx_user_data)
{
	static_cast<void>(task);
	static_cast<comch_consumer_worker *>(ctx_user_data.ptr)->m_terminate.store(true);
}

comch_producer_worker::comch_producer_worker(uint32_t id, const attribute_map &attributes, kova_dev *device,
					     kova_dev_rep *representor, const comch_worker_timing &timing)
	: comch_worker_base{id, attributes, device, representor, timing, true},
	  m_as_task{m_cold->api->kova_comch_producer_task_send_as_task}
{
}

const char *comch_producer_worker::get_type() const
{
	return "comch_producer";
}

kova_task *comch_producer_worker::create_task(kova_buf *buffer)
{
	return m_as_task(m_cold->producer->create_task(buffer, kova_data{.u64 = 0}, m_cold->remote_consumer_id));
}

void comch_producer_worker::create_async_activities(utility::async::sequence *sequence,
						     utility::comch_async_context *context)
{
	cold_data &cold = *m_cold;
	sequence->register_activity("wait_for_endpoint_context_running",
				    std::make_unique<utility::wait_for_endpoint_context_running>(context));
	sequence->register_activity("wait_for_endpoint_connection",
				    std::make_unique<utility::wait_for_endpoint_connection>(context, "create_producer_activity"));
	sequence->register_activity(
		"create_producer_activity",
		std::make_unique<utility::create_producer_activity>(
			context, "finalize_async_activity",
			utility::comch_producer::configuration{sdk_task_count(cold.command), cold.command.recv_queue_size,
							       cold.command.buffer_size},
			utility::comch_producer::callbacks{on_task_complete, on_task_error}, kova_data{.ptr = this}));
	sequence->register_activity("finalize_async_activity", std::make_unique<finalize_async_activity>(context, this));
}

void comch_producer_worker::on_task_complete(kova_task *task, kova_data /*task_user_data*/, kova_data ctx_user_data)
{
	static_cast<comch_producer_worker *>(ctx_user_data.ptr)->resubmit(task);
}

void comch_producer_worker::on_task_error(kova_task *task, kova_data /*task_user_data*/, kova_data ctx_user_data)
{
	static_cast<void>(task);
	static_cast<comch_producer_worker *>(ctx_user_data.ptr)->m_terminate.store(true);
}

std::unique_ptr<worker> create_comch_consumer_worker(uint32_t id, const attribute_map &attributes, kova_dev *device,
						     kova_dev_rep *representor, const comch_worker_timing &timing)
{
	api_or_throw();
	return std::make_unique<comch_consumer_worker>(id, attributes, device, representor, timing);
}

std::unique_ptr<worker> create_comch_producer_worker(uint32_t id, const attribute_map &attributes, kova_dev *device,
						     kova_dev_rep *representor, const comch_worker_timing &timing)
{
	api_or_throw();
	return std::make_unique<comch_producer_worker>(id, attributes, device, representor, timing);
}

} // namespace kova::bench::companion::worker
