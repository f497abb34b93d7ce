// Comch set-up and teardown activities.
#include "utility/comch_common_activities.hpp"

#include "companion/api/message_printing.hpp"
#include "kova_exception.hpp"
#include "utility/kova_utils.hpp"

#include <kova/error.h>
#include <kova/pe.h>

#include <cstdio>
#include <utility>

namespace kova::bench::utility {

namespace api = companion::api;

namespace {

const dl::kova_comch_api *comch_api_or_throw()
{
	const dl::kova_comch_api *comch = dl::kova_comch_api::singleton();
	if (comch == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_comch library is not installed");
	return comch;
}

// Ends a teardown activity: the next one, or the end of the sequence.
bool finish_teardown(async::sequence_callbacks &callbacks, const std::string &next_activity)
{
	if (next_activity.empty())
		callbacks.notify_sequence_success();
	else
		callbacks.select_next_activity(next_activity);
	return true;
}

} // namespace

commch_async_activity::commch_async_activity(comch_async_context *context)
    : commch_async_activity{context, std::string{}}
{
}

commch_async_activity::commch_async_activity(comch_async_context *context, std::string next_activity)
    : m_api{comch_api_or_throw()}, m_context{context}, m_next_activity{std::move(next_activity)}
{
}

void commch_async_activity::fail(const std::string &activity_name, kova_error code, const std::string &message)
{
	m_failed = true;
	m_context->sequence->notify_sequence_failure(code, "Failed during: " + activity_name + ". message: " + message);
}

void commch_async_activity::fail(const std::string &activity_name, const api::v1::error_response &error)
{
	fail(activity_name, KOVA_ERROR_UNEXPECTED, "Unexpected API error: " + api::v1::to_string(error));
}

void commch_async_activity::fail(const std::string &activity_name, const api::message_buffer &message)
{
	fail(activity_name, KOVA_ERROR_UNEXPECTED, "Unexpected API message: " + api::describe_message(message));
}

bool commch_async_activity::finish(async::sequence_callbacks &callbacks)
{
	if (m_next_activity.empty())
		callbacks.notify_sequence_success();
	else
		callbacks.select_next_activity(m_next_activity);
	return true;
}

bool commch_async_activity::poll_endpoint(const std::string &activity_name)
{
	try {
		if (m_context->endpoint != nullptr)
			m_context->endpoint->poll();
		return true;
	} catch (const kova::exception &ex) {
		fail(activity_name, ex.code(), ex.what());
		return false;
	}
}

// create_endpoint_activity

create_endpoint_activity::create_endpoint_activity(comch_async_context *context, std::string next_activity,
						   comch_endpoint::configuration cfg, comch_endpoint::callbacks cbs,
						   kova_dev *dev, kova_dev_rep *rep)
    : commch_async_activity{context, std::move(next_activity)}, m_cfg{std::move(cfg)}, m_callbacks{std::move(cbs)},
      m_dev{dev}, m_rep{rep}
{
}

void create_endpoint_activity::start()
{
	m_context->endpoint.reset();
	m_context->endpoint = std::make_unique<comch_endpoint>(m_cfg, m_callbacks, m_dev, m_rep);
}

void create_endpoint_activity::abort()
{
	fail("create_endpoint_activity", KOVA_ERROR_SHUTDOWN, "Aborted");
}

bool create_endpoint_activity::progress(async::sequence_callbacks &callbacks)
{
	if (m_failed)
		return true;
	callbacks.select_next_activity(m_next_activity);
	return true;
}

void create_endpoint_activity::on_api_error(const api::v1::error_response &error)
{
	fail("create_endpoint_activity", error);
}

void create_endpoint_activity::on_api_message(const api::message_buffer &message)
{
	fail("create_endpoint_activity", message);
}

// wait_for_endpoint_context_running

wait_for_endpoint_context_running::wait_for_endpoint_context_running(comch_async_context *context)
    : commch_async_activity{context, "wait_for_endpoint_connection"}
{
}

wait_for_endpoint_context_running::wait_for_endpoint_context_running(comch_async_context *context,
								     std::string next_activity)
    : commch_async_activity{context, std::move(next_activity)}
{
}

void wait_for_endpoint_context_running::start() {}

void wait_for_endpoint_context_running::abort()
{
	fail("wait_for_endpoint_context_running", KOVA_ERROR_SHUTDOWN, "Aborted");
}

bool wait_for_endpoint_context_running::progress(async::sequence_callbacks &callbacks)
{
	if (m_failed || !poll_endpoint("wait_for_endpoint_context_running"))
		return true;
	if (m_context->endpoint == nullptr || !is_context_running(m_context->endpoint->get_kova_ctx()))
		return false;
	return finish(callbacks);
}

void wait_for_endpoint_context_running::on_api_error(const api::v1::error_response &error)
{
	fail("wait_for_endpoint_context_running", error);
}

void wait_for_endpoint_context_running::on_api_message(const api::message_buffer &message)
{
	fail("wait_for_endpoint_context_running", message);
}

// wait_for_endpoint_connection

wait_for_endpoint_connection::wait_for_endpoint_connection(comch_async_context *context, std::string next_activity)
    : commch_async_activity{context, std::move(next_activity)}
{
}

void wait_for_endpoint_connection::start() {}

void wait_for_endpoint_connection::abort()
{
	fail("wait_for_endpoint_connection", KOVA_ERROR_SHUTDOWN, "Aborted");
}

bool wait_for_endpoint_connection::progress(async::sequence_callbacks &callbacks)
{
	if (m_failed || !poll_endpoint("wait_for_endpoint_connection"))
		return true;
	if (m_context->endpoint == nullptr || m_context->endpoint->get_connections().empty())
		return false;
	return finish(callbacks);
}

void wait_for_endpoint_connection::on_api_error(const api::v1::error_response &error)
{
	fail("wait_for_endpoint_connection", error);
}

void wait_for_endpoint_connection::on_api_message(const api::message_buffer &message)
{
	fail("wait_for_endpoint_connection", message);
}

// create_consumer_activity

create_consumer_activity::create_consumer_activity(comch_async_context *context, comch_consumer::configuration cfg,
						   comch_consumer::callbacks cbs, kova_data user_data, kova_mmap *mmap)
    : create_consumer_activity{context, std::string{}, cfg, cbs, user_data, mmap}
{
}

create_consumer_activity::create_consumer_activity(comch_async_context *context, std::string next_activity,
						   comch_consumer::configuration cfg, comch_consumer::callbacks cbs,
						   kova_data user_data, kova_mmap *mmap)
    : commch_async_activity{context, std::move(next_activity)}, m_cfg{cfg}, m_callbacks{cbs},
      m_user_data{user_data}, m_mmap{mmap}
{
}

void create_consumer_activity::start()
{
	span<kova_comch_connection *> const connections =
		m_context->endpoint != nullptr ? m_context->endpoint->get_connections() : span<kova_comch_connection *>{};
	if (connections.size() != 1)
		KOVA_THROW(KOVA_ERROR_UNEXPECTED, "Cannot create consumer without a kova_comch connection");
	m_context->consumer.reset();
	m_context->consumer = std::make_unique<comch_consumer>(m_cfg, m_callbacks, m_user_data, m_context->pe,
								connections[0], m_mmap);
	m_context->consumer_ctx = m_context->consumer->get_kova_ctx();
}

void create_consumer_activity::abort()
{
	m_context->consumer.reset();
	m_context->consumer_ctx = nullptr;
	fail("create_consumer_activity", KOVA_ERROR_SHUTDOWN, "Aborted");
}

bool create_consumer_activity::progress(async::sequence_callbacks &callbacks)
{
	if (m_failed || !poll_endpoint("create_consumer_activity"))
		return true;
	kova_pe_progress(m_context->pe);
	if (!is_context_running(m_context->consumer_ctx))
		return false;
	return finish(callbacks);
}

void create_consumer_activity::on_api_error(const api::v1::error_response &error)
{
	fail("create_consumer_activity", error);
}

void create_consumer_activity::on_api_message(const api::message_buffer &message)
{
	fail("create_consumer_activity", message);
}

// create_producer_activity

create_producer_activity::create_producer_activity(comch_async_context *context, comch_producer::configuration cfg,
						   comch_producer::callbacks cbs, kova_data user_data)
    : create_producer_activity{context, std::string{}, cfg, cbs, user_data}
{
}

create_producer_activity::create_producer_activity(comch_async_context *context, std::string next_activity,
						   comch_producer::configuration cfg, comch_producer::callbacks cbs,
						   kova_data user_data)
    : commch_async_activity{context, std::move(next_activity)}, m_cfg{cfg}, m_callbacks{cbs}, m_user_data{user_data}
{
}

void create_producer_activity::start()
{
	span<kova_comch_connection *> const connections =
		m_context->endpoint != nullptr ? m_context->endpoint->get_connections() : span<kova_comch_connection *>{};
	if (connections.size() != 1)
		KOVA_THROW(KOVA_ERROR_UNEXPECTED, "Cannot create producer without a kova_comch connection");
	m_context->producer.reset();
	m_context->producer =
		std::make_unique<comch_producer>(m_cfg, m_callbacks, m_user_data, m_context->pe, connections[0]);
}

void create_producer_activity::abort()
{
	m_context->producer.reset();
	fail("create_producer_activity", KOVA_ERROR_SHUTDOWN, "Aborted");
}

bool create_producer_activity::progress(async::sequence_callbacks &callbacks)
{
	if (m_failed || !poll_endpoint("create_producer_activity"))
		return true;
	if (m_context->remote_consumer_id == nullptr || *m_context->remote_consumer_id == 0)
		return false;
	return finish(callbacks);
}

void create_producer_activity::on_api_error(const api::v1::error_response &error)
{
	fail("create_producer_activity", error);
}

void create_producer_activity::on_api_message(const api::message_buffer &message)
{
	fail("create_producer_activity", message);
}

// destroy_local_worker_activity

destroy_local_worker_activity::destroy_local_worker_activity(comch_endpoint *endpoint,
							     std::unique_ptr<comch_consumer> consumer,
							     std::unique_ptr<comch_producer> producer,
							     std::string next_activity)
    : m_next_activity{std::move(next_activity)}, m_endpoint{endpoint}, m_consumer{std::move(consumer)},
      m_producer{std::move(producer)}
{
}

destroy_local_worker_activity::~destroy_local_worker_activity()
{
	m_producer.reset();
	m_consumer.reset();
}

void destroy_local_worker_activity::start()
{
	m_consumer.reset();
	m_deadline = std::chrono::steady_clock::now() + peer_release_timeout;
}

void destroy_local_worker_activity::abort()
{
	m_aborted = true;
}

bool destroy_local_worker_activity::progress(async::sequence_callbacks &callbacks)
{
	if (m_aborted)
		return true;
	if (m_producer != nullptr && m_endpoint != nullptr && m_endpoint->get_connected_consumer_count() != 0) {
		if (std::chrono::steady_clock::now() <= m_deadline) {
			try {
				m_endpoint->poll();
			} catch (const kova::exception &ex) {
				std::fprintf(stderr, "[destroy_local_worker_activity] %s\n", ex.what());
			}
			return false;
		}
		std::fprintf(stdout, "[destroy_local_worker_activity] the peer did not release its consumer; "
				     "destroying the producer anyway\n");
	}
	m_producer.reset();
	return finish_teardown(callbacks, m_next_activity);
}

void destroy_local_worker_activity::on_api_error(const api::v1::error_response & /*error*/) {}

void destroy_local_worker_activity::on_api_message(const api::message_buffer & /*message*/) {}

// destroy_comch_endpoint_activity

destroy_comch_endpoint_activity::destroy_comch_endpoint_activity(std::unique_ptr<comch_endpoint> endpoint,
								 std::string next_activity)
    : m_next_activity{std::move(next_activity)}, m_endpoint{std::move(endpoint)}
{
}

void destroy_comch_endpoint_activity::start()
{
	m_deadline = std::chrono::steady_clock::now() + peer_release_timeout;
}

void destroy_comch_endpoint_activity::abort()
{
	m_aborted = true;
}

bool destroy_comch_endpoint_activity::progress(async::sequence_callbacks &callbacks)
{
	if (m_aborted)
		return true;
	if (m_endpoint != nullptr && !m_endpoint->get_connections().empty()) {
		if (std::chrono::steady_clock::now() <= m_deadline) {
			try {
				m_endpoint->poll();
			} catch (const kova::exception &ex) {
				std::fprintf(stderr, "[destroy_comch_endpoint_activity] %s\n", ex.what());
			}
			return false;
		}
		std::fprintf(stdout, "[destroy_comch_endpoint_activity] the peer did not release the connection; "
				     "destroying the endpoint anyway\n");
	}
	m_endpoint.reset();
	return finish_teardown(callbacks, m_next_activity);
}

void destroy_comch_endpoint_activity::on_api_error(const api::v1::error_response & /*error*/) {}

void destroy_comch_endpoint_activity::on_api_message(const api::message_buffer & /*message*/) {}

} // namespace kova::bench::utility
