// The pieces of an asynchronous sequence: one activity, the callbacks through
// which it steers its sequence, and the records a sequence reports.
#pragma once

#include "utility/async/poll_result.hpp"

#include <kova/types.h>

#include <cstdint>
#include <string>

namespace kova::bench::companion::api {
class message_buffer;
namespace v1 {
struct error_response;
} // namespace v1
} // namespace kova::bench::companion::api

namespace kova::bench::utility::async {

struct error {
	kova_error code;
	std::string message;
};

// How an activity, inside its progress, tells the sequence what comes next.
class sequence_callbacks {
public:
	virtual ~sequence_callbacks() = default;
	// The activity registered under this name runs after the current one.
	virtual void select_next_activity(const std::string &name) = 0;
	// Records a failure; the sequence undoes what had finished before.
	virtual void notify_sequence_failure(kova_error code, std::string message) = 0;
	// The current activity was the last one.
	virtual void notify_sequence_success() = 0;
};

// One piece of asynchronous work. Contract: when its work (forward or undo) is
// done, progress calls exactly one of the sequence_callbacks and returns true;
// while it waits it returns false. An activity that reports a failure has
// cleaned up after itself and is not aborted.
class activity {
public:
	virtual ~activity() = default;
	// Begins the work; may throw kova::exception.
	virtual void start() = 0;
	// Begins undoing what the activity did; progress drives the undo.
	virtual void abort() = 0;
	virtual bool progress(sequence_callbacks &callbacks) = 0;
	// The companion answered this activity's request with an error.
	virtual void on_api_error(const companion::api::v1::error_response &error) = 0;
	// A reply from the companion arrived for this activity.
	virtual void on_api_message(const companion::api::message_buffer &message) = 0;
};

} // namespace kova::bench::utility::async
