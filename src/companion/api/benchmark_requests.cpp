// The benchmark's own requests to the companion, each waiting for its reply on
// the request context.
#include "companion/api/async_context.hpp"
#include "companion/api/v1/codecs.hpp"

#include <kova/error.h>

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace kova::bench::companion::api {
namespace {

// Shared with the reply callback, which may run on another thread's poll and
// may outlive the waiting call when that call ends by an exception.
template <typename T>
struct reply_slot {
	std::mutex mutex;
	generic_response<T> result;
	std::exception_ptr failure;
	std::atomic<bool> done{false};
};

} // namespace

template <typename Req>
generic_response<typename Req::response_type> send_api_message(Req request, async::context &context, int64_t timeout_s)
{
	using response_type = typename Req::response_type;
	using clock = std::chrono::steady_clock;

	auto slot = std::make_shared<reply_slot<response_type>>();
	async::reply_callback const callback = [slot](kova::optional<v1::error_response> error,
						      const message_buffer &reply) {
		{
			std::lock_guard const lock{slot->mutex};
			try {
				if (error.has_value())
					slot->result.error = std::move(error);
				else
					v1::decode_api_message(reply, slot->result.response.emplace());
			} catch (...) {
				slot->result.response.reset();
				slot->failure = std::current_exception();
			}
		}
		slot->done.store(true, std::memory_order_release);
	};

	auto const deadline = clock::now() + std::chrono::seconds{timeout_s};
	message_buffer buffer;
	for (;;) {
		v1::encode_api_message(request, buffer);
		if (context.send_async(buffer, callback, timeout_s))
			break;
		std::this_thread::sleep_for(std::chrono::milliseconds{1});
		if (clock::now() > deadline) {
			context.fail_link(KOVA_ERROR_TIME_OUT, "Timed out waiting to send message");
			generic_response<response_type> timed_out;
			timed_out.error =
				v1::error_response{request.id, KOVA_ERROR_TIME_OUT, "Timed out waiting to send message"};
			return timed_out;
		}
	}

	while (!slot->done.load(std::memory_order_acquire)) {
		if (!context.poll(clock::now()) && !slot->done.load(std::memory_order_acquire))
			std::this_thread::sleep_for(std::chrono::milliseconds{1});
	}
	std::lock_guard const lock{slot->mutex};
	if (slot->failure)
		std::rethrow_exception(slot->failure);
	return std::move(slot->result);
}

template generic_response<v1::configure_worker_pool_response> send_api_message(v1::configure_worker_pool_request,
									       async::context &, int64_t);
template generic_response<v1::get_environment_information_response>
send_api_message(v1::get_environment_information_request, async::context &, int64_t);
template generic_response<v1::create_remote_mmaps_response>
send_api_message(v1::create_remote_mmaps_with_data_request, async::context &, int64_t);
template generic_response<v1::create_remote_mmaps_response>
send_api_message(v1::create_uninitialized_remote_mmaps_request, async::context &, int64_t);
template generic_response<v1::destroy_remote_mmaps_response> send_api_message(v1::destroy_remote_mmaps_request,
									       async::context &, int64_t);
template generic_response<v1::start_workers_response> send_api_message(v1::start_workers_request, async::context &,
									    int64_t);

} // namespace kova::bench::companion::api
