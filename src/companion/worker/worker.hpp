// The far end of a peer step: what every companion worker implements and what the pool relies on.
//
// Life of a worker: made by its factory (every resource that needs no peer is made there) ->
// reply fields gathered -> added to the pool (start_async_init) -> thread started (thread_proc)
// -> terminate() -> thread joined -> destroyed. A worker destroyed without ever being started
// still releases everything, a set-up thread started by start_async_init included.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace kova::bench::companion::worker {

// Command (request attributes) and reply fields of a worker; the v1 string map on the wire.
using attribute_map = std::unordered_map<std::string, std::string>;

class worker {
public:
	virtual ~worker() = default;

	// Adds the fields that go back to the benchmark in the create reply; called once, right after
	// creation. Workers with nothing to report leave the map as it is.
	virtual void populate_create_worker_response_fields(attribute_map &fields) = 0;

	// The body of the worker's own thread: submits the initial tasks, then drives the worker's
	// progress engine until terminate() was called, and returns. May throw; the pool reports it.
	virtual void thread_proc() = 0;

	// Called from the request loop's thread while thread_proc runs: sets an atomic flag that
	// thread_proc polls, and returns at once.
	virtual void terminate() = 0;

	// Called once when the pool accepts the worker, before any of its threads run; returns at
	// once. A worker that must wait for its peer starts a set-up thread here.
	virtual void start_async_init() {}

	// Constant for the worker's life; safe from any thread.
	[[nodiscard]] virtual uint32_t get_id() const = 0;
	// The worker type name, a literal that lives as long as the program.
	[[nodiscard]] virtual const char *get_type() const = 0;

protected:
	worker() = default;
	worker(const worker &) = default;
	worker &operator=(const worker &) = default;
};

} // namespace kova::bench::companion::worker
