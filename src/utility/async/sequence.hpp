// An ordered set of named asynchronous activities, one of them current at a
// time, undone in reverse order of starting when one fails or on abort.
#pragma once

#include "utility/async/activity.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kova::bench::utility::async {

class sequence : public sequence_callbacks {
public:
	struct registered_activity {
		std::string name;
		std::unique_ptr<activity> instance;
	};

	explicit sequence(uint32_t time_limit_seconds);
	sequence(std::vector<registered_activity> activities, uint32_t time_limit_seconds);
	sequence(sequence &&other) noexcept;
	sequence &operator=(sequence &&other) noexcept;
	sequence(const sequence &) = delete;
	sequence &operator=(const sequence &) = delete;
	~sequence() override;

	// Names are not checked for duplicates; lookups find the first one.
	void register_activity(std::string name, std::unique_ptr<activity> instance);

	// Starts the activity registered under the name. Throws KOVA_ERROR_INVALID_VALUE for an
	// unknown name; an exception from the activity's start reaches the caller.
	void start(const std::string &name);

	poll_result poll();

	// Records {9, "Aborted by user"} and begins undoing.
	void abort();

	// Passed on to the current activity; ignored when there is none.
	void on_api_error(const companion::api::v1::error_response &error);
	void on_api_message(const companion::api::message_buffer &message);

	[[nodiscard]] const std::vector<error> &get_errors() const noexcept { return m_errors; }

	void select_next_activity(const std::string &name) override;
	void notify_sequence_failure(kova_error code, std::string message) override;
	void notify_sequence_success() override;

private:
	activity *find(const std::string &name) const noexcept;

	std::vector<registered_activity> m_activities;
	std::vector<activity *> m_started;
	activity *m_current = nullptr;
	activity *m_next = nullptr;
	std::vector<error> m_errors;
	// Construction time plus the time limit; not consulted here, whoever polls enforces limits.
	std::chrono::steady_clock::time_point m_deadline;
};

} // namespace kova::bench::utility::async
