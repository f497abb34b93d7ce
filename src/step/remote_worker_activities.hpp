// The activities through which a peer step has the companion run a worker of the opposite role:
// create it (set-up), stop it and destroy it (teardown). Each sends one request and completes when
// the reply arrives; every failure reads "Failed during: <activity name>. message: <text>".
//
// How a worker family plugs in: a traits type names its command record, the record's map writer
// and the words of a refused create request,
//
//   struct eth_worker_family {
//       using command = create_eth_worker_command;
//       static companion::worker::attribute_map to_map(const command &command);
//       static constexpr const char *send_failure = "Failed to send create kova_eth worker request";
//   };
//
// and the step registers create_remote_worker_activity<eth_worker_family> over its companion worker
// id field. A family whose worker sends reply fields (RDMA) passes a reply reader; what it throws
// fails the activity, and the worker just created is destroyed again. An activity registered under
// another name (a GPU worker's) passes that name last. Stop and terminate are the same for all.
#pragma once

#include "companion/worker/worker.hpp"
#include "step/step_async_activity.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace kova::bench::step {

inline constexpr const char *create_remote_worker_activity_name = "create_remote_worker_activity";
inline constexpr const char *stop_remote_worker_activity_name = "stop_remote_worker_activity";
inline constexpr const char *terminate_remote_worker_activity_name = "terminate_remote_worker_activity";

// Reads the fields of a create_worker_response; may throw.
using worker_reply_reader = std::function<void(const companion::worker::attribute_map &fields)>;

// Sends create_worker_request {worker type, command map} and sets the step's worker id from the
// reply; a reply with worker id 0 fails with KOVA_ERROR_UNEXPECTED. Its abort sends destroy_workers_request,
// which destroys every worker of the companion, without awaiting the reply, and clears the id; a
// refused send is recorded as {22, "Failed to terminate remote workers"} and the abort returns.
class create_remote_worker_activity_base : public step_async_activity {
public:
	void start() override;
	void abort() override;
	void on_api_error(const companion::api::v1::error_response &error) override;
	void on_api_message(const companion::api::message_buffer &message) override;

protected:
	// `worker_id` is the step's field and must outlive the activity.
	create_remote_worker_activity_base(const char *name, utility::async::sequence_callbacks &callbacks,
					   const runtime_state &state, uint32_t &worker_id, std::string worker_type,
					   const char *send_failure, worker_reply_reader read_reply,
					   std::string next_activity);

	[[nodiscard]] virtual companion::worker::attribute_map command_map() const = 0;

private:
	void destroy_workers();

	uint32_t *m_worker_id;
	std::string m_worker_type;
	const char *m_send_failure;
	worker_reply_reader m_read_reply;
};

template <typename Family>
class create_remote_worker_activity final : public create_remote_worker_activity_base {
public:
	create_remote_worker_activity(utility::async::sequence_callbacks &callbacks, const runtime_state &state,
				      uint32_t &worker_id, std::string worker_type, typename Family::command command,
				      std::string next_activity, worker_reply_reader read_reply = {},
				      const char *name = create_remote_worker_activity_name)
		: create_remote_worker_activity_base{name,
						     callbacks,
						     state,
						     worker_id,
						     std::move(worker_type),
						     Family::send_failure,
						     std::move(read_reply),
						     std::move(next_activity)},
		  m_command{std::move(command)}
	{
	}

private:
	[[nodiscard]] companion::worker::attribute_map command_map() const override { return Family::to_map(m_command); }

	typename Family::command m_command;
};

// Sends stop_worker_request for the worker id the step had when the activity was built; with id 0
// it sends nothing and completes. The step's worker id is left as it is.
class stop_remote_worker_activity final : public step_async_activity {
public:
	stop_remote_worker_activity(utility::async::sequence_callbacks &callbacks, const runtime_state &state,
				    uint32_t worker_id, std::string next_activity);

	void start() override;
	void abort() override;
	void on_api_error(const companion::api::v1::error_response &error) override;
	void on_api_message(const companion::api::message_buffer &message) override;

private:
	uint32_t m_worker_id;
};

// Sends destroy_workers_request, which destroys every worker of the companion, and clears the
// step's worker id when the companion confirms; after an error reply the id is kept.
class terminate_remote_worker_activity final : public step_async_activity {
public:
	// `worker_id` is the step's field and must outlive the activity.
	terminate_remote_worker_activity(utility::async::sequence_callbacks &callbacks, const runtime_state &state,
					 uint32_t &worker_id, std::string next_activity);

	void start() override;
	void abort() override;
	void on_api_error(const companion::api::v1::error_response &error) override;
	void on_api_message(const companion::api::message_buffer &message) override;

private:
	uint32_t *m_worker_id;
};

} // namespace kova::bench::step
