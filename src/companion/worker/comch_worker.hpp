// The companion's comch workers: the far end of a comch step. A consumer worker keeps a receive
// posted on every buffer it owns and reposts each one as it completes; a producer worker keeps
// sending its buffers to the consumer that the benchmark's step announced. The connection is set
// up by a sequence on a set-up thread; the data path runs on the worker thread.
#pragma once

#include "aligned_buffer.hpp"
#include "companion/worker/worker.hpp"
#include "dl/kova_comch_api.hpp"
#include "kova_delegated_deleter.hpp"
#include "utility/async/sequence.hpp"
#include "utility/comch_common.hpp"
#include "utility/comch_common_activities.hpp"

#include <kova/task.h>
#include <kova/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kova::bench::companion::worker {

struct create_comch_worker_command {
	uint32_t buffer_size = 0;
	uint32_t buffer_count = 0;
	std::string server_name;
	uint32_t recv_queue_size = 0;
	uint32_t max_msg_size = 0;
};

attribute_map create_comch_worker_command_to_map(const create_comch_worker_command &command);
// Keys read in the order of the record: KOVA_ERROR_INVALID_VALUE "Bug: <key> not found in
// create_comch_worker_command" for the first missing one, "Bug: <key> is not a number in ..." for a
// value that is not a 32-bit number.
create_comch_worker_command create_comch_worker_command_from_map(const attribute_map &map);

// Limits of a worker's set-up and initial submission; tests shorten them.
struct comch_worker_timing {
	std::chrono::milliseconds setup_limit{30'000};
	std::chrono::microseconds submit_retry_pause{1'000};
	uint32_t submit_attempts = 3000;
	// The submission of the initial tasks (kova_task_submit).
	kova_error (*submit)(kova_task *task) = nullptr;
};

class comch_worker_base : public worker {
public:
	~comch_worker_base() override;
	comch_worker_base(const comch_worker_base &) = delete;
	comch_worker_base &operator=(const comch_worker_base &) = delete;

	void populate_create_worker_response_fields(attribute_map &fields) override;
	// Joins the set-up thread (raising its failure), submits one task per buffer, then progresses
	// until terminated.
	void thread_proc() override;
	void terminate() override;
	void start_async_init() override;
	[[nodiscard]] uint32_t get_id() const override;

	// The buffers as carved from the region, for inspection.
	[[nodiscard]] const std::vector<kova_buf *> &get_buffers() const noexcept { return m_cold->buffers; }
	[[nodiscard]] const std::byte *get_region() const noexcept { return m_cold->region.data(); }

protected:
	struct setup_failure {
		bool failed = false;
		kova_error code = KOVA_SUCCESS;
		std::string text;
	};

	struct cold_data {
		const dl::kova_comch_api *api = nullptr;
		comch_worker_timing timing;
		uint32_t id = 0;
		create_comch_worker_command command;
		std::vector<kova_task *> tasks;
		uint32_t task_count = 0;
		std::unique_ptr<utility::comch_endpoint> endpoint;
		std::unique_ptr<utility::comch_consumer> consumer;
		std::unique_ptr<utility::comch_producer> producer;
		aligned_buffer region{0};
		std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>> mmap;
		std::unique_ptr<kova_buf_inventory, kova::delegated_deleter<kova_buf_inventory>> inventory;
		kova_dev *device = nullptr;
		kova_dev_rep *representor = nullptr;
		std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> pe;
		kova_ctx *consumer_ctx = nullptr;
		std::vector<kova_buf *> buffers;
		std::unique_ptr<std::thread> setup_thread;
		std::unique_ptr<utility::comch_async_context> context;
		std::unique_ptr<utility::async::sequence> sequence;
		uint32_t remote_consumer_id = 0;
		// Written by the set-up thread, read after it was joined.
		setup_failure setup_error;
		// The first refused resubmission, raised when the thread ends.
		kova_error first_task_error = KOVA_SUCCESS;
	};

	comch_worker_base(uint32_t id, const attribute_map &attributes, kova_dev *device, kova_dev_rep *representor,
			  const comch_worker_timing &timing, bool is_producer);

	virtual kova_task *create_task(kova_buf *buffer) = 0;
	virtual void create_async_activities(utility::async::sequence *sequence,
					     utility::comch_async_context *context) = 0;

	// Submits a completed task again: retried while the engine answers KOVA_ERROR_AGAIN and the
	// worker is not terminating; any other refusal stops the worker and is raised by thread_proc.
	void resubmit(kova_task *task) noexcept
	{
		for (;;) {
			kova_error const err = kova_task_submit(task);
			if (err == KOVA_SUCCESS) [[likely]]
				return;
			if (err != KOVA_ERROR_AGAIN) {
				note_resubmit_failure(err);
				return;
			}
			if (m_terminate.load(std::memory_order_relaxed))
				return;
		}
	}
	void note_resubmit_failure(kova_error code) noexcept;

	std::atomic<bool> m_terminate{false};
	kova_pe *m_pe = nullptr;
	std::unique_ptr<cold_data> m_cold;

	// Moves the set-up's endpoint, consumer and producer into the worker and ends the sequence.
	class finalize_async_activity;

private:
	void async_init() noexcept;
	void run_setup();
	void release_setup_thread() noexcept;
	void carve_buffers();
	void submit_initial_tasks();
};

class comch_consumer_worker final : public comch_worker_base {
public:
	comch_consumer_worker(uint32_t id, const attribute_map &attributes, kova_dev *device,
			      kova_dev_rep *representor, const comch_worker_timing &timing);
	[[nodiscard]] const char *get_type() const override;

private:
	kova_task *create_task(kova_buf *buffer) override;
	void create_async_activities(utility::async::sequence *sequence,
				     utility::comch_async_context *context) override;
	static void on_task_complete(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);
	static void on_task_error(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);

	kova_task *(*m_as_task)(kova_comch_consumer_task_post_recv *task);
};

class comch_producer_worker final : public comch_worker_base {
public:
	comch_producer_worker(uint32_t id, const attribute_map &attributes, kova_dev *device,
			      kova_dev_rep *representor, const comch_worker_timing &timing);
	[[nodiscard]] const char *get_type() const override;

private:
	kova_task *create_task(kova_buf *buffer) override;
	void create_async_activities(utility::async::sequence *sequence,
				     utility::comch_async_context *context) override;
	static void on_task_complete(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);
	static void on_task_error(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);

	kova_task *(*m_as_task)(kova_comch_producer_task_send *task);
};

// KOVA_ERROR_NOT_FOUND "kova_comch library is not installed" without the library, before anything is built.
std::unique_ptr<worker> create_comch_consumer_worker(uint32_t id, const attribute_map &attributes, kova_dev *device,
						     kova_dev_rep *representor, const comch_worker_timing &timing = {});
std::unique_ptr<worker> create_comch_producer_worker(uint32_t id, const attribute_map &attributes, kova_dev *device,
						     kova_dev_rep *representor, const comch_worker_timing &timing = {});

} // namespace kova::bench::companion::worker
