#include "companion/service_loop.hpp"

#include "companion/api/v1/codecs.hpp"
#include "companion/exception_printer.hpp"
#include "companion/process_flags.hpp"
#include "companion/runtime_state.hpp"
#include "kova_exception.hpp"
#include "utility/environment_information.hpp"

#include <cstdio>
#include <iostream>
#include <new>
#include <thread>

namespace kova::bench::companion {
namespace {

namespace v1 = api::v1;
using clock = std::chrono::steady_clock;

// Source of worker ids: 1, 2, 3, ... over the whole run, never reused.
uint32_t last_worker_id = 0;

template <typename Reply>
void reply(api::connection &link, api::message_buffer &buffer, const Reply &message)
{
	v1::encode_api_message(message, buffer);
	static_cast<void>(link.send(buffer));
}

template <typename Request>
Request decode(const api::message_buffer &buffer)
{
	Request request;
	v1::decode_api_message(buffer, request);
	return request;
}

worker::pool &pool_or_throw(const runtime_state &state, const char *message)
{
	worker::pool *pool = state.get_worker_pool();
	if (pool == nullptr)
		KOVA_THROW(KOVA_ERROR_BAD_STATE, message);
	return *pool;
}

void create_worker(api::connection &link, runtime_state &state, api::message_buffer &buffer,
		   utility::span<const worker::worker_type> types)
{
	auto const request = decode<v1::create_worker_request>(buffer);
	worker::pool &pool = pool_or_throw(state, "Unable to add worker. Pool has not be initialized");
	uint32_t const worker_id = ++last_worker_id;
	auto made = worker::create_worker(types, request.worker_type, worker_id, request.command, state);
	if (made == nullptr) {
		reply(link, buffer, v1::error_response{request.id, KOVA_ERROR_NO_MEMORY, "Failed to create worker"});
		return;
	}
	worker::attribute_map fields;
	made->populate_create_worker_response_fields(fields);
	if (!pool.add_worker(std::move(made))) {
		reply(link, buffer,
		      v1::error_response{request.id, KOVA_ERROR_NO_MEMORY, "Failed to add worker to pool. Pool is full"});
		return;
	}
	reply(link, buffer, v1::create_worker_response{request.id, worker_id, std::move(fields)});
}

bool announces_keep_alive(const api::connection &link)
{
	for (api::version const &v : link.get_supported_api_versions()) {
		if (v.major == 1 && v.minor >= 24)
			return true;
	}
	return false;
}

void answer_failure(api::connection &link, api::message_buffer &buffer, uint64_t request_id, kova_error code,
		    const std::string &message)
{
	std::fflush(stdout);
	error_seen = true;
	reply(link, buffer, v1::error_response{request_id, code, message});
}

void handle_non_v1_request(api::connection &link, api::message_buffer &buffer)
{
	api::version const version = buffer.get_api_version();
	std::string const text = "Unsupported request: {type:" + std::to_string(buffer.get_message_type_id()) +
				 ", id: " + std::to_string(buffer.get_message_id()) +
				 "} using api version: " + std::to_string(version.major) + "." +
				 std::to_string(version.minor);
	error_seen = true;
	v1::encode_api_message(v1::error_response{buffer.get_message_id(), KOVA_ERROR_NOT_SUPPORTED, text}, buffer);
	if (!link.send(buffer))
		KOVA_THROW(KOVA_ERROR_IO_FAILED, text);
}

// True when a message arrived; false when the loop must end.
bool wait_for_message(api::connection &link, api::message_buffer &buffer, const service_timing &timing,
		      clock::time_point &keep_alive_time, unsigned &unanswered)
{
	for (;;) {
		try {
			if (link.receive(buffer))
				return true;
		} catch (const kova::exception &e) {
			if (e.code() != KOVA_ERROR_IO_FAILED)
				throw;
			std::fprintf(stderr, "benchmark disconnected: %s\n", e.what());
			error_seen = true;
			return false;
		}
		if (stop_requested)
			return false;
		std::this_thread::sleep_for(std::chrono::microseconds{1});
		auto const now = clock::now();
		if (now <= keep_alive_time)
			continue;
		if (unanswered >= timing.unanswered_keep_alive_limit) {
			std::fprintf(stderr, "Terminating companion as the benchmark appears to have gone away\n");
			error_seen = true;
			stop_requested = true;
			// A benchmark that answers nothing would not answer a bye either.
			link.disconnect(false);
			return false;
		}
		if (announces_keep_alive(link)) {
			v1::encode_api_message(v1::keep_alive_request{0}, buffer);
			if (!link.send(buffer)) {
				std::fprintf(stderr, "Failed to send keep alive message\n");
				stop_requested = true;
				return false;
			}
			++unanswered;
		}
		keep_alive_time = now + timing.keep_alive;
	}
}

} // namespace

void handle_v1_request(api::connection &link, runtime_state &state, api::message_buffer &buffer,
		       utility::span<const worker::worker_type> types)
{
	api::version const version = buffer.get_api_version();
	if (version.minor == 0 || version.minor > v1::api_version.minor)
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "Unsupported API or message version.");
	uint64_t const id = buffer.get_message_id();
	switch (buffer.get_message_type_id()) {
	case v1::hello_request::type_id: {
		auto request = decode<v1::hello_request>(buffer);
		std::printf("kova bench connected!\n");
		link.set_supported_api_versions(std::move(request.supported_api_versions));
		reply(link, buffer, v1::hello_response{id, {v1::api_version}});
		break;
	}
	case v1::bye_request::type_id:
		decode<v1::bye_request>(buffer);
		std::printf("kova bench disconnected!\n");
		reply(link, buffer, v1::bye_response{id});
		link.disconnect(false);
		stop_requested = true;
		break;
	case v1::create_remote_mmaps_with_data_request::type_id: {
		auto const request = decode<v1::create_remote_mmaps_with_data_request>(buffer);
		std::printf("Creating %zu mmaps.\n", request.buffers.size());
		v1::create_remote_mmaps_response response{id, {}};
		for (auto &definition : state.create_mmaps(request.buffers))
			response.exported_mmaps.push_back(std::move(definition.export_descriptor));
		reply(link, buffer, response);
		break;
	}
	case v1::create_uninitialized_remote_mmaps_request::type_id: {
		auto const request = decode<v1::create_uninitialized_remote_mmaps_request>(buffer);
		std::printf("Creating %u mmaps of %u bytes each.\n", request.mmap_count, request.mmap_size);
		v1::create_remote_mmaps_response response{id, {}};
		for (auto &definition : state.create_mmaps(request.mmap_count, request.mmap_size))
			response.exported_mmaps.push_back(std::move(definition.export_descriptor));
		reply(link, buffer, response);
		break;
	}
	case v1::destroy_remote_mmaps_request::type_id:
		decode<v1::destroy_remote_mmaps_request>(buffer);
		std::printf("Destroying mmaps\n");
		state.destroy_all_mmaps();
		reply(link, buffer, v1::destroy_remote_mmaps_response{id});
		break;
	case v1::get_environment_information_request::type_id: {
		decode<v1::get_environment_information_request>(buffer);
		utility::environment_information const information;
		v1::get_environment_information_response response{id, {}};
		response.information = state.get_representor() != nullptr
					       ? information.get_dpu_environment_information()
					       : information.get_host_environment_information();
		reply(link, buffer, response);
		break;
	}
	case v1::configure_worker_pool_request::type_id: {
		auto const request = decode<v1::configure_worker_pool_request>(buffer);
		state.configure_worker_pool(std::vector<uint16_t>(request.cores.begin(), request.cores.end()));
		reply(link, buffer, v1::configure_worker_pool_response{id});
		break;
	}
	case v1::create_worker_request::type_id:
		create_worker(link, state, buffer, types);
		break;
	case v1::start_workers_request::type_id:
		decode<v1::start_workers_request>(buffer);
		pool_or_throw(state, "Unable to start workers. Pool has not be initialized").start_workers();
		reply(link, buffer, v1::start_workers_response{id});
		break;
	case v1::stop_worker_request::type_id: {
		auto const request = decode<v1::stop_worker_request>(buffer);
		worker::pool &pool = pool_or_throw(state, "Unable to stop worker. Pool has not be initialized");
		if (request.worker_id == 0)
			pool.stop_all_workers();
		else
			pool.stop_worker(request.worker_id);
		reply(link, buffer, v1::stop_worker_response{id});
		break;
	}
	case v1::destroy_workers_request::type_id:
		decode<v1::destroy_workers_request>(buffer);
		pool_or_throw(state, "Unable to destroy workers. Pool has not be initialized").terminate_all_workers();
		reply(link, buffer, v1::destroy_workers_response{id});
		break;
	case v1::keep_alive_response::type_id:
		break;
	default:
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "Unsupported message received");
	}
}

void service_loop(api::connection &link, runtime_state &state, utility::span<const worker::worker_type> types,
		  const service_timing &timing)
{
	api::message_buffer buffer;
	auto keep_alive_time = clock::now() + timing.first_keep_alive;
	unsigned unanswered = 0;
	for (;;) {
		if (!wait_for_message(link, buffer, timing, keep_alive_time, unanswered))
			return;
		unanswered = 0;
		if (buffer.get_api_version().major == v1::api_version.major) {
			uint64_t const request_id = buffer.get_message_id();
			try {
				handle_v1_request(link, state, buffer, types);
				keep_alive_time = clock::now() + timing.keep_alive;
			} catch (const kova::exception &e) {
				std::cout << e << "\n";
				std::cout.flush();
				answer_failure(link, buffer, request_id, e.code(), e.what());
			} catch (const std::bad_alloc &) {
				std::cout << "Caught std::bad_alloc\n";
				answer_failure(link, buffer, request_id, KOVA_ERROR_NO_MEMORY, "Out of memory");
			} catch (const std::exception &e) {
				std::cout << "Caught std::exception: " << e.what() << "\n";
				answer_failure(link, buffer, request_id, KOVA_ERROR_INVALID_VALUE, e.what());
			} catch (...) {
				std::cout << "Caught an unknown exception\n";
				answer_failure(link, buffer, request_id, KOVA_ERROR_INVALID_VALUE, "Unexpected exception");
			}
		} else {
			handle_non_v1_request(link, buffer);
		}
		std::fflush(stdout);
		if (stop_requested)
			return;
	}
}

} // namespace kova::bench::companion
