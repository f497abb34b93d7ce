// Hello and bye over a bare connection.
#include "companion/api/synchronous_request.hpp"

#include "companion/api/v1/codecs.hpp"

#include <kova/error.h>

#include <chrono>
#include <thread>

namespace kova::bench::companion::api {

template <typename Req>
generic_response<typename Req::response_type> send_api_message(Req request, connection &link, int64_t timeout_s)
{
	using response_type = typename Req::response_type;
	using clock = std::chrono::steady_clock;

	generic_response<response_type> result;
	auto const deadline = clock::now() + std::chrono::seconds{timeout_s};
	auto const timed_out = [&] {
		result.error = v1::error_response{request.id, KOVA_ERROR_TIME_OUT, "Timed out waiting to send message"};
		return result;
	};

	message_buffer buffer;
	v1::encode_api_message(request, buffer);
	while (!link.send(buffer)) {
		std::this_thread::sleep_for(std::chrono::milliseconds{1});
		if (clock::now() > deadline)
			return timed_out();
	}

	for (;;) {
		if (!link.receive(buffer)) {
			std::this_thread::sleep_for(std::chrono::milliseconds{1});
			if (clock::now() > deadline)
				return timed_out();
			continue;
		}
		if (v1::is_a<v1::keep_alive_request>(buffer)) {
			v1::encode_api_message(v1::keep_alive_response{buffer.get_message_id()}, buffer);
			link.send(buffer);
			continue;
		}
		if (buffer.get_message_id() == request.id) {
			if (v1::is_a<response_type>(buffer)) {
				v1::decode_api_message(buffer, result.response.emplace());
				return result;
			}
			if (v1::is_a<v1::error_response>(buffer)) {
				v1::decode_api_message(buffer, result.error.emplace());
				return result;
			}
		}
		result.error = v1::error_response{request.id, KOVA_ERROR_BAD_STATE, "Received unexpected response"};
		return result;
	}
}

template generic_response<v1::hello_response> send_api_message(v1::hello_request, connection &, int64_t);
template generic_response<v1::bye_response> send_api_message(v1::bye_request, connection &, int64_t);

} // namespace kova::bench::companion::api
