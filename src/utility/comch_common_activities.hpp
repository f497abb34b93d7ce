// The set-up and teardown of a comch endpoint, consumer or producer as activities of an
// asynchronous sequence: the shared state of one set-up, the base of the set-up activities, the
// five set-up activities and the two teardown activities.
//
// No activity has a time limit of its own, except the teardown waits on the peer, which give up
// after peer_release_timeout (one line says so) and go on: destroying through stop_ctx is safe.
#pragma once

#include "utility/async/activity.hpp"
#include "utility/comch_common.hpp"

#include <kova/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace kova::bench::utility {

// How long a teardown waits for the peer to release its consumers or its connection.
inline constexpr std::chrono::seconds peer_release_timeout{5};

struct comch_async_context {
	async::sequence_callbacks *sequence = nullptr;
	kova_ctx *consumer_ctx = nullptr;
	kova_pe *pe = nullptr;                   // the owner's data-path engine
	uint32_t *remote_consumer_id = nullptr;  // written by the owner's new_consumer callback
	std::unique_ptr<comch_endpoint> endpoint;
	std::unique_ptr<comch_consumer> consumer;
	std::unique_ptr<comch_producer> producer;
};

class commch_async_activity : public async::activity {
public:
	explicit commch_async_activity(comch_async_context *context);
	commch_async_activity(comch_async_context *context, std::string next_activity);

protected:
	// Marks the activity failed and tells the sequence {code, "Failed during: <name>. message: <text>"}.
	void fail(const std::string &activity_name, kova_error code, const std::string &message);
	void fail(const std::string &activity_name, const companion::api::v1::error_response &error);
	void fail(const std::string &activity_name, const companion::api::message_buffer &message);

	// The condition of a set-up activity holds: the next activity, or the end of the sequence.
	bool finish(async::sequence_callbacks &callbacks);

	// One progress call on the endpoint's engine; an error the endpoint raises fails the activity
	// (false then).
	bool poll_endpoint(const std::string &activity_name);

	const dl::kova_comch_api *m_api;
	comch_async_context *m_context;
	std::string m_next_activity;
	bool m_failed = false;
};

class create_endpoint_activity : public commch_async_activity {
public:
	create_endpoint_activity(comch_async_context *context, std::string next_activity,
				 comch_endpoint::configuration cfg, comch_endpoint::callbacks cbs, kova_dev *dev,
				 kova_dev_rep *rep);
	void start() override;
	void abort() override;
	bool progress(async::sequence_callbacks &callbacks) override;
	void on_api_error(const companion::api::v1::error_response &error) override;
	void on_api_message(const companion::api::message_buffer &message) override;

private:
	comch_endpoint::configuration m_cfg;
	comch_endpoint::callbacks m_callbacks;
	kova_dev *m_dev;
	kova_dev_rep *m_rep;
};

class wait_for_endpoint_context_running : public commch_async_activity {
public:
	explicit wait_for_endpoint_context_running(comch_async_context *context);
	wait_for_endpoint_context_running(comch_async_context *context, std::string next_activity);
	void start() override;
	void abort() override;
	bool progress(async::sequence_callbacks &callbacks) override;
	void on_api_error(const companion::api::v1::error_response &error) override;
	void on_api_message(const companion::api::message_buffer &message) override;
};

class wait_for_endpoint_connection : public commch_async_activity {
public:
	wait_for_endpoint_connection(comch_async_context *context, std::string next_activity);
	void start() override;
	void abort() override;
	bool progress(async::sequence_callbacks &callbacks) override;
	void on_api_error(const companion::api::v1::error_response &error) override;
	void on_api_message(const companion::api::message_buffer &message) override;
};

class create_consumer_activity : public commch_async_activity {
public:
	create_consumer_activity(comch_async_context *context, comch_consumer::configuration cfg,
				 comch_consumer::callbacks cbs, kova_data user_data, kova_mmap *mmap);
	create_consumer_activity(comch_async_context *context, std::string next_activity,
				 comch_consumer::configuration cfg, comch_consumer::callbacks cbs, kova_data user_data,
				 kova_mmap *mmap);
	void start() override;
	void abort() override;
	bool progress(async::sequence_callbacks &callbacks) override;
	void on_api_error(const companion::api::v1::error_response &error) override;
	void on_api_message(const companion::api::message_buffer &message) override;

private:
	comch_consumer::configuration m_cfg;
	comch_consumer::callbacks m_callbacks;
	kova_data m_user_data;
	kova_mmap *m_mmap;
};

class create_producer_activity : public commch_async_activity {
public:
	create_producer_activity(comch_async_context *context, comch_producer::configuration cfg,
				 comch_producer::callbacks cbs, kova_data user_data);
	create_producer_activity(comch_async_context *context, std::string next_activity,
				 comch_producer::configuration cfg, comch_producer::callbacks cbs, kova_data user_data);
	void start() override;
	void abort() override;
	bool progress(async::sequence_callbacks &callbacks) override;
	void on_api_error(const companion::api::v1::error_response &error) override;
	void on_api_message(const companion::api::message_buffer &message) override;

private:
	comch_producer::configuration m_cfg;
	comch_producer::callbacks m_callbacks;
	kova_data m_user_data;
};

// Drops the local consumer at once and the producer once the peer's consumers have expired.
class destroy_local_worker_activity : public async::activity {
public:
	destroy_local_worker_activity(comch_endpoint *endpoint, std::unique_ptr<comch_consumer> consumer,
				      std::unique_ptr<comch_producer> producer, std::string next_activity = {});
	~destroy_local_worker_activity() override;
	void start() override;
	void abort() override;
	bool progress(async::sequence_callbacks &callbacks) override;
	void on_api_error(const companion::api::v1::error_response &error) override;
	void on_api_message(const companion::api::message_buffer &message) override;

private:
	std::string m_next_activity;
	comch_endpoint *m_endpoint;
	std::unique_ptr<comch_consumer> m_consumer;
	std::unique_ptr<comch_producer> m_producer;
	bool m_aborted = false;
	std::chrono::steady_clock::time_point m_deadline{};
};

// Destroys the endpoint once its connection is gone.
class destroy_comch_endpoint_activity : public async::activity {
public:
	explicit destroy_comch_endpoint_activity(std::unique_ptr<comch_endpoint> endpoint,
						 std::string next_activity = {});
	void start() override;
	void abort() override;
	bool progress(async::sequence_callbacks &callbacks) override;
	void on_api_error(const companion::api::v1::error_response &error) override;
	void on_api_message(const companion::api::message_buffer &message) override;

private:
	std::string m_next_activity;
	std::unique_ptr<comch_endpoint> m_endpoint;
	bool m_aborted = false;
	std::chrono::steady_clock::time_point m_deadline{};
};

} // namespace kova::bench::utility
